// Python module kvro_core: registration of the API in its fixed order and the
// thin adapters between Python objects and the core.
#include <pybind11/eigen.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <tuple>
#include <utility>
#include <vector>

#include "basis.hpp"
#include "linear_fit.hpp"
#include "sampling.hpp"
#include "scoring.hpp"

namespace py = pybind11;
using Eigen::Index;
using Eigen::MatrixXd;
using Eigen::VectorXd;

namespace {

// Array arguments. An aligned float64 NumPy array whose elements (vector) or rows or
// columns (matrix) are contiguous is read where it lies: no binding releases the
// interpreter lock, so nothing can change it during the call. Anything else is converted
// once by pybind11's Eigen caster, with its rules and errors.
struct VectorArg {
    const double* data = nullptr;
    Index size = 0;
    VectorXd converted;

    Eigen::Map<const VectorXd> view() const { return {data, size}; }
};

struct MatrixArg {
    const double* data = nullptr;
    Index rows = 0;
    Index cols = 0;
    Index outer = 0;  // stride between columns, or between rows when row_major
    bool row_major = false;
    MatrixXd converted;
};

// Calls f with a column-major or a row-major view of X.
template <typename F>
auto with_view(const MatrixArg& X, const F& f) {
    const Eigen::OuterStride<> stride(X.outer);
    if (X.row_major) {
        return f(kvro::RowMatrixRef(
            Eigen::Map<const kvro::RowMatrixRef::PlainObject, 0, Eigen::OuterStride<>>(
                X.data, X.rows, X.cols, stride)));
    }
    return f(kvro::ColMatrixRef(
        Eigen::Map<const MatrixXd, 0, Eigen::OuterStride<>>(X.data, X.rows, X.cols, stride)));
}

// The stride of dimension d of a in elements, or 0 when it is not a positive whole number.
Index element_stride(const py::array& a, py::ssize_t d) {
    const py::ssize_t s = a.strides(d);
    return s > 0 && s % static_cast<py::ssize_t>(sizeof(double)) == 0
               ? static_cast<Index>(s / static_cast<py::ssize_t>(sizeof(double)))
               : 0;
}

// Whether src is a float64 NumPy array whose data pointer is aligned for double.
bool is_aligned_float64(py::handle src) {
    return py::isinstance<py::array_t<double>>(src) &&
           reinterpret_cast<std::uintptr_t>(py::reinterpret_borrow<py::array>(src).data()) %
                   alignof(double) ==
               0;
}

// An optional penalty matrix: None leaves it out (a null pointer), anything else is
// converted into `storage`, which must outlive the core call.
const MatrixXd* optional_matrix(const py::object& R, MatrixXd& storage) {
    if (R.is_none()) return nullptr;
    storage = py::cast<MatrixXd>(R);
    return &storage;
}

// The poll of kvro::Interrupt: runs the interpreter's signal handlers, which needs the
// interpreter lock, so the core calls it on the calling thread only. A handler that
// raises (Ctrl-C raises KeyboardInterrupt) leaves its exception set and stops the call.
bool signal_raised() { return PyErr_CheckSignals() != 0; }

}  // namespace

namespace pybind11::detail {

template <>
struct type_caster<VectorArg> {
    PYBIND11_TYPE_CASTER(VectorArg, type_caster<VectorXd>::name);

    bool load(handle src, bool convert) {
        const auto a = reinterpret_borrow<array>(src);
        if (is_aligned_float64(src) && a.ndim() == 1 &&
            (a.shape(0) <= 1 || element_stride(a, 0) == 1)) {
            value.data = a.shape(0) > 0 ? static_cast<const double*>(a.data()) : nullptr;
            value.size = a.shape(0);
            return true;
        }
        type_caster<VectorXd> conv;
        if (!conv.load(src, convert)) return false;
        value.converted = std::move(static_cast<VectorXd&>(conv));
        value.data = value.converted.data();
        value.size = value.converted.size();
        return true;
    }
};

template <>
struct type_caster<MatrixArg> {
    PYBIND11_TYPE_CASTER(MatrixArg, type_caster<MatrixXd>::name);

    bool load(handle src, bool convert) {
        const auto a = reinterpret_borrow<array>(src);
        if (is_aligned_float64(src) && a.ndim() == 2 && a.shape(0) > 0 && a.shape(1) > 0) {
            const Index rows = a.shape(0);
            const Index cols = a.shape(1);
            // The stride of a dimension of length 1 is never used.
            const Index rs = rows == 1 ? 1 : element_stride(a, 0);
            const Index cs = cols == 1 ? 1 : element_stride(a, 1);
            if (rs == 1 && cs > 0) {
                value.row_major = false;
                value.outer = cols == 1 ? rows : cs;
            } else if (cs == 1 && rs > 0) {
                value.row_major = true;
                value.outer = rows == 1 ? cols : rs;
            } else {
                return convert_matrix(src, convert);
            }
            value.data = static_cast<const double*>(a.data());
            value.rows = rows;
            value.cols = cols;
            return true;
        }
        return convert_matrix(src, convert);
    }

private:
    bool convert_matrix(handle src, bool convert) {
        type_caster<MatrixXd> conv;
        if (!conv.load(src, convert)) return false;
        value.converted = std::move(static_cast<MatrixXd&>(conv));
        value.data = value.converted.data();
        value.rows = value.converted.rows();
        value.cols = value.converted.cols();
        value.outer = value.rows;
        value.row_major = false;
        return true;
    }
};

}  // namespace pybind11::detail

PYBIND11_MODULE(kvro_core, m) {
    m.doc() = "KVRO-P performans-kritik cekirdegi (C++/Eigen).";
    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const kvro::Interrupted&) {
            // The signal handler's exception is already set.
            if (PyErr_Occurred() == nullptr) PyErr_SetNone(PyExc_KeyboardInterrupt);
        }
    });

    m.def("mad", [](const VectorArg& y) { return kvro::mad(y.view()); }, py::arg("y"));
    m.def(
        "compute_sr",
        [](const VectorArg& yp, const VectorArg& yt, double eps) {
            return kvro::compute_SR(yp.view(), yt.view(), eps);
        },
        py::arg("yp"), py::arg("yt"), py::arg("eps"));
    m.def(
        "mdl_score",
        [](const VectorArg& yp, const VectorArg& yt, int k, int H) {
            return kvro::mdl_score(yp.view(), yt.view(), k, H);
        },
        py::arg("yp"), py::arg("yt"), py::arg("k"), py::arg("H") = 20);
    m.def(
        "mdl_score_reg",
        [](const VectorArg& yp, const VectorArg& yt, int k, int H, const VectorXd& beta,
           const MatrixXd& R1, const MatrixXd& R2, double gamma1, double gamma2) {
            const kvro::PenaltySpec pen{&R1, &R2, gamma1, gamma2};
            return kvro::mdl_score(yp.view(), yt.view(), k, H, &beta, &pen);
        },
        py::arg("yp"), py::arg("yt"), py::arg("k"), py::arg("H"), py::arg("beta"), py::arg("R1"),
        py::arg("R2"), py::arg("gamma1") = 0.0, py::arg("gamma2") = 0.0);
    m.def(
        "design_matrix_1d",
        [](int deg, const VectorXd& x) {
            kvro::Interrupt intr(signal_raised);
            return kvro::design_matrix_1d(deg, x, intr);
        },
        py::arg("deg"), py::arg("x"));
    m.def(
        "smoothness_penalty_matrices_1d",
        [](int deg, double x_min, double x_max, int n_grid) {
            kvro::Interrupt intr(signal_raised);
            kvro::PenaltyMatrices1D r =
                kvro::smoothness_penalty_matrices_1d(deg, x_min, x_max, n_grid, intr);
            return std::make_tuple(std::move(r.R1), std::move(r.R2));
        },
        py::arg("deg"), py::arg("x_min"), py::arg("x_max"), py::arg("n_grid") = 600);
    m.def(
        "boundary_reduce_1d",
        [](int deg, double x_min, double x_max) {
            kvro::Interrupt intr(signal_raised);
            return kvro::boundary_reduce_1d(deg, x_min, x_max, intr);
        },
        py::arg("deg"), py::arg("x_min"), py::arg("x_max"));
    m.def(
        "design_matrix_nd",
        [](const kvro::MultiIndexList& multi_indices, const std::vector<VectorXd>& X_cols) {
            kvro::Interrupt intr(signal_raised);
            return kvro::design_matrix_nd(multi_indices, X_cols, intr);
        },
        py::arg("multi_indices"), py::arg("X_cols"));
    m.def(
        "build_penalty_matrices_nd",
        [](const std::vector<int>& degrees, const std::vector<std::pair<double, double>>& bounds,
           int n_grid_per_dim) {
            kvro::Interrupt intr(signal_raised);
            kvro::PenaltyMatricesND r =
                kvro::build_penalty_matrices_nd(degrees, bounds, n_grid_per_dim, intr);
            return std::make_tuple(std::move(r.R1), std::move(r.R2), std::move(r.multi_indices));
        },
        py::arg("degrees"), py::arg("bounds"), py::arg("n_grid_per_dim") = 30);
    m.def(
        "ols",
        [](const MatrixArg& X, const VectorArg& y) {
            return with_view(X, [&](const auto& Xv) { return kvro::ols(Xv, y.view()); });
        },
        py::arg("X"), py::arg("y"));
    m.def(
        "fit_regularized_linear",
        [](const MatrixArg& Phi, const VectorArg& y, const py::object& R1, const py::object& R2,
           double gamma1, double gamma2, double ridge) {
            // R1 first, so a failing R1 raises before R2 is looked at.
            MatrixXd r1;
            MatrixXd r2;
            const MatrixXd* p1 = optional_matrix(R1, r1);
            const MatrixXd* p2 = optional_matrix(R2, r2);
            return with_view(Phi, [&](const auto& view) {
                return kvro::fit_regularized_linear(view, y.view(), p1, p2, gamma1, gamma2, ridge);
            });
        },
        py::arg("Phi"), py::arg("y"), py::arg("R1") = py::none(), py::arg("R2") = py::none(),
        py::arg("gamma1") = 0.0, py::arg("gamma2") = 0.0, py::arg("ridge") = 1e-10);

    py::class_<kvro::GibbsResult>(m, "GibbsResult")
        .def_readonly("H", &kvro::GibbsResult::H)
        .def_readonly("Hmax", &kvro::GibbsResult::Hmax)
        .def_readonly("He", &kvro::GibbsResult::He)
        .def_readonly("r_heat", &kvro::GibbsResult::r_heat)
        .def_readonly("var_E", &kvro::GibbsResult::var_E)
        .def_readonly("T", &kvro::GibbsResult::T);
    m.def("gibbs_entropy", &kvro::gibbs_entropy, py::arg("energies"), py::arg("T") = 1.0);
    // def_readonly hands out beta_mcmc as a read-only view and gibbs as a reference,
    // both keeping the result object alive.
    py::class_<kvro::MCMCResult>(m, "MCMCResult")
        .def_readonly("beta_mcmc", &kvro::MCMCResult::beta_mcmc)
        .def_readonly("energy", &kvro::MCMCResult::energy)
        .def_readonly("gibbs", &kvro::MCMCResult::gibbs)
        .def_readonly("n_chains", &kvro::MCMCResult::n_chains)
        .def_readonly("n_elite", &kvro::MCMCResult::n_elite);
    py::class_<kvro::TournamentMCMC>(m, "TournamentMCMC")
        .def(py::init<int, int, int, int, double, int, std::uint64_t>(), py::arg("n_chains") = 25,
             py::arg("n_warmup") = 200, py::arg("n_deep") = 2000, py::arg("n_elite") = 5,
             py::arg("step_size") = 0.05, py::arg("H_piH") = 20, py::arg("seed") = 42)
        .def(
            "fit",
            [](const kvro::TournamentMCMC& self, const MatrixXd& X, const VectorXd& y,
               const py::object& R1, const py::object& R2, double gamma1, double gamma2) {
                MatrixXd r1;
                MatrixXd r2;
                const MatrixXd* p1 = optional_matrix(R1, r1);
                const MatrixXd* p2 = optional_matrix(R2, r2);
                kvro::Interrupt intr(signal_raised);
                return self.fit(X, y, p1, p2, gamma1, gamma2, intr);
            },
            py::arg("X"), py::arg("y"), py::arg("R1") = py::none(), py::arg("R2") = py::none(),
            py::arg("gamma1") = 0.0, py::arg("gamma2") = 0.0);
}
