#include "scoring.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace kvro {

double median_inplace(std::vector<double> v) {
    const std::size_t n = v.size();
    if (n == 0) return 0.0;
    const auto mid = v.begin() + static_cast<std::ptrdiff_t>(n / 2);
    std::nth_element(v.begin(), mid, v.end());
    const double a = *mid;
    if (n % 2 == 1) return a;
    // After the selection everything before `mid` is <= a; its maximum is the lower middle.
    const double b = *std::max_element(v.begin(), mid);
    return (a + b) * 0.5;
}

double mad(const Eigen::Ref<const Eigen::VectorXd>& y) {
    std::vector<double> buf(y.data(), y.data() + y.size());
    const double m = median_inplace(buf);
    for (double& v : buf) v = std::abs(v - m);
    return median_inplace(std::move(buf));
}

double compute_SR(const Eigen::Ref<const Eigen::VectorXd>& yp,
                  const Eigen::Ref<const Eigen::VectorXd>& yt, double eps) {
    if (yp.size() < yt.size()) {
        throw std::invalid_argument("compute_sr: yp has " + std::to_string(yp.size()) +
                                    " elements, fewer than the " + std::to_string(yt.size()) +
                                    " of yt");
    }
    const Eigen::Index n = yt.size();
    const double* p = yp.data();
    const double* t = yt.data();
    // Branch-free count so the loop vectorises; a NaN difference compares false.
    std::int64_t hit = 0;
    for (Eigen::Index i = 0; i < n; ++i) hit += std::abs(p[i] - t[i]) < eps;
    return hit_rate(hit, n);
}

double hit_rate(std::int64_t hits, Eigen::Index n) {
    const double sr = static_cast<double>(hits) / static_cast<double>(n);
    const double floor = 1.0 / (2.0 * static_cast<double>(n));
    // Written so that a NaN rate (n = 0) is returned as it is.
    return sr < floor ? floor : sr;
}

double quad_form(const Eigen::VectorXd& b, const Eigen::MatrixXd& R) {
    // (R b)_i is formed row by row and summed into the dot product at once, so the
    // sampler's energy evaluation allocates nothing.
    double s = 0.0;
    for (Eigen::Index i = 0; i < b.size(); ++i) s += b[i] * R.row(i).dot(b);
    return s;
}

namespace {

void require_square(const Eigen::MatrixXd& R, Eigen::Index p, const char* name) {
    if (R.rows() != p || R.cols() != p) {
        throw std::invalid_argument(std::string(name) + " must be " + std::to_string(p) + " by " +
                                    std::to_string(p) + " (the length of beta), got " +
                                    std::to_string(R.rows()) + " by " + std::to_string(R.cols()));
    }
}

}  // namespace

double mdl_score_cached(const Eigen::Ref<const Eigen::VectorXd>& yp,
                        const Eigen::Ref<const Eigen::VectorXd>& yt, int k, int H,
                        double eps, const Eigen::VectorXd* beta, const PenaltySpec* pen) {
    return mdl_score_rate(compute_SR(yp, yt, eps), yt.size(), k, H, beta, pen);
}

double mdl_score_rate(double sr, Eigen::Index n_rows, int k, int H, const Eigen::VectorXd* beta,
                      const PenaltySpec* pen) {
    const double n = static_cast<double>(n_rows);
    const double logHk = k > 0 ? k * std::log(2.0 * H) : 0.0;
    double L = std::fma(-std::log(sr), n, (logHk / n) * k);
    if (beta != nullptr && pen != nullptr && pen->active()) {
        if (pen->R1 != nullptr && pen->gamma1 != 0.0) {
            require_square(*pen->R1, beta->size(), "R1");
            L = std::fma(pen->gamma1, quad_form(*beta, *pen->R1), L);
        }
        if (pen->R2 != nullptr && pen->gamma2 != 0.0) {
            require_square(*pen->R2, beta->size(), "R2");
            L = std::fma(pen->gamma2, quad_form(*beta, *pen->R2), L);
        }
    }
    return L;
}

double hit_tolerance(const Eigen::Ref<const Eigen::VectorXd>& yt) {
    const double m = mad(yt);
    return m > 0 ? 0.4 * m : 0.4;  // also 0.4 when m is NaN
}

double mdl_score(const Eigen::Ref<const Eigen::VectorXd>& yp,
                 const Eigen::Ref<const Eigen::VectorXd>& yt, int k, int H,
                 const Eigen::VectorXd* beta, const PenaltySpec* pen) {
    return mdl_score_cached(yp, yt, k, H, hit_tolerance(yt), beta, pen);
}

}  // namespace kvro
