#include "linear_fit.hpp"

#include <algorithm>
#include <cmath>
#include <exception>
#include <stdexcept>
#include <string>

namespace kvro {

namespace {

using Eigen::Index;
using VectorRef = Eigen::Ref<const Eigen::VectorXd>;

// Blocks of rows are sized so that one block of a matrix with `cols` columns (256 KiB)
// stays in the cache while it is worked on.
Index cache_rows(Index cols) { return 32768 / std::max<Index>(cols, 1); }

// Runs body(g) for every group g on the OpenMP team. Each group writes only its own
// output and the groups depend on the shape alone, so the result does not depend on the
// number of threads. An exception (std::bad_alloc) in a worker is rethrown here rather
// than ending the process.
template <typename Body>
void for_each_group(Index n_groups, const Body& body) {
    std::exception_ptr error;
#pragma omp parallel for schedule(dynamic) if (n_groups > 1)
    for (Index g = 0; g < n_groups; ++g) {
        try {
            body(g);
        } catch (...) {
#pragma omp critical(kvro_linear_fit_error)
            if (!error) error = std::current_exception();
        }
    }
    if (error) std::rethrow_exception(error);
}

template <typename View>
void require_rows(const View& X, const VectorRef& y, const char* what) {
    if (y.size() != X.rows()) {
        throw std::invalid_argument(std::string(what) + " has " + std::to_string(X.rows()) +
                                    " rows but y has " + std::to_string(y.size()) +
                                    " elements");
    }
}

// Adds s * R to every entry of A in place, after checking that R matches A.
void add_penalty(Eigen::MatrixXd& A, const Eigen::MatrixXd& R, double s, const char* name) {
    const Index p = A.rows();
    if (R.rows() != p || R.cols() != p) {
        throw std::invalid_argument("fit_regularized_linear: " + std::string(name) + " must be " +
                                    std::to_string(p) + " by " + std::to_string(p) +
                                    " (the number of columns of Phi), got " +
                                    std::to_string(R.rows()) + " by " + std::to_string(R.cols()));
    }
    A += s * R;
}

// Householder QR of [X y] restricted to rows [begin, end), leaving its q by q upper
// triangle (q = p + 1) in T. W holds the triangle so far above the next block of rows and
// is factored in place, so each row of X is read from memory once and the reflectors are
// applied in cache: with few columns the unblocked reflections are memory-bound otherwise.
// X and y enter W multiplied by powers of two (exact) that bring their largest magnitudes
// near 1, since the reflectors' squared norms would overflow beyond about 1e154.
template <typename View>
void reduce_rows(const View& X, const VectorRef& y, double x_scale, double y_scale, Index begin,
                 Index end, Index block, Eigen::Ref<Eigen::MatrixXd> T) {
    const Index p = X.cols();
    const Index q = p + 1;
    Eigen::MatrixXd W = Eigen::MatrixXd::Zero(q + std::min(block, end - begin), q);
    for (Index r = begin; r < end; r += block) {
        const Index len = std::min(block, end - r);
        W.middleRows(q, len).leftCols(p) = X.middleRows(r, len) * x_scale;
        W.col(p).segment(q, len) = y.segment(r, len) * y_scale;
        Eigen::Ref<Eigen::MatrixXd> stacked = W.topRows(q + len);
        const Eigen::HouseholderQR<Eigen::Ref<Eigen::MatrixXd>> qr(stacked);
        // Below the diagonal lie the reflectors, which are not needed again.
        W.topRows(q).triangularView<Eigen::StrictlyLower>().setZero();
    }
    T = W.topRows(q);
}

// Exponent e with 2^(e-1) <= a < 2^e (0 for a = 0), at least -1020 so that 2^-e is finite.
int binary_exponent(double a) {
    int e = 0;
    std::frexp(a, &e);
    return std::max(e, -1020);
}

// Groups of this many blocks are reduced independently, then their triangles together.
constexpr Index kBlocksPerGroup = 4;

template <typename View>
Eigen::VectorXd ols_impl(const View& X, const VectorRef& y) {
    require_rows(X, y, "ols: X");
    // One pass finds both the largest magnitudes and any NaN or infinity, since the SVD of
    // non-finite data has no meaning and its iteration need not end.
    const double x_max =
        X.size() > 0 ? X.cwiseAbs().template maxCoeff<Eigen::PropagateNaN>() : 0.0;
    const double y_max =
        y.size() > 0 ? y.cwiseAbs().template maxCoeff<Eigen::PropagateNaN>() : 0.0;
    if (!std::isfinite(x_max) || !std::isfinite(y_max)) {
        throw std::invalid_argument("ols: X and y must be finite (no NaN or infinity)");
    }
    const Index m = X.rows();
    const Index p = X.cols();
    // With no rows or no columns the rank is 0 and the minimum-norm answer is zero;
    // the decomposition is not asked to handle an empty matrix.
    if (m == 0 || p == 0) return Eigen::VectorXd::Zero(p);
    constexpr unsigned thin = Eigen::ComputeThinU | Eigen::ComputeThinV;
    if (m < 2 * p) return Eigen::BDCSVD<Eigen::MatrixXd>(X, thin).solve(y);

    // Tall X: X = QR, and with c the first p entries of Q^T y the least-squares problem
    // becomes R b = c, whose minimum-norm solution by the SVD of R is that of X b = y;
    // R has the singular values of X, so the rank rule is the same. Q^T y comes for free
    // as the last column of the triangle of [X y].
    const Index q = p + 1;
    const Index block = std::max(cache_rows(q), 2 * q);
    const Index group_rows = kBlocksPerGroup * block;
    const Index n_groups = (m + group_rows - 1) / group_rows;
    // The solution of (X / 2^ex) b' = y / 2^ey is b = 2^(ey - ex) b'.
    const int ex = binary_exponent(x_max);
    const int ey = binary_exponent(y_max);
    Eigen::MatrixXd S(n_groups * q, q);
    for_each_group(n_groups, [&](Index g) {
        const Index begin = g * group_rows;
        reduce_rows(X, y, std::ldexp(1.0, -ex), std::ldexp(1.0, -ey), begin,
                    std::min(m, begin + group_rows), block, S.middleRows(g * q, q));
    });
    if (n_groups > 1) {
        const Eigen::HouseholderQR<Eigen::Ref<Eigen::MatrixXd>> qr(S);
    }
    const Eigen::MatrixXd R = S.topLeftCorner(p, p).triangularView<Eigen::Upper>();
    const Eigen::VectorXd c = S.col(p).head(p);
    Eigen::VectorXd beta = R.bdcSvd(thin).solve(c);
    for (double& b : beta) b = std::ldexp(b, ey - ex);
    return beta;
}

template <typename View>
Eigen::VectorXd fit_regularized_linear_impl(const View& Phi, const VectorRef& y,
                                            const Eigen::MatrixXd* R1, const Eigen::MatrixXd* R2,
                                            double gamma1, double gamma2, double ridge) {
    require_rows(Phi, y, "fit_regularized_linear: Phi");
    const double n = static_cast<double>(y.size());
    const Index m = Phi.rows();
    const Index p = Phi.cols();
    // LDL^T reads only the lower triangle, so Phi^T Phi is formed there alone by symmetric
    // rank updates (half the work of the full product), together with Phi^T y, over groups
    // of rows small enough that the second product finds its rows in cache. The partial
    // sums of at most about 2^21 doubles are added in group order. A Phi without rows or
    // columns has no groups (Eigen's rank update would bind a reference to its missing first
    // element).
    const Index max_groups = std::max<Index>(1, (Index{1} << 21) / (p * (p + 1) + 1));
    const Index group_rows =
        std::max({cache_rows(p), Index{256}, (m + max_groups - 1) / max_groups});
    const Index n_groups = p == 0 ? 0 : (m + group_rows - 1) / group_rows;
    Eigen::MatrixXd G(p, p * n_groups);
    Eigen::MatrixXd B(p, n_groups);
    for_each_group(n_groups, [&](Index g) {
        const Index begin = g * group_rows;
        const Index len = std::min(group_rows, m - begin);
        auto Gg = G.middleCols(g * p, p);
        Gg.setZero();
        Gg.selfadjointView<Eigen::Lower>().rankUpdate(Phi.middleRows(begin, len).transpose());
        B.col(g).noalias() = Phi.middleRows(begin, len).transpose() * y.segment(begin, len);
    });
    Eigen::MatrixXd A = Eigen::MatrixXd::Zero(p, p);
    Eigen::VectorXd b = Eigen::VectorXd::Zero(p);
    for (Index g = 0; g < n_groups; ++g) {
        A += G.middleCols(g * p, p);
        b += B.col(g);
    }
    // The penalties are added to all p*p entries; what lands above the diagonal is never read.
    A.diagonal().array() += ridge;
    // Exact comparisons: a NaN weight counts as non-zero; a zero weight never reads its matrix.
    if (gamma1 != 0.0 && R1 != nullptr) add_penalty(A, *R1, n * gamma1, "R1");
    if (gamma2 != 0.0 && R2 != nullptr) add_penalty(A, *R2, n * gamma2, "R2");
    return A.ldlt().solve(b);
}

}  // namespace

Eigen::VectorXd ols(const ColMatrixRef& X, const Eigen::Ref<const Eigen::VectorXd>& y) {
    return ols_impl(X, y);
}

Eigen::VectorXd ols(const RowMatrixRef& X, const Eigen::Ref<const Eigen::VectorXd>& y) {
    return ols_impl(X, y);
}

Eigen::VectorXd fit_regularized_linear(const ColMatrixRef& Phi,
                                       const Eigen::Ref<const Eigen::VectorXd>& y,
                                       const Eigen::MatrixXd* R1, const Eigen::MatrixXd* R2,
                                       double gamma1, double gamma2, double ridge) {
    return fit_regularized_linear_impl(Phi, y, R1, R2, gamma1, gamma2, ridge);
}

Eigen::VectorXd fit_regularized_linear(const RowMatrixRef& Phi,
                                       const Eigen::Ref<const Eigen::VectorXd>& y,
                                       const Eigen::MatrixXd* R1, const Eigen::MatrixXd* R2,
                                       double gamma1, double gamma2, double ridge) {
    return fit_regularized_linear_impl(Phi, y, R1, R2, gamma1, gamma2, ridge);
}

}  // namespace kvro
