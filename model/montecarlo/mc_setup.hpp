#pragma once
// A Monte Carlo run of the layered cylinder: its parameters and its result.
// Units as in the diffusion model: mm, 1/mm, ps.
#include <array>
#include <cstdint>
#include <vector>

namespace tdcyl::mc {

inline constexpr double kLightSpeedMmPerPs = 0.299792458;

struct McLayer {
    double musp = 0, mua = 0, n = 1, thickness = 0;
    double g = 0.9;  // anisotropy of Henyey-Greenstein scattering; mu_s = musp / (1 - g)
};

// pencil: a normally incident beam entering the top face at (rho0, 0) at
// t = 0 (its specular reflection leaves at once); isotropic: the diffusion
// model's source, a point at depth 1 / (mua1 + musp1) below (rho0, 0)
// emitting in all directions.
enum class McSource { pencil, isotropic };

// fresnel: the rim is an interface to the outside index like the top and
// bottom faces (the diffusion model's extrapolated rim stands for it);
// absorbing: every photon reaching the rim leaves.
enum class McRim { fresnel, absorbing };

// A detector on the top face: a ring about the axis (r_inner <= r < r_outer)
// or a disk of radius r_outer about (x, y).
struct McDetector {
    bool ring = true;
    double x = 0, y = 0;
    double r_inner = 0, r_outer = 0;
};

struct McSetup {
    std::vector<McLayer> layers;  // top first
    double radius = 0;
    double rho0 = 0;
    double n_outside = 1.0;
    McSource source = McSource::pencil;
    McRim rim = McRim::fresnel;
    std::vector<McDetector> detectors;
    double t_max_ps = 0;  // photons are followed up to this time only
    std::uint64_t seed = 0;
    std::uint64_t first_photon = 0;  // photon indices first_photon ... + photons - 1
    std::uint64_t photons = 0;
    int threads = 1;
    // Russian roulette below this weight r exp(-sum mua_i L_i) of the run's mua:
    // one photon in kRouletteChance goes on with its weight multiplied by it.
    double roulette_weight = 1e-4;
    // Radial splitting (a weight window on the distance r from the source):
    // a photon's importance is 2^min(floor(r / split_mm), split_levels); one
    // that moves up a level goes on as 2^k copies of 1/2^k its weight, one
    // that moves down goes on with probability 2^-k and 2^k its weight. Far
    // detectors then see many more photons per launched one; unbiased.
    // split_mm = 0: off.
    double split_mm = 0;
    int split_levels = 0;
};

// Photons are handed out in blocks of kBlockPhotons consecutive indices; a
// block's sums are the unit of merging, so runs split at block boundaries
// (threads, Dask tasks) add up to the same numbers.
inline constexpr std::uint64_t kBlockPhotons = 4096;
inline constexpr int kRouletteChance = 10;
inline constexpr int kMaxSplitLevels = 24;

// Where the launched weight went, summed over one block (at the run's mua).
enum Tally : int {
    kSpecular,     // reflected at the entry of a pencil beam
    kReflected,    // left through the top face (anywhere)
    kTransmitted,  // left through the bottom face
    kRim,          // left through the rim
    kAbsorbed,     // absorbed inside
    kTimedOut,     // still inside at t_max_ps
    kRoulette,     // lost by roulette minus gained by it (zero on average)
    kEvents,       // scattering events (a count, not a weight)
    kTallyCount
};
using BlockTallies = std::array<double, kTallyCount>;

// The detected photons, one entry per (photon, detector) hit, in photon order:
// the photon's index, detector, time of exit, weight factor (specular loss
// and roulette; absorption excluded) and path length in each layer.
struct McResult {
    std::vector<std::uint64_t> photon;
    std::vector<std::uint32_t> detector;
    std::vector<double> t_ps;
    std::vector<double> weight;
    std::vector<double> paths;  // row-major, records x layers
    std::vector<BlockTallies> blocks;
};

}  // namespace tdcyl::mc
