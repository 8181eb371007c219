#include "sampling.hpp"

#include <omp.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cmath>
#include <exception>
#include <mutex>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#endif

#include "scoring.hpp"

namespace kvro {

GibbsResult gibbs_entropy(const Eigen::VectorXd& energies, double T) {
    const Eigen::Index N = energies.size();
    if (N == 0) throw std::invalid_argument("gibbs_entropy: energies is empty");
    const double emin = energies.minCoeff();
    Eigen::VectorXd w(N);
    double wsum = 0.0;
    for (Eigen::Index i = 0; i < N; ++i) {
        w[i] = std::exp(-(energies[i] - emin) / (T + 1e-300));
        wsum += w[i];
    }
    double H = 0.0;
    for (Eigen::Index i = 0; i < N; ++i) {
        const double p = w[i] / wsum;
        H = std::fma(-std::log(p + 1e-300), p, H);
    }
    const double Hmax = std::log(static_cast<double>(std::max<Eigen::Index>(N, 2)));
    const double He = H / (Hmax + 1e-300);
    double sum = 0.0;
    for (Eigen::Index i = 0; i < N; ++i) sum += energies[i];
    const double meanE = sum / static_cast<double>(N);
    double var = 0.0;
    for (Eigen::Index i = 0; i < N; ++i) {
        const double d = energies[i] - meanE;
        var += d * d;
    }
    return {H, Hmax, He, std::fma(0.99, He, 0.01), var / static_cast<double>(N), T};
}

TournamentMCMC::TournamentMCMC(int n_chains, int n_warmup, int n_deep, int n_elite,
                               double step_size, int H_piH, std::uint64_t seed)
    : n_chains_(n_chains),
      n_warmup_(n_warmup),
      n_deep_(n_deep),
      n_elite_(n_elite),
      step_size_(step_size),
      H_piH_(H_piH),
      seed_(seed) {}

namespace {

// The distributions are written out rather than taken from <random>, whose
// algorithms differ between standard libraries: a seed must give the same
// stream on every platform.

// r * 2^-64 with r rounded to the nearest double; rounding can reach 1.0, which
// is pulled back below 1.
double uniform01(std::mt19937_64& rng) {
    const double u = static_cast<double>(rng()) * 0x1p-64;
    return u < 1.0 ? u : 1.0 - 0x1p-53;
}

// Marsaglia's polar method; the second deviate of each pair is kept for the next call.
struct PolarNormal {
    double mean;
    double sd;
    double cached = 0.0;
    bool has_cached = false;

    PolarNormal(double mean_, double sd_) : mean(mean_), sd(sd_) {}

    double operator()(std::mt19937_64& rng) {
        if (has_cached) {
            has_cached = false;
            return mean + sd * cached;
        }
        double v1, v2, s;
        do {
            v1 = 2.0 * uniform01(rng) - 1.0;
            v2 = 2.0 * uniform01(rng) - 1.0;
            s = v1 * v1 + v2 * v2;
        } while (!(s > 0.0 && s <= 1.0));
        const double f = std::sqrt(-2.0 * std::log(s) / s);
        cached = v1 * f;
        has_cached = true;
        return mean + sd * (v2 * f);
    }
};

struct Chain {
    Eigen::VectorXd beta;
    double energy = 0.0;
};

// ---- Hit counting of a block of candidates ------------------------------------------
//
// The energy is defined on yp = X * b as Eigen's column-major matrix-vector product
// rounds it, and the kernels below reproduce that rounding for every candidate:
// - each row is a chain of fused multiply-adds over the columns, from 0; once k >= 128
//   the chain restarts every `block` columns (16, or 4 from 4000 rows on) and the
//   partial sums are added in order;
// - the last row of an odd n takes products rounded on their own, summed in the same
//   blocks; a single row (n = 1) is a dot product, one unblocked sum of such products.
// The fused multiply-add makes the bits independent of the instruction set. yp itself is
// never stored: each row is compared with y while still in registers.

struct HitProblem {
    const double* X;   // n by k, column-major
    const double* y;
    Eigen::Index n;
    Eigen::Index k;
    double eps;
    Eigen::Index n_fma;        // rows [0, n_fma) are fused chains, the rest (0 or 1) plain
    Eigen::Index block;        // columns per fused chain
    Eigen::Index plain_block;  // columns per plain sum
};

HitProblem hit_problem(const Eigen::MatrixXd& X, const Eigen::VectorXd& y, double eps) {
    const Eigen::Index n = X.rows();
    const Eigen::Index k = X.cols();
    const Eigen::Index block = k < 128 ? k : (n < 4000 ? 16 : 4);
    return {X.data(), y.data(), n, k, eps, n - n % 2, block, n == 1 ? k : block};
}

// Row i of candidate b by the fused rule, one row at a time.
inline double fused_row(const HitProblem& p, const double* b, Eigen::Index i) {
    double t = 0.0;
    for (Eigen::Index j2 = 0; j2 < p.k; j2 += p.block) {
        const Eigen::Index jend = std::min(j2 + p.block, p.k);
        double a = 0.0;
        for (Eigen::Index j = j2; j < jend; ++j) a = std::fma(p.X[j * p.n + i], b[j], a);
        t += a;
    }
    return t;
}

// The last row of an odd n by the plain rule.
inline double plain_row(const HitProblem& p, const double* b, Eigen::Index i) {
    double t = 0.0;
    for (Eigen::Index j2 = 0; j2 < p.k; j2 += p.plain_block) {
        const Eigen::Index jend = std::min(j2 + p.plain_block, p.k);
        double a = 0.0;
        for (Eigen::Index j = j2; j < jend; ++j) a += p.X[j * p.n + i] * b[j];
        t += a;
    }
    return t;
}

// Portable kernel: four rows at a time, which compilers vectorise where a fused
// multiply-add is an instruction of the baseline (arm64).
void count_hits_portable(const HitProblem& p, const double* const* b, int m,
                         std::int64_t* hits) {
    Eigen::Index i = 0;
    for (; i + 4 <= p.n_fma; i += 4) {
        for (int c = 0; c < m; ++c) {
            double t[4] = {0.0, 0.0, 0.0, 0.0};
            for (Eigen::Index j2 = 0; j2 < p.k; j2 += p.block) {
                const Eigen::Index jend = std::min(j2 + p.block, p.k);
                double a[4] = {0.0, 0.0, 0.0, 0.0};
                for (Eigen::Index j = j2; j < jend; ++j) {
                    const double* x = p.X + j * p.n + i;
                    for (int r = 0; r < 4; ++r) a[r] = std::fma(x[r], b[c][j], a[r]);
                }
                for (int r = 0; r < 4; ++r) t[r] += a[r];
            }
            for (int r = 0; r < 4; ++r) hits[c] += std::abs(t[r] - p.y[i + r]) < p.eps;
        }
    }
    for (; i < p.n_fma; ++i) {
        for (int c = 0; c < m; ++c) hits[c] += std::abs(fused_row(p, b[c], i) - p.y[i]) < p.eps;
    }
    for (; i < p.n; ++i) {
        for (int c = 0; c < m; ++c) hits[c] += std::abs(plain_row(p, b[c], i) - p.y[i]) < p.eps;
    }
}

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define KVRO_HAVE_AVX2_KERNEL 1

// cnt plus one in each lane where |t - y| < eps (a true comparison is all ones, -1 as
// an integer; NaN compares false).
__attribute__((target("avx2,fma"))) inline __m256i add_hits(__m256i cnt, __m256d t,
                                                            const double* y, __m256d eps) {
    const __m256d abs_mask = _mm256_castsi256_pd(_mm256_set1_epi64x(0x7fffffffffffffff));
    const __m256d d = _mm256_and_pd(_mm256_sub_pd(t, _mm256_loadu_pd(y)), abs_mask);
    return _mm256_sub_epi64(cnt, _mm256_castpd_si256(_mm256_cmp_pd(d, eps, _CMP_LT_OQ)));
}

// AVX2 kernel: eight rows (two registers) by C candidates per pass, 2C accumulators.
// Blocked is false when one chain spans all columns (a single pass, or none for k = 0),
// so the partial sums need no registers of their own.
template <int C, bool Blocked>
__attribute__((target("avx2,fma"))) void hits_avx2(const HitProblem& p, const double* const* b,
                                                   std::int64_t* hits) {
    const __m256d eps = _mm256_set1_pd(p.eps);
    __m256i cnt[C];
    for (int c = 0; c < C; ++c) cnt[c] = _mm256_setzero_si256();
    Eigen::Index i = 0;
    for (; i + 8 <= p.n_fma; i += 8) {
        __m256d t0[C], t1[C];
        for (int c = 0; c < C; ++c) t0[c] = t1[c] = _mm256_setzero_pd();
        for (Eigen::Index j2 = 0; j2 < p.k; j2 += p.block) {
            const Eigen::Index jend = std::min(j2 + p.block, p.k);
            __m256d a0[C], a1[C];
            for (int c = 0; c < C; ++c) a0[c] = a1[c] = _mm256_setzero_pd();
            const double* x = p.X + j2 * p.n + i;
            for (Eigen::Index j = j2; j < jend; ++j, x += p.n) {
                const __m256d x0 = _mm256_loadu_pd(x);
                const __m256d x1 = _mm256_loadu_pd(x + 4);
                for (int c = 0; c < C; ++c) {
                    const __m256d bj = _mm256_broadcast_sd(b[c] + j);
                    a0[c] = _mm256_fmadd_pd(x0, bj, a0[c]);
                    a1[c] = _mm256_fmadd_pd(x1, bj, a1[c]);
                }
            }
            for (int c = 0; c < C; ++c) {
                t0[c] = Blocked ? _mm256_add_pd(t0[c], a0[c]) : a0[c];
                t1[c] = Blocked ? _mm256_add_pd(t1[c], a1[c]) : a1[c];
            }
        }
        for (int c = 0; c < C; ++c) {
            cnt[c] = add_hits(cnt[c], t0[c], p.y + i, eps);
            cnt[c] = add_hits(cnt[c], t1[c], p.y + i + 4, eps);
        }
    }
    for (int c = 0; c < C; ++c) {
        alignas(32) std::int64_t lanes[4];
        _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), cnt[c]);
        hits[c] += lanes[0] + lanes[1] + lanes[2] + lanes[3];
    }
    for (; i < p.n_fma; ++i) {
        for (int c = 0; c < C; ++c) hits[c] += std::abs(fused_row(p, b[c], i) - p.y[i]) < p.eps;
    }
    for (; i < p.n; ++i) {
        for (int c = 0; c < C; ++c) hits[c] += std::abs(plain_row(p, b[c], i) - p.y[i]) < p.eps;
    }
}

template <bool Blocked>
void count_hits_avx2(const HitProblem& p, const double* const* b, int m, std::int64_t* hits) {
    // Groups of at most six, as even as possible: 13 candidates go as 5, 4, 4.
    const int groups = (m + 5) / 6;
    for (int g = 0, first = 0; g < groups; ++g) {
        const int size = (m - first) / (groups - g);
        switch (size) {
            case 1: hits_avx2<1, Blocked>(p, b + first, hits + first); break;
            case 2: hits_avx2<2, Blocked>(p, b + first, hits + first); break;
            case 3: hits_avx2<3, Blocked>(p, b + first, hits + first); break;
            case 4: hits_avx2<4, Blocked>(p, b + first, hits + first); break;
            case 5: hits_avx2<5, Blocked>(p, b + first, hits + first); break;
            default: hits_avx2<6, Blocked>(p, b + first, hits + first); break;
        }
        first += size;
    }
}

bool cpu_has_avx2_fma() {
    static const bool has = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    return has;
}
#endif

// hits[c] = number of rows i with |(X b[c])_i - y_i| < eps, for c < m.
void count_hits(const HitProblem& p, const double* const* b, int m, std::int64_t* hits) {
    std::fill(hits, hits + m, std::int64_t{0});
#ifdef KVRO_HAVE_AVX2_KERNEL
    if (cpu_has_avx2_fma()) {
        if (p.block < p.k) {
            count_hits_avx2<true>(p, b, m, hits);
        } else {
            count_hits_avx2<false>(p, b, m, hits);
        }
        return;
    }
#endif
    count_hits_portable(p, b, m, hits);
}

// ---- Walks advanced in lockstep ---------------------------------------------------------

// One random-walk Metropolis chain: its own random stream, proposal and temperature.
struct Walk {
    std::mt19937_64 rng;
    PolarNormal prop;
    Eigen::VectorXd b;   // current state
    double e = 0.0;      // its energy
    Eigen::VectorXd bc;  // candidate
    double T = 0.0;
    // Deep phase: the first lowest state among this walk's own steps.
    Eigen::VectorXd best_b;
    double best_e = 0.0;
    bool has_best = false;
};

// Energy of the vectors at pointers vs[0..m): one pass over X for all of them.
struct Energy {
    HitProblem p;
    int k;
    int H;
    const PenaltySpec* pen;
    std::vector<std::int64_t> hits;
    std::vector<const double*> cols;

    void operator()(const std::vector<const Eigen::VectorXd*>& vs, double* out) {
        const int m = static_cast<int>(vs.size());
        cols.resize(vs.size());
        hits.resize(vs.size());
        for (int c = 0; c < m; ++c) cols[c] = vs[c]->data();
        count_hits(p, cols.data(), m, hits.data());
        for (int c = 0; c < m; ++c) {
            out[c] = mdl_score_rate(hit_rate(hits[c], p.n), p.n, k, H, vs[c], pen);
        }
    }
};

// One Metropolis step of every walk in `ws`: every coordinate moves, a better candidate
// is always taken, a worse one with probability exp((e - ec) / T). The uniform is drawn
// only for a candidate that is not better; a NaN exponent counts as 0, so a candidate
// with NaN energy is accepted. Each walk draws from its own stream in the same order
// as when walks ran one after another, so lockstep changes no result.
void lockstep_step(const std::vector<Walk*>& ws, Energy& energy,
                   std::vector<const Eigen::VectorXd*>& vs, std::vector<double>& ec) {
    for (std::size_t c = 0; c < ws.size(); ++c) {
        Walk& w = *ws[c];
        w.bc = w.b;
        for (Eigen::Index i = 0; i < w.bc.size(); ++i) w.bc[i] += w.prop(w.rng);
        vs[c] = &w.bc;
    }
    energy(vs, ec.data());
    for (std::size_t c = 0; c < ws.size(); ++c) {
        Walk& w = *ws[c];
        bool accept = ec[c] < w.e;
        if (!accept) {
            const double u = uniform01(w.rng);
            const double x = (w.e - ec[c]) / w.T;
            accept = u < std::exp(x < 0 ? x : 0.0);
        }
        if (accept) {
            w.b.swap(w.bc);
            w.e = ec[c];
        }
    }
}

// Runs body(first, last, caller) for this thread's contiguous share [first, last) of
// `count` items inside a parallel region; caller is true on the calling thread (number
// 0), which polls for a stop while it works and, once done, keeps polling until every
// thread is done, so a stop request is noticed at any time. A failure is kept in
// `failure` and stops the other threads.
template <class Body>
void run_shared(int count, Interrupt& intr, std::exception_ptr& failure, const Body& body) {
    std::atomic<int> done{0};
    std::mutex failure_mutex;
#pragma omp parallel
    {
        const int team = omp_get_num_threads();
        const int t = omp_get_thread_num();
        const int first = static_cast<int>(static_cast<std::int64_t>(count) * t / team);
        const int last = static_cast<int>(static_cast<std::int64_t>(count) * (t + 1) / team);
        try {
            if (first < last) body(first, last, t == 0);
        } catch (...) {
            const std::lock_guard<std::mutex> lock(failure_mutex);
            if (!failure) failure = std::current_exception();
            intr.request_stop();
        }
        done.fetch_add(1);
        if (t == 0) {
            while (done.load() < team) {
                intr.poll(std::int64_t{1} << 20);
                std::this_thread::yield();
            }
        }
    }
}

// Energy a ranks before b: ascending, with NaN after every number. This keeps the
// ranking a strict weak ordering when an energy is NaN (which sorting requires) and
// lets any real energy displace a NaN best state, never the other way round.
bool lower_energy(double a, double b) { return a < b || (!std::isnan(a) && std::isnan(b)); }

// Up to n_elite copies of sorted chains: the best, then every chain farther than
// 0.1 from all elites taken so far, then, if still short, the chains from the
// position equal to the number held, without a distance test (repeats allowed).
std::vector<Chain> select_elites(const std::vector<Chain>& sorted, int n_elite) {
    std::vector<Chain> elite{sorted[0]};
    for (std::size_t i = 1; i < sorted.size() && static_cast<int>(elite.size()) < n_elite; ++i) {
        bool diverse = true;
        for (const Chain& el : elite) {
            if ((sorted[i].beta - el.beta).norm() <= 0.1) {
                diverse = false;
                break;
            }
        }
        if (diverse) elite.push_back(sorted[i]);
    }
    for (std::size_t i = elite.size(); i < sorted.size() && static_cast<int>(elite.size()) < n_elite;
         ++i) {
        elite.push_back(sorted[i]);
    }
    return elite;
}

void check_penalty(const Eigen::MatrixXd* R, double gamma, Eigen::Index k, const char* name) {
    if (R == nullptr || gamma == 0.0) return;  // an inactive penalty is never read
    if (R->rows() != k || R->cols() != k) {
        throw std::invalid_argument(std::string("fit: ") + name + " must be " + std::to_string(k) +
                                    " by " + std::to_string(k) + " (the columns of X), got " +
                                    std::to_string(R->rows()) + " by " +
                                    std::to_string(R->cols()));
    }
}

}  // namespace

MCMCResult TournamentMCMC::fit(const Eigen::MatrixXd& X, const Eigen::VectorXd& y,
                               const Eigen::MatrixXd* R1, const Eigen::MatrixXd* R2,
                               double gamma1, double gamma2, Interrupt& intr) const {
    // Every check happens here, before the parallel region, so that no worker
    // can meet an input error.
    if (n_chains_ < 0) throw std::length_error("fit: n_chains is negative");
    if (n_chains_ == 0) throw std::invalid_argument("fit: n_chains must be at least 1");
    if (y.size() != X.rows()) {
        throw std::invalid_argument("fit: y has " + std::to_string(y.size()) +
                                    " elements but X has " + std::to_string(X.rows()) + " rows");
    }
    if (X.cols() > INT_MAX) throw std::invalid_argument("fit: X has too many columns");
    const Eigen::Index k = X.cols();
    check_penalty(R1, gamma1, k, "R1");
    check_penalty(R2, gamma2, k, "R2");

    const PenaltySpec pen{R1, R2, gamma1, gamma2};
    const Energy energy_proto{hit_problem(X, y, hit_tolerance(y)), static_cast<int>(k), H_piH_,
                              &pen, {}, {}};
    // Work of one step of one walk, in the units of Interrupt::poll.
    const std::int64_t step_work = std::max<std::int64_t>(X.size(), 1);
    std::exception_ptr failure;
    const auto rethrow = [&] {
        if (failure) std::rethrow_exception(failure);
        if (intr.stopped()) throw Interrupted();
    };

    // Warm-up: each thread advances its share of the chains in lockstep.
    std::vector<Chain> chains(static_cast<std::size_t>(n_chains_));
    run_shared(n_chains_, intr, failure, [&](int first, int last, bool caller) {
        Energy energy = energy_proto;
        std::vector<Walk> walks;
        walks.reserve(static_cast<std::size_t>(last - first));
        for (int c = first; c < last; ++c) {
            Walk& w = walks.emplace_back(
                Walk{std::mt19937_64(seed_ + 1000u * static_cast<std::uint64_t>(c)),
                     PolarNormal(0.0, step_size_), Eigen::VectorXd(k), 0.0, Eigen::VectorXd(k),
                     2.0, {}, 0.0, false});
            PolarNormal init(0.0, 0.5);
            for (Eigen::Index i = 0; i < k; ++i) w.b[i] = init(w.rng);
        }
        std::vector<Walk*> ws;
        std::vector<const Eigen::VectorXd*> vs;
        for (Walk& w : walks) {
            ws.push_back(&w);
            vs.push_back(&w.b);
        }
        std::vector<double> ec(walks.size());
        energy(vs, ec.data());
        for (std::size_t c = 0; c < walks.size(); ++c) walks[c].e = ec[c];
        const std::int64_t work = step_work * static_cast<std::int64_t>(walks.size());
        for (int s = 0; s < n_warmup_; ++s) {
            if (caller ? intr.poll(work) : intr.stopped()) return;
            lockstep_step(ws, energy, vs, ec);
            for (Walk& w : walks) w.T *= 0.995;
        }
        for (int c = first; c < last; ++c) {
            Walk& w = walks[static_cast<std::size_t>(c - first)];
            chains[static_cast<std::size_t>(c)] = Chain{std::move(w.b), w.e};
        }
    });
    rethrow();

    Eigen::VectorXd energies(n_chains_);
    for (int c = 0; c < n_chains_; ++c) energies[c] = chains[c].energy;
    const GibbsResult gb = gibbs_entropy(energies, 1.0);

    // Stable, so chains of equal energy keep their index order.
    std::stable_sort(chains.begin(), chains.end(), [](const Chain& a, const Chain& b) {
        return lower_energy(a.energy, b.energy);
    });
    const std::vector<Chain> elite = select_elites(chains, n_elite_);
    const int n_el = static_cast<int>(elite.size());

    // Deep phase: the temperature starts at 0.5 r_heat and cools by 0.9997 per step
    // across all elites in turn. The schedule does not depend on the path, so elite ei
    // starts where the n_deep steps of the elites before it would have left it, and the
    // elites can run side by side.
    std::vector<double> T_start(elite.size());
    double T = 0.5 * gb.r_heat;
    for (int ei = 0; ei < n_el; ++ei) {
        T_start[ei] = T;
        for (int s = 0; s < n_deep_; ++s) T *= 0.9997;
    }
    std::vector<Walk> deep;
    deep.reserve(elite.size());
    for (int ei = 0; ei < n_el; ++ei) {
        deep.push_back(Walk{std::mt19937_64(seed_ + 7777u + 13u * static_cast<std::uint64_t>(ei)),
                            PolarNormal(0.0, 0.3 * step_size_), elite[ei].beta, elite[ei].energy,
                            Eigen::VectorXd(k), T_start[ei], Eigen::VectorXd(k), 0.0, false});
    }
    run_shared(n_el, intr, failure, [&](int first, int last, bool caller) {
        Energy energy = energy_proto;
        std::vector<Walk*> ws;
        for (int ei = first; ei < last; ++ei) ws.push_back(&deep[ei]);
        std::vector<const Eigen::VectorXd*> vs(ws.size());
        std::vector<double> ec(ws.size());
        const std::int64_t work = step_work * static_cast<std::int64_t>(ws.size());
        for (int s = 0; s < n_deep_; ++s) {
            if (caller ? intr.poll(work) : intr.stopped()) return;
            lockstep_step(ws, energy, vs, ec);
            for (Walk* w : ws) {
                if (!w->has_best || lower_energy(w->e, w->best_e)) {
                    w->best_e = w->e;
                    w->best_b = w->b;
                    w->has_best = true;
                }
                w->T *= 0.9997;
            }
        }
    });
    rethrow();

    // Each walk's best is the first of its lowest states, so taking them in elite order
    // with a strict comparison gives the state the sequential rule (replace the best
    // when strictly lower, after every step) would have kept.
    const Walk* best = nullptr;
    double best_e = elite[0].energy;
    for (const Walk& w : deep) {
        if (w.has_best && lower_energy(w.best_e, best_e)) {
            best_e = w.best_e;
            best = &w;
        }
    }
    Eigen::VectorXd best_b = best != nullptr ? best->best_b : elite[0].beta;
    return {std::move(best_b), best_e, gb, n_chains_, n_elite_};
}

}  // namespace kvro
