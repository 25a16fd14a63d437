#include "model/montecarlo/monte_carlo.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>
#include <thread>

#include "model/montecarlo/transport.hpp"

namespace tdcyl::mc {

namespace {

void Require(bool ok, const std::string& what) {
    if (!ok) throw std::invalid_argument(what);
}

bool Finite(double x) { return std::isfinite(x); }

}  // namespace

void CheckSetup(const McSetup& s) {
    Require(!s.layers.empty(), "at least one layer is needed");
    double depth = 0;
    for (std::size_t i = 0; i < s.layers.size(); ++i) {
        const McLayer& l = s.layers[i];
        const std::string at = "layers[" + std::to_string(i) + "].";
        Require(Finite(l.musp) && l.musp > 0, at + "musp must be > 0 1/mm");
        Require(Finite(l.mua) && l.mua >= 0, at + "mua must be >= 0 1/mm");
        Require(Finite(l.n) && l.n > 0, at + "n must be > 0");
        Require(Finite(l.thickness) && l.thickness > 0, at + "thickness must be > 0 mm");
        Require(Finite(l.g) && l.g > -1 && l.g < 1, at + "g must lie in (-1, 1)");
        depth += l.thickness;
    }
    Require(Finite(s.radius) && s.radius > 0, "radius must be > 0 mm");
    Require(Finite(s.rho0) && s.rho0 >= 0 && s.rho0 < s.radius, "rho0 must lie in [0, radius) mm");
    Require(Finite(s.n_outside) && s.n_outside > 0, "the outside index must be > 0");
    Require(Finite(s.t_max_ps) && s.t_max_ps > 0, "the last time must be > 0 ps");
    Require(Finite(s.roulette_weight) && s.roulette_weight > 0 && s.roulette_weight < 1,
            "the roulette weight must lie in (0, 1)");
    Require(s.threads >= 1, "threads must be >= 1");
    Require(Finite(s.split_mm) && s.split_mm >= 0, "the splitting distance must be >= 0 mm");
    Require(s.split_levels >= 0 && s.split_levels <= kMaxSplitLevels,
            "the splitting levels must lie in 0 ... " + std::to_string(kMaxSplitLevels));
    if (s.source == McSource::isotropic)
        Require(1.0 / (s.layers[0].mua + s.layers[0].musp) < depth, "the source depth 1/(mua1 + musp1) lies below the cylinder");
    for (const McDetector& d : s.detectors)
        Require(Finite(d.x) && Finite(d.y) && Finite(d.r_inner) && Finite(d.r_outer) && d.r_inner >= 0 &&
                    d.r_outer > d.r_inner,
                "a detector needs 0 <= inner radius < outer radius");
}

McResult RunMonteCarlo(const McSetup& setup, const std::atomic<bool>* cancel, bool* cancelled) {
    CheckSetup(setup);
    const std::uint64_t begin = setup.first_photon, end = setup.first_photon + setup.photons;
    Require(end >= begin, "too many photons");
    // Blocks at absolute multiples of kBlockPhotons: the same blocks whatever the split.
    const std::uint64_t first_block = begin / kBlockPhotons;
    const std::uint64_t blocks = setup.photons == 0 ? 0 : (end - 1) / kBlockPhotons - first_block + 1;
    std::vector<McResult> parts(blocks);
    std::atomic<std::uint64_t> next{0};
    std::atomic<bool> stopped{false};
    auto worker = [&] {
        PhotonTransport transport(setup);
        for (std::uint64_t b; (b = next.fetch_add(1)) < blocks;) {
            if (cancel != nullptr && cancel->load()) {
                stopped.store(true);
                return;
            }
            McResult& part = parts[b];
            part.blocks.assign(1, BlockTallies{});
            const std::uint64_t lo = std::max(begin, (first_block + b) * kBlockPhotons);
            const std::uint64_t hi = std::min(end, (first_block + b + 1) * kBlockPhotons);
            for (std::uint64_t i = lo; i < hi; ++i) transport.Run(i, part.blocks[0], part);
        }
    };
    const auto threads = static_cast<std::uint64_t>(setup.threads);
    std::vector<std::thread> pool;
    for (std::uint64_t i = 1; i < std::min(threads, blocks); ++i) pool.emplace_back(worker);
    worker();
    for (std::thread& t : pool) t.join();
    if (cancelled != nullptr) *cancelled = stopped.load();

    McResult out;
    for (McResult& p : parts) {
        if (p.blocks.empty()) continue;  // not run (cancelled)
        out.photon.insert(out.photon.end(), p.photon.begin(), p.photon.end());
        out.detector.insert(out.detector.end(), p.detector.begin(), p.detector.end());
        out.t_ps.insert(out.t_ps.end(), p.t_ps.begin(), p.t_ps.end());
        out.weight.insert(out.weight.end(), p.weight.begin(), p.weight.end());
        out.paths.insert(out.paths.end(), p.paths.begin(), p.paths.end());
        out.blocks.push_back(p.blocks[0]);
        p = McResult{};
    }
    return out;
}

}  // namespace tdcyl::mc
