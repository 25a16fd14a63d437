// tdcyl._core: the run core of tdcyl-cli for Python. Thin on purpose: the
// package beside it checks the arguments and shapes the results; this layer
// converts values, releases the GIL while the core computes (Ctrl-C stops it),
// and turns the core's exceptions into Python ones.
#include <pybind11/complex.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <atomic>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <complex>
#include <limits>
#include <string>
#include <vector>

#include "app/core/input_reader.hpp"
#include "app/core/result_writer.hpp"
#include "app/core/run.hpp"
#include "model/fast/moments.hpp"
#include "python/src/interruptible.hpp"

namespace py = pybind11;

namespace tdcyl {
void BindMonteCarlo(py::module_& m);  // mc_module.cpp
namespace {

// A Python float stands for the decimal number it prints as (its shortest
// round-trip form); it is converted to Extended the way the parameter file is
// read, so that n = 1.4 selects the same boundary constant as "1.4" in a file
// and a call reproduces tdcyl-cli bit for bit.
Extended ToExtended(double x) {
    char buf[64];
    const auto r = std::to_chars(buf, buf + sizeof buf, x);
    Extended v = 0;
    if (r.ec != std::errc() || !ParseRealToken(std::string(buf, r.ptr), v))
        throw py::value_error("cannot convert " + std::string(buf, r.ptr) + " to a parameter value");
    return v;
}

// `work` reads options.cancel, which Ctrl-C sets.
template <class Work>
auto Interruptible(RunOptions& options, Work work) -> decltype(work()) {
    return python::Interruptible([&](std::atomic<bool>* cancel) {
        options.cancel = cancel;
        return work();
    });
}

struct Problem {
    RunState params;
    InputFile file;  // the same values with the lines a parameter file would give them
};

// Builds the parameters and runs the core's own checks on them (the package
// has checked them already, with argument names; this is the safety net).
Problem MakeProblem(const std::vector<double>& musp, const std::vector<double>& mua, const std::vector<double>& n,
                    const std::vector<double>& l, double a, double rho, double rho0, double phi, int M, int MMAX,
                    bool series_table) {
    const std::size_t N = musp.size();
    if (N == 0 || mua.size() != N || n.size() != N || l.size() != N)
        throw py::value_error("layers: need the same number (>= 1) of musp, mua, n and thickness values");
    Problem p;
    RunState& s = p.params;
    s.N = static_cast<int>(N);
    for (std::size_t i = 0; i < N; ++i) {
        s.musp.push_back(ToExtended(musp[i]));
        s.mua.push_back(ToExtended(mua[i]));
        s.n.push_back(ToExtended(n[i]));
        s.l.push_back(ToExtended(l[i]));
    }
    s.a = ToExtended(a);
    s.rho = ToExtended(rho);
    s.rho0 = ToExtended(rho0);
    s.phi = ToExtended(phi);
    s.M = M;
    s.MMAX = MMAX;
    p.file.params = s;
    for (int i = 1; i <= 4 * s.N + 7; ++i) p.file.lines.push_back(i);
    try {
        ValidateInput(p.file, series_table);
    } catch (const InputError& e) {
        throw py::value_error(std::string("invalid parameters (numbered as in a parameter file): ") + e.what());
    }
    return p;
}

RunOptions MakeOptions(const std::string& engine, double tolerance, bool wraparound, int threads, bool all_samples) {
    RunOptions o;
    if (engine == "faithful")
        o.engine = Engine::faithful;
    else if (engine == "fast")
        o.engine = Engine::fast;
    else
        throw py::value_error("engine must be 'faithful' or 'fast', not '" + engine + "'");
    o.tolerance = tolerance;
    o.wraparound = wraparound;
    o.threads = threads;
    o.all_samples = all_samples;
    return o;
}

py::array_t<double> ToArray(const std::vector<double>& v) {
    py::array_t<double> a(static_cast<py::ssize_t>(v.size()));
    std::copy(v.begin(), v.end(), a.mutable_data());
    return a;
}

// "mua2" -> (mua, layer index 1); the package has checked the names.
LayerParameter ParseParameter(const std::string& name, int N) {
    LayerParameter p;
    std::size_t digits = name.find_first_of("0123456789");
    const std::string kind = name.substr(0, digits);
    if (kind == "mua")
        p.kind = LayerParameter::Kind::mua;
    else if (kind == "musp")
        p.kind = LayerParameter::Kind::musp;
    else if (kind == "l")
        p.kind = LayerParameter::Kind::l;
    else
        throw py::value_error("derivatives: no derivative by '" + name + "' (muaI, muspI or lI)");
    p.layer = digits == std::string::npos ? -1 : std::atoi(name.c_str() + digits) - 1;
    if (p.layer < 0 || p.layer >= N) throw py::value_error("derivatives: '" + name + "' names no layer of the model");
    return p;
}

// One tuple (t_ps, reflectance, warnings, jacobian, unheld_error) per
// distance; jacobian (samples x derivatives) is None without derivatives.
py::list Compute(const std::vector<double>& musp, const std::vector<double>& mua, const std::vector<double>& n,
                 const std::vector<double>& l, double a, const std::vector<double>& rhos, double rho0, double phi,
                 int M, int MMAX, const std::string& engine, double tolerance, bool wraparound, int threads,
                 bool all_samples, const std::vector<double>& times_ps,
                 const std::vector<std::string>& derivatives, bool unheld_nan) {
    if (rhos.empty()) throw py::value_error("rho: need at least one distance");
    std::vector<Extended> rho_ext;
    for (double r : rhos) {
        MakeProblem(musp, mua, n, l, a, r, rho0, phi, M, MMAX, engine != "fast");  // every distance before computing
        rho_ext.push_back(ToExtended(r));
    }
    const Problem p = MakeProblem(musp, mua, n, l, a, rhos[0], rho0, phi, M, MMAX, engine != "fast");
    RunOptions options = MakeOptions(engine, tolerance, wraparound, threads, all_samples);
    options.unheld_nan = unheld_nan;
    for (const std::string& name : derivatives) options.derivatives.push_back(ParseParameter(name, p.params.N));
    if (!derivatives.empty() && options.engine != Engine::fast)
        throw py::value_error("derivatives need engine='fast'");
    auto work = [&] {
        return times_ps.empty() ? ComputeRunRhos(p.params, rho_ext, options)
                                : ComputeRunAtTimes(p.params, rho_ext, times_ps, options);
    };
    // A fit asks for curves at its own times thousands of times: with the
    // source on the axis such a curve takes milliseconds at most (well under
    // a second at any tolerance), less than a thread of its own costs to
    // start (tens of microseconds); it runs here, a Ctrl-C raised when it returns.
    const bool brief = !times_ps.empty() && options.engine == Engine::fast && p.params.rho0 == 0 &&
                       times_ps.size() <= 4096;
    std::vector<RunResult> results;
    if (brief) {
        py::gil_scoped_release release;
        results = work();
    } else {
        results = Interruptible(options, work);
    }
    py::list out;
    const auto P = static_cast<py::ssize_t>(derivatives.size());
    for (const RunResult& r : results) {
        py::object jacobian = py::none();
        if (P > 0) {
            py::array_t<double> j({static_cast<py::ssize_t>(r.time_ps.size()), P});
            std::copy(r.jacobian.begin(), r.jacobian.end(), j.mutable_data());
            jacobian = j;
        }
        out.append(py::make_tuple(ToArray(r.time_ps), ToArray(r.reflectance), r.warnings, jacobian, r.unheld_error));
    }
    return out;
}

// Moments of the curve at every distance: a tuple (N, mean_ps, variance_ps2,
// derivatives (P x 3) or None, warnings, orders) per distance.
py::list ComputeMoments(const std::vector<double>& musp, const std::vector<double>& mua, const std::vector<double>& n,
                        const std::vector<double>& l, double a, const std::vector<double>& rhos, double rho0,
                        double phi, int mmax, double tolerance, const std::vector<std::string>& derivatives) {
    if (rhos.empty()) throw py::value_error("rho: need at least one distance");
    for (double r : rhos) MakeProblem(musp, mua, n, l, a, r, rho0, phi, 1, std::max(mmax, 0), false);
    Problem p = MakeProblem(musp, mua, n, l, a, rhos[0], rho0, phi, 1, std::max(mmax, 0), false);
    std::vector<LayerParameter> params;
    for (const std::string& name : derivatives) params.push_back(ParseParameter(name, p.params.N));
    fast::MomentOptions options;
    options.tolerance = tolerance;
    options.mmax = mmax;
    std::vector<fast::Moments> results;
    {
        py::gil_scoped_release release;
        RunState s = p.params;
        DeriveQuantities(s, true);
        results = fast::LayeredMoments(s, rhos, params, options);
    }
    py::list out;
    for (const fast::Moments& m : results) {
        py::object d = py::none();
        if (!params.empty()) {
            py::array_t<double> j({static_cast<py::ssize_t>(params.size()), py::ssize_t{3}});
            for (std::size_t k = 0; k < params.size(); ++k)
                std::copy(m.derivatives[k].begin(), m.derivatives[k].end(), j.mutable_data() + 3 * k);
            d = j;
        }
        out.append(py::make_tuple(m.N, m.mean_ps, m.variance_ps2, d, m.warnings, m.orders));
    }
    return out;
}

py::tuple ComputeFrequencies(const std::vector<double>& musp, const std::vector<double>& mua,
                                                     const std::vector<double>& n, const std::vector<double>& l,
                                                     double a, double rho, double rho0, double phi, int MMAX,
                                                     const std::vector<double>& omega, const std::string& engine,
                                                     double tolerance, int threads) {
    const Problem p = MakeProblem(musp, mua, n, l, a, rho, rho0, phi, 1, MMAX, false);
    RunOptions options = MakeOptions(engine, tolerance, false, threads, false);
    std::vector<std::string> warnings;
    const std::vector<std::complex<double>> values =
        Interruptible(options, [&] { return ComputeFrequencyDomain(p.params, omega, options, &warnings); });
    py::array_t<std::complex<double>> out(static_cast<py::ssize_t>(values.size()));
    std::copy(values.begin(), values.end(), out.mutable_data());
    return py::make_tuple(out, warnings);
}

py::dict ReadInputPy(const std::string& path) {
    InputFile f;
    try {
        f = ReadInputFile(path);
        ValidateInput(f);
    } catch (const InputError& e) {
        throw py::value_error(e.what());
    }
    const RunState& s = f.params;
    auto list = [](const std::vector<Extended>& v) {
        std::vector<double> d;
        for (Extended x : v) d.push_back(static_cast<double>(x));
        return d;
    };
    py::dict d;
    d["musp"] = list(s.musp);
    d["mua"] = list(s.mua);
    d["n"] = list(s.n);
    d["l"] = list(s.l);
    d["radius"] = static_cast<double>(s.a);
    d["rho"] = static_cast<double>(s.rho);
    d["rho0"] = static_cast<double>(s.rho0);
    d["phi"] = static_cast<double>(s.phi);
    d["M"] = s.M;
    d["mmax"] = s.MMAX;
    return d;
}

void WriteResultPy(const std::string& path, const std::vector<double>& t, const std::vector<double>& r) {
    if (t.size() != r.size()) throw py::value_error("t_ps and reflectance must have the same length");
    for (std::size_t i = 0; i < t.size(); ++i)
        if (!std::isfinite(t[i]) || !std::isfinite(r[i]))
            throw py::value_error("sample " + std::to_string(i) + " is not a finite number");
    try {
        WriteResultFileAtomic(path, t, r);
    } catch (const std::runtime_error& e) {
        PyErr_SetString(PyExc_OSError, e.what());  // as for any file Python cannot write
        throw py::error_already_set();
    }
}

}  // namespace
}  // namespace tdcyl

PYBIND11_MODULE(_core, m) {
    using namespace tdcyl;
    m.doc() = "The run core of tdcyl-cli (use the functions of the tdcyl package).";
    py::register_exception<RunError>(m, "RunError", PyExc_RuntimeError);
    // No sample holds the tolerance: a failed run, and a value the caller can change.
    py::register_exception<ToleranceError>(m, "ToleranceError",
                                           py::make_tuple(m.attr("RunError"), py::handle(PyExc_ValueError)));
    py::register_exception<RunCancelled>(m, "RunCancelled", PyExc_RuntimeError);

    m.attr("MAX_LAYERS") = kMaxLayers;
    m.attr("VERSION") = TDCYL_VERSION;

    m.def("compute", &Compute, py::arg("musp"), py::arg("mua"), py::arg("n"), py::arg("l"), py::arg("a"),
          py::arg("rhos"), py::arg("rho0"), py::arg("phi"), py::arg("M"), py::arg("MMAX"), py::arg("engine"),
          py::arg("tolerance"), py::arg("wraparound"), py::arg("threads"), py::arg("all_samples"),
          py::arg("times_ps") = std::vector<double>{}, py::arg("derivatives") = std::vector<std::string>{},
          py::arg("unheld_nan") = false);
    m.def("frequency_domain", &ComputeFrequencies, py::arg("musp"), py::arg("mua"), py::arg("n"), py::arg("l"),
          py::arg("a"), py::arg("rho"), py::arg("rho0"), py::arg("phi"), py::arg("MMAX"), py::arg("omega"),
          py::arg("engine"), py::arg("tolerance"), py::arg("threads"));
    m.def("moments", &ComputeMoments, py::arg("musp"), py::arg("mua"), py::arg("n"), py::arg("l"), py::arg("a"),
          py::arg("rhos"), py::arg("rho0"), py::arg("phi"), py::arg("mmax"), py::arg("tolerance"),
          py::arg("derivatives"));
    m.def("read_input", &ReadInputPy, py::arg("path"));
    m.def("write_result", &WriteResultPy, py::arg("path"), py::arg("t_ps"), py::arg("reflectance"));
    m.def("format_real", [](double x) {
        if (!std::isfinite(x)) throw py::value_error("not a finite number");
        return FormatReal(x);
    });
    BindMonteCarlo(m);
}
