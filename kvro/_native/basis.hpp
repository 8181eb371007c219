// Monomial bases in one and several variables, their derivative-based smoothness
// penalties on regular grids, and the one-dimensional boundary matrix.
#pragma once

#include <Eigen/Dense>
#include <utility>
#include <vector>

#include "interrupt.hpp"

namespace kvro {

/// One multi-index per tensor-product basis function, entry d the exponent of x_d.
using MultiIndexList = std::vector<std::vector<int>>;

// Every builder polls `intr` as it goes and throws Interrupted when it asks to stop.

/// n by (deg + 1) matrix of x_i^p by repeated products. Throws "deg < 0".
Eigen::MatrixXd design_matrix_1d(int deg, const Eigen::VectorXd& x, Interrupt& intr);

/// First- and second-derivative roughness penalties of a 1-D polynomial.
struct PenaltyMatrices1D {
    Eigen::MatrixXd R1;
    Eigen::MatrixXd R2;
};

/// Penalties summed with weight dx over n_grid evenly spaced points of [x_min, x_max].
/// Throws "deg < 0", then "n_grid < 2".
PenaltyMatrices1D smoothness_penalty_matrices_1d(int deg, double x_min, double x_max, int n_grid,
                                                 Interrupt& intr);

/// Symmetric matrix of the boundary term f'f'' at x_max minus at x_min.
/// deg = -1 gives 0 by 0; deg <= -2 throws std::bad_alloc.
Eigen::MatrixXd boundary_reduce_1d(int deg, double x_min, double x_max, Interrupt& intr);

/// n by M matrix of the products of X_cols[d]^alpha_d, one column per multi-index.
/// Throws std::invalid_argument when X_cols is empty, its columns differ in length, or a
/// multi-index has fewer entries than X_cols.
Eigen::MatrixXd design_matrix_nd(const MultiIndexList& multi_indices,
                                 const std::vector<Eigen::VectorXd>& X_cols, Interrupt& intr);

/// Gradient and Hessian roughness penalties of a tensor-product basis, with its multi-indices.
struct PenaltyMatricesND {
    Eigen::MatrixXd R1;
    Eigen::MatrixXd R2;
    MultiIndexList multi_indices;
};

/// Penalties summed with weight dV over the n^D grid of the box `bounds`.
/// Throws "Dimension mismatch." when bounds and degrees differ in length, invalid_argument
/// for a negative grid size, and std::bad_alloc for a degree <= -2 on a non-empty grid.
PenaltyMatricesND build_penalty_matrices_nd(const std::vector<int>& degrees,
                                            const std::vector<std::pair<double, double>>& bounds,
                                            int n_grid_per_dim, Interrupt& intr);

}  // namespace kvro
