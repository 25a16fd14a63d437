// tdcyl._core.monte_carlo: the Monte Carlo engine for the package's
// tdcyl.monte_carlo, which checks the arguments and bins the detected photons.
// Returns the detected photons as numpy arrays (paths as float32: the
// relative error of a path, 6e-8, moves exp(-mua L) far less than the noise).
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "model/montecarlo/monte_carlo.hpp"
#include "python/src/interruptible.hpp"

namespace py = pybind11;

namespace tdcyl {
namespace {

using DetectorSpec = std::tuple<bool, double, double, double, double>;  // ring, x, y, r_inner, r_outer

template <class T>
py::array_t<T> ToArray(const std::vector<T>& v) {
    py::array_t<T> a(static_cast<py::ssize_t>(v.size()));
    std::copy(v.begin(), v.end(), a.mutable_data());
    return a;
}

py::dict ResultDict(const mc::McResult& r, std::size_t layers) {
    py::dict d;
    d["photon"] = ToArray(r.photon);
    d["detector"] = ToArray(r.detector);
    d["t_ps"] = ToArray(r.t_ps);
    d["weight"] = ToArray(r.weight);
    const auto records = static_cast<py::ssize_t>(r.detector.size());
    py::array_t<float> paths({records, static_cast<py::ssize_t>(layers)});
    float* p = paths.mutable_data();
    for (std::size_t i = 0; i < r.paths.size(); ++i) p[i] = static_cast<float>(r.paths[i]);
    d["paths"] = paths;
    py::array_t<double> blocks({static_cast<py::ssize_t>(r.blocks.size()), static_cast<py::ssize_t>(mc::kTallyCount)});
    double* b = blocks.mutable_data();
    for (const auto& row : r.blocks) b = std::copy(row.begin(), row.end(), b);
    d["blocks"] = blocks;
    return d;
}

py::dict MonteCarlo(const std::vector<double>& musp, const std::vector<double>& mua, const std::vector<double>& n,
                    const std::vector<double>& l, const std::vector<double>& g, double radius, double rho0,
                    double n_outside, const std::string& source, const std::string& rim,
                    const std::vector<DetectorSpec>& detectors, double t_max_ps, std::uint64_t seed,
                    std::uint64_t first_photon, std::uint64_t photons, int threads, double roulette_weight,
                    double split_mm, int split_levels) {
    mc::McSetup s;
    const std::size_t N = musp.size();
    if (mua.size() != N || n.size() != N || l.size() != N || g.size() != N)
        throw py::value_error("layers: need as many musp, mua, n, thickness and g values");
    for (std::size_t i = 0; i < N; ++i) s.layers.push_back({musp[i], mua[i], n[i], l[i], g[i]});
    s.radius = radius;
    s.rho0 = rho0;
    s.n_outside = n_outside;
    if (source != "pencil" && source != "isotropic") throw py::value_error("source must be 'pencil' or 'isotropic'");
    s.source = source == "pencil" ? mc::McSource::pencil : mc::McSource::isotropic;
    if (rim != "fresnel" && rim != "absorbing") throw py::value_error("rim must be 'fresnel' or 'absorbing'");
    s.rim = rim == "fresnel" ? mc::McRim::fresnel : mc::McRim::absorbing;
    for (const auto& [ring, x, y, r_in, r_out] : detectors) s.detectors.push_back({ring, x, y, r_in, r_out});
    s.t_max_ps = t_max_ps;
    s.seed = seed;
    s.first_photon = first_photon;
    s.photons = photons;
    s.threads = threads;
    s.roulette_weight = roulette_weight;
    s.split_mm = split_mm;
    s.split_levels = split_levels;
    try {
        mc::CheckSetup(s);
    } catch (const std::invalid_argument& e) {
        throw py::value_error(e.what());
    }
    // Ctrl-C stops the run between blocks.
    const mc::McResult r = python::Interruptible([&](std::atomic<bool>* cancel) {
        bool cancelled = false;
        return mc::RunMonteCarlo(s, cancel, &cancelled);
    });
    return ResultDict(r, N);
}

}  // namespace

void BindMonteCarlo(py::module_& m) {
    m.def("monte_carlo", &MonteCarlo, py::arg("musp"), py::arg("mua"), py::arg("n"), py::arg("l"), py::arg("g"),
          py::arg("radius"), py::arg("rho0"), py::arg("n_outside"), py::arg("source"), py::arg("rim"),
          py::arg("detectors"), py::arg("t_max_ps"), py::arg("seed"), py::arg("first_photon"), py::arg("photons"),
          py::arg("threads"), py::arg("roulette_weight"), py::arg("split_mm") = 0.0, py::arg("split_levels") = 0);
    m.attr("MC_BLOCK_PHOTONS") = mc::kBlockPhotons;
    m.attr("MC_MAX_SPLIT_LEVELS") = mc::kMaxSplitLevels;
    m.attr("MC_TALLIES") = py::make_tuple("specular", "reflected", "transmitted", "rim", "absorbed", "timed_out",
                                          "roulette", "events");
}

}  // namespace tdcyl
