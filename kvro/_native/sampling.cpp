#include "sampling.hpp"

#include <algorithm>
#include <climits>
#include <cmath>
#include <exception>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

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

// Buffers of one running chain, sized once so that a step allocates nothing.
struct Walk {
    Eigen::VectorXd b;   // current state
    double e = 0.0;      // its energy
    Eigen::VectorXd bc;  // candidate
    Eigen::VectorXd yp;  // X * candidate
};

// One random-walk Metropolis step at temperature T: every coordinate moves, a
// better candidate is always taken, a worse one with probability exp((e - ec) / T).
// The uniform is drawn only for a candidate that is not better. A NaN exponent
// counts as 0, so a candidate with NaN energy is accepted.
template <class Energy>
void metropolis_step(Walk& w, PolarNormal& prop, std::mt19937_64& rng, double T,
                     const Energy& energy) {
    w.bc = w.b;
    for (Eigen::Index i = 0; i < w.bc.size(); ++i) w.bc[i] += prop(rng);
    const double ec = energy(w.bc, w.yp);
    bool accept = ec < w.e;
    if (!accept) {
        const double u = uniform01(rng);
        const double x = (w.e - ec) / T;
        accept = u < std::exp(x < 0 ? x : 0.0);
    }
    if (accept) {
        w.b.swap(w.bc);
        w.e = ec;
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
                               double gamma1, double gamma2) const {
    // Every check happens here, before the parallel region, so that no worker
    // can meet an input error.
    if (n_chains_ < 0) throw std::length_error("fit: n_chains is negative");
    if (n_chains_ == 0) throw std::invalid_argument("fit: n_chains must be at least 1");
    if (y.size() != X.rows()) {
        throw std::invalid_argument("fit: y has " + std::to_string(y.size()) +
                                    " elements but X has " + std::to_string(X.rows()) + " rows");
    }
    if (X.cols() > INT_MAX) throw std::invalid_argument("fit: X has too many columns");
    const Eigen::Index n = X.rows();
    const Eigen::Index k = X.cols();
    check_penalty(R1, gamma1, k, "R1");
    check_penalty(R2, gamma2, k, "R2");

    const PenaltySpec pen{R1, R2, gamma1, gamma2};
    const double eps_cached = hit_tolerance(y);
    const int k_int = static_cast<int>(k);
    // yp is the caller's scratch buffer; X * bv is a matrix-vector product, which
    // Eigen never splits over threads, written straight into yp.
    const auto energy_local = [&](const Eigen::VectorXd& bv, Eigen::VectorXd& yp) {
        yp.noalias() = X * bv;
        return mdl_score_cached(yp, y, k_int, H_piH_, eps_cached, &bv, &pen);
    };

    std::vector<Chain> chains(static_cast<std::size_t>(n_chains_));
    std::vector<std::exception_ptr> failures(chains.size());
#pragma omp parallel for schedule(dynamic, 1)
    for (int c = 0; c < n_chains_; ++c) {
        // An exception may not leave the region; it is kept and rethrown after it.
        try {
            std::mt19937_64 rng(seed_ + 1000u * static_cast<std::uint64_t>(c));
            PolarNormal init(0.0, 0.5);
            PolarNormal prop(0.0, step_size_);
            Walk w{Eigen::VectorXd(k), 0.0, Eigen::VectorXd(k), Eigen::VectorXd(n)};
            for (Eigen::Index i = 0; i < k; ++i) w.b[i] = init(rng);
            w.e = energy_local(w.b, w.yp);
            double T = 2.0;
            for (int s = 0; s < n_warmup_; ++s) {
                metropolis_step(w, prop, rng, T, energy_local);
                T *= 0.995;
            }
            chains[c] = Chain{std::move(w.b), w.e};
        } catch (...) {
            failures[c] = std::current_exception();
        }
    }
    for (const std::exception_ptr& f : failures) {
        if (f) std::rethrow_exception(f);
    }

    Eigen::VectorXd energies(n_chains_);
    for (int c = 0; c < n_chains_; ++c) energies[c] = chains[c].energy;
    const GibbsResult gb = gibbs_entropy(energies, 1.0);

    // Stable, so chains of equal energy keep their index order.
    std::stable_sort(chains.begin(), chains.end(), [](const Chain& a, const Chain& b) {
        return lower_energy(a.energy, b.energy);
    });
    const std::vector<Chain> elite = select_elites(chains, n_elite_);

    Eigen::VectorXd best_b = elite[0].beta;
    double best_e = elite[0].energy;
    // The temperature is set once and keeps cooling from one elite to the next.
    double T = 0.5 * gb.r_heat;
    Walk w{Eigen::VectorXd(k), 0.0, Eigen::VectorXd(k), Eigen::VectorXd(n)};
    for (std::size_t ei = 0; ei < elite.size(); ++ei) {
        std::mt19937_64 rng(seed_ + 7777u + 13u * static_cast<std::uint64_t>(ei));
        PolarNormal prop(0.0, 0.3 * step_size_);
        w.b = elite[ei].beta;
        w.e = elite[ei].energy;
        for (int s = 0; s < n_deep_; ++s) {
            metropolis_step(w, prop, rng, T, energy_local);
            if (lower_energy(w.e, best_e)) {
                best_e = w.e;
                best_b = w.b;
            }
            T *= 0.9997;
        }
    }
    return {std::move(best_b), best_e, gb, n_chains_, n_elite_};
}

}  // namespace kvro
