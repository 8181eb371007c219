// Robust statistics and the MDL score of a prediction.
#pragma once

#include <Eigen/Dense>
#include <cstdint>
#include <vector>

namespace kvro {

/// Median of `v` by selection (nth_element); 0.0 for an empty list.
double median_inplace(std::vector<double> v);

/// Median absolute deviation from the median, without a consistency factor.
double mad(const Eigen::Ref<const Eigen::VectorXd>& y);

/// Fraction of i < len(yt) with |yp[i] - yt[i]| < eps, floored at 1/(2n).
/// Throws std::invalid_argument when yp is shorter than yt.
double compute_SR(const Eigen::Ref<const Eigen::VectorXd>& yp,
                  const Eigen::Ref<const Eigen::VectorXd>& yt, double eps);

/// hits / n floored at 1/(2n): the rate compute_SR returns for that many hits.
double hit_rate(std::int64_t hits, Eigen::Index n);

/// Non-owning description of up to two weighted quadratic penalties.
struct PenaltySpec {
    const Eigen::MatrixXd* R1 = nullptr;
    const Eigen::MatrixXd* R2 = nullptr;
    double gamma1 = 0.0;
    double gamma2 = 0.0;

    /// True when some present matrix carries a non-zero (or NaN) weight.
    bool active() const {
        return (R1 != nullptr && gamma1 != 0.0) || (R2 != nullptr && gamma2 != 0.0);
    }
};

/// b^T (R b); R must be len(b) by len(b).
double quad_form(const Eigen::VectorXd& b, const Eigen::MatrixXd& R);

/// MDL score with a tolerance computed by the caller. Throws std::invalid_argument
/// when yp is shorter than yt or an active penalty matrix is not p by p.
double mdl_score_cached(const Eigen::Ref<const Eigen::VectorXd>& yp,
                        const Eigen::Ref<const Eigen::VectorXd>& yt, int k, int H,
                        double eps, const Eigen::VectorXd* beta, const PenaltySpec* pen);

/// MDL score of a prediction of n values with hit rate sr; the rest as mdl_score_cached.
double mdl_score_rate(double sr, Eigen::Index n, int k, int H, const Eigen::VectorXd* beta,
                      const PenaltySpec* pen);

/// Tolerance 0.4 * mad(yt), or 0.4 when that median deviation is not positive.
double hit_tolerance(const Eigen::Ref<const Eigen::VectorXd>& yt);

/// MDL score with the tolerance taken from the spread of yt.
double mdl_score(const Eigen::Ref<const Eigen::VectorXd>& yp,
                 const Eigen::Ref<const Eigen::VectorXd>& yt, int k, int H,
                 const Eigen::VectorXd* beta = nullptr, const PenaltySpec* pen = nullptr);

}  // namespace kvro
