#include "basis.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>

#include <sys/mman.h>

namespace kvro {

using Eigen::Index;
using Eigen::MatrixXd;
using Eigen::VectorXd;

namespace {

// Rows per block of the design matrices: 2^14 rows of a column take a few microseconds.
constexpr Index kRowBlock = Index{1} << 14;

// Appends every multi-index of the tensor product to `out`, last dimension fastest.
// Counts like an odometer rather than recursing per dimension, so that any number of
// dimensions fits on the stack.
void generate_multi_indices(const std::vector<int>& degrees, MultiIndexList& out,
                            Interrupt& intr) {
    for (int deg : degrees) {
        if (deg < 0) return;
    }
    const std::size_t D = degrees.size();
    std::vector<int> current(D, 0);
    for (;;) {
        out.push_back(current);
        intr.check(static_cast<std::int64_t>(D) + 1);
        std::size_t d = D;
        while (d > 0 && current[d - 1] == degrees[d - 1]) current[--d] = 0;
        if (d == 0) return;
        ++current[d - 1];
    }
}

// Value of the order-th derivative (0, 1 or 2) of val^p.
double col_deriv_scalar(double val, int p, int order) {
    if (order == 0) return std::pow(val, static_cast<double>(p));
    if (order == 1) {
        return p < 1 ? 0.0 : static_cast<double>(p) * std::pow(val, static_cast<double>(p - 1));
    }
    const std::int64_t c = static_cast<std::int64_t>(p) * (p - 1);
    return p < 2 ? 0.0 : static_cast<double>(c) * std::pow(val, static_cast<double>(p - 2));
}

// Entries 0..deg of `out` receive the order-1 or order-2 derivative of x^p at x.
void deriv_row(double x, int deg, int order, VectorXd& out) {
    for (Index p = 0; p <= deg; ++p) out[p] = col_deriv_scalar(x, static_cast<int>(p), order);
}

// Number of tensor-product basis functions. Throws std::bad_alloc, before anything is
// built, when an M by M matrix of doubles could not even be addressed.
Index basis_size(const std::vector<int>& degrees) {
    for (int deg : degrees) {
        if (deg < 0) return 0;
    }
    const Index limit = static_cast<Index>(
        std::sqrt(static_cast<double>(std::numeric_limits<Index>::max() / sizeof(double))));
    Index M = 1;
    for (int deg : degrees) {
        const Index k = static_cast<Index>(deg) + 1;
        if (M > limit / k) throw std::bad_alloc();
        M *= k;
    }
    return M;
}

// A large result is fresh memory from the kernel, and faulting it in 4 KiB at a time costs
// more than filling it. Asking for transparent huge pages (as NumPy does for its arrays)
// cuts the faults; this is only advice, and memory it cannot cover stays as it is.
void advise_huge_pages(double* data, Index count) {
#ifdef MADV_HUGEPAGE
    constexpr std::uintptr_t huge = std::uintptr_t{1} << 21;
    const std::uintptr_t begin = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t end = begin + sizeof(double) * static_cast<std::uintptr_t>(count);
    const std::uintptr_t first = (begin + huge - 1) & ~(huge - 1);
    if (end >= first + huge) {
        madvise(reinterpret_cast<void*>(first), (end - first) & ~(huge - 1), MADV_HUGEPAGE);
    }
#else
    (void)data;
    (void)count;
#endif
}

// Lower triangle mirrored, so the Gram matrix T^T T is exactly symmetric.
MatrixXd gram(const MatrixXd& T) {
    const Index K = T.cols();
    MatrixXd S(K, K);
    for (Index q = 0; q < K; ++q) {
        for (Index p = q; p < K; ++p) {
            const double s = T.col(p).dot(T.col(q));
            S(p, q) = s;
            S(q, p) = s;
        }
    }
    return S;
}

}  // namespace

MatrixXd design_matrix_1d(int deg, const VectorXd& x, Interrupt& intr) {
    if (deg < 0) throw std::invalid_argument("deg < 0");
    const Index n = x.size();
    const Index M = static_cast<Index>(deg) + 1;
    MatrixXd V(n, M);
    advise_huge_pages(V.data(), V.size());
    // A block of rows at a time: the previous column's block is still in cache, and
    // the caller is polled between blocks.
    for (Index i = 0; i < n; i += kRowBlock) {
        const Index len = std::min(kRowBlock, n - i);
        V.col(0).segment(i, len).setOnes();
        for (Index p = 1; p < M; ++p) {
            intr.check(len);
            V.col(p).segment(i, len) = V.col(p - 1).segment(i, len).cwiseProduct(x.segment(i, len));
        }
    }
    return V;
}

PenaltyMatrices1D smoothness_penalty_matrices_1d(int deg, double x_min, double x_max, int n_grid,
                                                 Interrupt& intr) {
    if (deg < 0) throw std::invalid_argument("deg < 0");
    if (n_grid < 2) throw std::invalid_argument("n_grid < 2");
    const Index M = static_cast<Index>(deg) + 1;
    const double dx = (x_max - x_min) / static_cast<double>(n_grid - 1);
    MatrixXd R1 = MatrixXd::Zero(M, M);
    MatrixXd R2 = MatrixXd::Zero(M, M);
    VectorXd d1(M);
    VectorXd d2(M);
    for (int g = 0; g < n_grid; ++g) {
        intr.check(2 * M * M);
        const double xg = x_min + static_cast<double>(g) * dx;
        deriv_row(xg, deg, 1, d1);
        deriv_row(xg, deg, 2, d2);
        // (d_i d_j) dx in this order for both triangles keeps the sums exactly symmetric.
        for (Index j = 0; j < M; ++j) {
            for (Index i = 0; i < M; ++i) {
                R1(i, j) += (d1[i] * d1[j]) * dx;
                R2(i, j) += (d2[i] * d2[j]) * dx;
            }
        }
    }
    return {std::move(R1), std::move(R2)};
}

MatrixXd boundary_reduce_1d(int deg, double x_min, double x_max, Interrupt& intr) {
    // A negative size must not reach Eigen; a degree below -1 has no matrix at all.
    if (deg <= -2) throw std::bad_alloc();
    const Index M = static_cast<Index>(deg) + 1;
    // The M by M matrices first: a degree too large for them fails before the rows are filled.
    MatrixXd U(M, M);
    MatrixXd Rb(M, M);
    VectorXd a1(M), a2(M), b1(M), b2(M);
    deriv_row(x_min, deg, 1, a1);
    deriv_row(x_min, deg, 2, a2);
    deriv_row(x_max, deg, 1, b1);
    deriv_row(x_max, deg, 2, b2);
    for (Index j = 0; j < M; ++j) {
        intr.check(M);
        for (Index i = 0; i < M; ++i) U(i, j) = b2[i] * b1[j] - a2[i] * a1[j];
    }
    for (Index j = 0; j < M; ++j) {
        intr.check(M);
        for (Index i = 0; i < M; ++i) Rb(i, j) = 0.5 * (U(i, j) + U(j, i));
    }
    return Rb;
}

MatrixXd design_matrix_nd(const MultiIndexList& multi_indices, const std::vector<VectorXd>& X_cols,
                          Interrupt& intr) {
    if (X_cols.empty()) throw std::invalid_argument("design_matrix_nd: X_cols is empty");
    const std::size_t D = X_cols.size();
    const Index n = X_cols[0].size();
    for (std::size_t d = 1; d < D; ++d) {
        if (X_cols[d].size() != n) {
            throw std::invalid_argument("design_matrix_nd: X_cols[" + std::to_string(d) + "] has " +
                                        std::to_string(X_cols[d].size()) +
                                        " values, X_cols[0] has " + std::to_string(n));
        }
    }
    for (std::size_t j = 0; j < multi_indices.size(); ++j) {
        if (multi_indices[j].size() < D) {
            throw std::invalid_argument("design_matrix_nd: multi_indices[" + std::to_string(j) +
                                        "] has " + std::to_string(multi_indices[j].size()) +
                                        " entries, fewer than the " + std::to_string(D) +
                                        " columns of X_cols");
        }
    }
    const Index M = static_cast<Index>(multi_indices.size());
    MatrixXd Phi(n, M);
    for (Index j = 0; j < M; ++j) {
        // Blocks of rows between polls. Eigen computes pow in packets from the first
        // aligned element on and with the scalar function elsewhere, and the two can
        // differ in the last bit; blocks that start on 64-byte boundaries of the column
        // keep every element on the path it takes in one pass over the whole column.
        const auto address = reinterpret_cast<std::uintptr_t>(Phi.col(j).data());
        const Index head = static_cast<Index>((64 - address % 64) % 64 / sizeof(double));
        for (Index i = 0; i < n;) {
            const Index len = std::min(i == 0 ? head + kRowBlock : kRowBlock, n - i);
            auto block = Phi.col(j).segment(i, len).array();
            block.setOnes();
            for (std::size_t d = 0; d < D; ++d) {
                const int p = multi_indices[j][d];
                if (p <= 0) continue;
                intr.check(len);
                block *= X_cols[d].segment(i, len).array().pow(static_cast<double>(p));
            }
            i += len;
        }
    }
    return Phi;
}

PenaltyMatricesND build_penalty_matrices_nd(const std::vector<int>& degrees,
                                            const std::vector<std::pair<double, double>>& bounds,
                                            int n_grid_per_dim, Interrupt& intr) {
    const std::size_t D = degrees.size();
    if (bounds.size() != D) throw std::invalid_argument("Dimension mismatch.");
    if (n_grid_per_dim < 0) throw std::invalid_argument("n_grid_per_dim < 0");
    const int n = n_grid_per_dim;
    for (int deg : degrees) {
        // A derivative table of n by (deg + 1) has a negative size: refuse it here
        // rather than hand the size to Eigen.
        if (deg <= -2 && n >= 1) throw std::bad_alloc();
    }
    const Index M = basis_size(degrees);
    MatrixXd R1 = MatrixXd::Zero(M, M);
    MatrixXd R2 = MatrixXd::Zero(M, M);
    MultiIndexList multi_indices;
    multi_indices.reserve(static_cast<std::size_t>(M));
    generate_multi_indices(degrees, multi_indices, intr);
    // An empty grid sums nothing, whatever the bounds.
    if (n == 0 || M == 0) return {std::move(R1), std::move(R2), std::move(multi_indices)};

    // Both the grid and the basis are tensor products, so the sum over the n^D grid of
    // prod_d T_d(k_d, a_d) T_d(k_d, b_d) factors into prod_d (T_d^T T_d)(a_d, b_d):
    // per-axis Gram matrices of the derivative tables replace the grid-sized work matrix.
    double dV = 1.0;
    std::vector<std::array<MatrixXd, 3>> S(D);
    for (std::size_t d = 0; d < D; ++d) {
        intr.check(3 * static_cast<std::int64_t>(n) * (degrees[d] + 1));
        const auto [lo, hi] = bounds[d];
        const double step = (hi - lo) / static_cast<double>(n - 1);
        dV = step * dV;
        const VectorXd axis = VectorXd::LinSpaced(n, lo, hi);
        const Index K = static_cast<Index>(degrees[d]) + 1;
        for (int o = 0; o < 3; ++o) {
            MatrixXd T(n, K);
            for (Index p = 0; p < K; ++p) {
                for (Index k = 0; k < n; ++k) {
                    T(k, p) = col_deriv_scalar(axis[k], static_cast<int>(p), o);
                }
            }
            S[d][o] = gram(T);
        }
    }

    // v[3 d + o] = (T_d^o)^T T_d^o at the exponents of the pair (a, b) on axis d.
    std::vector<double> v(3 * D);
    // P[d]: the order-0 factors of axes 0..d-1 multiplied in order from 1.0, which is
    // how every product below begins up to its first differentiated axis.
    std::vector<double> P(D + 1);
    // finite_from[d]: all factors of axes d..D-1 are finite, so a product that reaches 0
    // before axis d stays 0, and (dV being finite) its term adds nothing to the sum.
    // Skipping such terms keeps every sum exact; for zero degrees, where every
    // derivative factor is 0, it turns D^3 steps into D.
    std::vector<char> finite_from(D + 1);
    std::vector<char> dead(D);
    std::vector<std::size_t> live;
    const bool dV_finite = std::isfinite(dV);
    // The product for the derivative orders [d == i] + [d == j], from axis m = min(i, j)
    // on; false when it is certainly 0 and its term can be left out. A NaN stays NaN.
    const auto product = [&](std::size_t m, std::size_t i, std::size_t j, double& t) {
        intr.check(static_cast<std::int64_t>(D - m));
        t = P[m];
        for (std::size_t d = m; d < D && !std::isnan(t); ++d) {
            t = t * v[3 * d + (d == i) + (d == j)];
            if (t == 0.0 && dV_finite && finite_from[d + 1]) return false;
        }
        return true;
    };
    for (Index b = 0; b < M; ++b) {
        for (Index a = b; a < M; ++a) {
            intr.check(static_cast<std::int64_t>(D));
            for (std::size_t d = 0; d < D; ++d) {
                const int pa = multi_indices[a][d];
                const int pb = multi_indices[b][d];
                for (int o = 0; o < 3; ++o) v[3 * d + o] = S[d][o](pa, pb);
            }
            P[0] = 1.0;
            for (std::size_t d = 0; d < D; ++d) P[d + 1] = P[d] * v[3 * d];
            finite_from[D] = 1;
            for (std::size_t d = D; d-- > 0;) {
                finite_from[d] = finite_from[d + 1] && std::isfinite(v[3 * d]) &&
                                 std::isfinite(v[3 * d + 1]) && std::isfinite(v[3 * d + 2]);
            }
            // dead[m]: a first derivative on axis m, the first differentiated axis, makes
            // the product 0 whatever comes after.
            live.clear();
            for (std::size_t m = 0; m < D; ++m) {
                dead[m] = P[m] * v[3 * m + 1] == 0.0 && dV_finite && finite_from[m + 1];
                if (!dead[m]) live.push_back(m);
            }
            // Hessian: every ordered pair (i, j), so each mixed derivative counts twice;
            // axis d carries derivative order [d == i] + [d == j]. Terms are added in the
            // order i, then j, as without the skipping.
            // A sum that has become NaN stays NaN, so it stops there.
            double r2 = 0.0;
            double t = 0.0;
            for (std::size_t i = 0; i < D && !std::isnan(r2); ++i) {
                intr.check(1);
                for (std::size_t j : live) {
                    if (j >= i || std::isnan(r2)) break;
                    if (product(j, i, j, t)) r2 += dV * t;
                }
                if (product(i, i, i, t)) r2 += dV * t;
                if (dead[i]) continue;
                for (std::size_t j = i + 1; j < D && !std::isnan(r2); ++j) {
                    if (product(i, i, j, t)) r2 += dV * t;
                }
            }
            // Gradient: axis i carries order 1 (j = D matches no axis).
            double r1 = 0.0;
            for (std::size_t i : live) {
                if (std::isnan(r1)) break;
                if (product(i, i, D, t)) r1 += dV * t;
            }
            R1(a, b) = R1(b, a) = r1;
            R2(a, b) = R2(b, a) = r2;
        }
    }
    return {std::move(R1), std::move(R2), std::move(multi_indices)};
}

}  // namespace kvro
