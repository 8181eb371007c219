// Linear fitting: least squares through an SVD and penalised least squares.
#pragma once

#include <Eigen/Dense>

namespace kvro {

/// Minimum-norm least-squares solution of X b = y from a thin divide-and-conquer SVD.
/// Throws std::invalid_argument when len(y) != rows(X) or X or y holds NaN or infinity.
Eigen::VectorXd ols(const Eigen::MatrixXd& X, const Eigen::VectorXd& y);

/// Solution of (Phi^T Phi + ridge I + n gamma1 R1 + n gamma2 R2) b = Phi^T y by LDL^T,
/// n = len(y); a null or zero-weighted penalty is left out. Throws std::invalid_argument
/// when len(y) != rows(Phi) or a penalty in use is not p by p.
Eigen::VectorXd fit_regularized_linear(const Eigen::MatrixXd& Phi, const Eigen::VectorXd& y,
                                       const Eigen::MatrixXd* R1, const Eigen::MatrixXd* R2,
                                       double gamma1, double gamma2, double ridge);

}  // namespace kvro
