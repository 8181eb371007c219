// A way out of long computations: the caller hands in a poll that says whether to stop
// (the binding checks for Ctrl-C there), the calling thread runs it every few
// milliseconds, and worker threads read the answer from an atomic flag.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>

namespace kvro {

/// Thrown on the calling thread once the poll has asked to stop.
struct Interrupted : std::exception {
    const char* what() const noexcept override { return "interrupted"; }
};

/// Stop request shared by the calling thread and its workers.
class Interrupt {
public:
    /// True means stop. Called on the calling thread only.
    using Poll = bool (*)();

    /// No poll: never stops.
    Interrupt() = default;
    explicit Interrupt(Poll poll) : poll_(poll) {}
    Interrupt(const Interrupt&) = delete;
    Interrupt& operator=(const Interrupt&) = delete;

    /// Calling thread: counts `work` units done since the last call and runs the poll
    /// once 10 ms have passed since it last ran; true when the computation must stop.
    /// Reading the clock every 2^16 units keeps a call in a tight loop cheap.
    bool poll(std::int64_t work = 1) {
        if (poll_ == nullptr) return false;
        budget_ -= work;
        if (budget_ > 0) return stopped();
        budget_ = std::int64_t{1} << 16;
        const auto now = std::chrono::steady_clock::now();
        if (now - last_ >= std::chrono::milliseconds(10)) {
            last_ = now;
            if (poll_()) stop_.store(true, std::memory_order_relaxed);
        }
        return stopped();
    }

    /// Calling thread: poll() and throw Interrupted when it says stop.
    void check(std::int64_t work = 1) {
        if (poll(work)) throw Interrupted();
    }

    /// Any thread: whether a stop was requested (or set by request_stop).
    bool stopped() const { return stop_.load(std::memory_order_relaxed); }

    /// Any thread: ask every worker to stop, e.g. after a failure of its own.
    void request_stop() { stop_.store(true, std::memory_order_relaxed); }

private:
    Poll poll_ = nullptr;
    std::atomic<bool> stop_{false};
    std::int64_t budget_ = 0;
    std::chrono::steady_clock::time_point last_{};
};

}  // namespace kvro
