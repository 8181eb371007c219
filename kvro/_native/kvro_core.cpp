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
using Eigen::MatrixXd;
using Eigen::VectorXd;

namespace {

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

    m.def("mad", &kvro::mad, py::arg("y"));
    m.def("compute_sr", &kvro::compute_SR, py::arg("yp"), py::arg("yt"), py::arg("eps"));
    m.def(
        "mdl_score",
        [](const VectorXd& yp, const VectorXd& yt, int k, int H) {
            return kvro::mdl_score(yp, yt, k, H);
        },
        py::arg("yp"), py::arg("yt"), py::arg("k"), py::arg("H") = 20);
    m.def(
        "mdl_score_reg",
        [](const VectorXd& yp, const VectorXd& yt, int k, int H, const VectorXd& beta,
           const MatrixXd& R1, const MatrixXd& R2, double gamma1, double gamma2) {
            const kvro::PenaltySpec pen{&R1, &R2, gamma1, gamma2};
            return kvro::mdl_score(yp, yt, k, H, &beta, &pen);
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
    m.def("ols", &kvro::ols, py::arg("X"), py::arg("y"));
    m.def(
        "fit_regularized_linear",
        [](const MatrixXd& Phi, const VectorXd& y, const py::object& R1, const py::object& R2,
           double gamma1, double gamma2, double ridge) {
            // R1 first, so a failing R1 raises before R2 is looked at.
            MatrixXd r1;
            MatrixXd r2;
            const MatrixXd* p1 = optional_matrix(R1, r1);
            const MatrixXd* p2 = optional_matrix(R2, r2);
            return kvro::fit_regularized_linear(Phi, y, p1, p2, gamma1, gamma2, ridge);
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
