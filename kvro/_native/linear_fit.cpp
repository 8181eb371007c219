#include "linear_fit.hpp"

#include <stdexcept>
#include <string>

namespace kvro {

namespace {

void require_rows(const Eigen::MatrixXd& X, const Eigen::VectorXd& y, const char* what) {
    if (y.size() != X.rows()) {
        throw std::invalid_argument(std::string(what) + " has " + std::to_string(X.rows()) +
                                    " rows but y has " + std::to_string(y.size()) +
                                    " elements");
    }
}

// Adds s * R to every entry of A in place, after checking that R matches A.
void add_penalty(Eigen::MatrixXd& A, const Eigen::MatrixXd& R, double s, const char* name) {
    const Eigen::Index p = A.rows();
    if (R.rows() != p || R.cols() != p) {
        throw std::invalid_argument("fit_regularized_linear: " + std::string(name) + " must be " +
                                    std::to_string(p) + " by " + std::to_string(p) +
                                    " (the number of columns of Phi), got " +
                                    std::to_string(R.rows()) + " by " + std::to_string(R.cols()));
    }
    A += s * R;
}

}  // namespace

Eigen::VectorXd ols(const Eigen::MatrixXd& X, const Eigen::VectorXd& y) {
    require_rows(X, y, "ols: X");
    // The SVD of non-finite data has no meaning and its iteration need not end.
    if (!X.allFinite() || !y.allFinite()) {
        throw std::invalid_argument("ols: X and y must be finite (no NaN or infinity)");
    }
    // With no rows or no columns the rank is 0 and the minimum-norm answer is zero;
    // the decomposition is not asked to handle an empty matrix.
    if (X.rows() == 0 || X.cols() == 0) return Eigen::VectorXd::Zero(X.cols());
    return X.bdcSvd(Eigen::ComputeThinU | Eigen::ComputeThinV).solve(y);
}

Eigen::VectorXd fit_regularized_linear(const Eigen::MatrixXd& Phi, const Eigen::VectorXd& y,
                                       const Eigen::MatrixXd* R1, const Eigen::MatrixXd* R2,
                                       double gamma1, double gamma2, double ridge) {
    require_rows(Phi, y, "fit_regularized_linear: Phi");
    const double n = static_cast<double>(y.size());
    const Eigen::Index p = Phi.cols();
    // LDL^T reads only the lower triangle, so Phi^T Phi is formed there alone by a
    // symmetric rank update (half the work of the full product). The penalties are
    // still added to all p*p entries; what lands above the diagonal is never read.
    // Eigen's rank update binds a reference to the first element even when there is
    // none, so a Phi without columns skips it: its A is empty anyway.
    Eigen::MatrixXd A = Eigen::MatrixXd::Zero(p, p);
    if (p > 0) A.selfadjointView<Eigen::Lower>().rankUpdate(Phi.transpose());
    A.diagonal().array() += ridge;
    // Exact comparisons: a NaN weight counts as non-zero; a zero weight never reads its matrix.
    if (gamma1 != 0.0 && R1 != nullptr) add_penalty(A, *R1, n * gamma1, "R1");
    if (gamma2 != 0.0 && R2 != nullptr) add_penalty(A, *R2, n * gamma2, "R2");
    const Eigen::VectorXd b = Phi.transpose() * y;
    return A.ldlt().solve(b);
}

}  // namespace kvro
