// Gibbs entropy of a set of energies and the tournament MCMC sampler that
// minimises the MDL energy of a linear model.
#pragma once

#include <Eigen/Dense>
#include <cstdint>

#include "interrupt.hpp"

namespace kvro {

/// Summary of the Gibbs distribution exp(-(E - Emin) / T) over a set of energies.
struct GibbsResult {
    double H = 0.0;
    double Hmax = 0.0;
    double He = 0.0;
    double r_heat = 0.0;
    double var_E = 0.0;
    double T = 0.0;
};

/// Entropy, its maximum ln(max(N, 2)), their ratio, r_heat and the variance of the
/// energies; throws std::invalid_argument for an empty vector.
GibbsResult gibbs_entropy(const Eigen::VectorXd& energies, double T);

/// Outcome of one TournamentMCMC::fit.
struct MCMCResult {
    Eigen::VectorXd beta_mcmc;
    double energy = 0.0;
    GibbsResult gibbs;
    int n_chains = 0;
    int n_elite = 0;
};

/// Parallel Metropolis warm-up, a diversity tournament and a deep refinement of the
/// elites; holds only its configuration.
class TournamentMCMC {
public:
    /// Stores the configuration unchecked; fit validates what it needs.
    TournamentMCMC(int n_chains, int n_warmup, int n_deep, int n_elite, double step_size,
                   int H_piH, std::uint64_t seed);

    /// Coefficients b minimising the MDL energy of X*b against y; R1 and R2 may be null.
    /// Throws Interrupted when `intr` asks to stop.
    MCMCResult fit(const Eigen::MatrixXd& X, const Eigen::VectorXd& y, const Eigen::MatrixXd* R1,
                   const Eigen::MatrixXd* R2, double gamma1, double gamma2,
                   Interrupt& intr) const;

private:
    int n_chains_;
    int n_warmup_;
    int n_deep_;
    int n_elite_;
    double step_size_;
    int H_piH_;
    std::uint64_t seed_;
};

}  // namespace kvro
