// Linear fitting: least squares through an SVD and penalised least squares.
#pragma once

#include <Eigen/Dense>

namespace kvro {

/// Read-only view of a column-major matrix in the caller's memory, any column stride.
using ColMatrixRef = Eigen::Ref<const Eigen::MatrixXd, 0, Eigen::OuterStride<>>;
/// Read-only view of a row-major matrix in the caller's memory, any row stride.
using RowMatrixRef =
    Eigen::Ref<const Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>, 0,
               Eigen::OuterStride<>>;

/// Minimum-norm least-squares solution of X b = y. A tall X (rows >= 2 cols) is first
/// reduced to its triangle R by a blocked Householder QR, then R is decomposed by a
/// divide-and-conquer SVD; otherwise X itself is. Singular values below
/// cols * 2^-52 * sigma_max are dropped. Throws std::invalid_argument when
/// len(y) != rows(X) or X or y holds NaN or infinity.
Eigen::VectorXd ols(const ColMatrixRef& X, const Eigen::Ref<const Eigen::VectorXd>& y);
/// The same for a row-major X.
Eigen::VectorXd ols(const RowMatrixRef& X, const Eigen::Ref<const Eigen::VectorXd>& y);

/// Solution of (Phi^T Phi + ridge I + n gamma1 R1 + n gamma2 R2) b = Phi^T y by LDL^T,
/// n = len(y); a null or zero-weighted penalty is left out. Throws std::invalid_argument
/// when len(y) != rows(Phi) or a penalty in use is not p by p.
Eigen::VectorXd fit_regularized_linear(const ColMatrixRef& Phi,
                                       const Eigen::Ref<const Eigen::VectorXd>& y,
                                       const Eigen::MatrixXd* R1, const Eigen::MatrixXd* R2,
                                       double gamma1, double gamma2, double ridge);
/// The same for a row-major Phi.
Eigen::VectorXd fit_regularized_linear(const RowMatrixRef& Phi,
                                       const Eigen::Ref<const Eigen::VectorXd>& y,
                                       const Eigen::MatrixXd* R1, const Eigen::MatrixXd* R2,
                                       double gamma1, double gamma2, double ridge);

}  // namespace kvro
