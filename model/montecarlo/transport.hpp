#pragma once
// Transport of one photon through the layered cylinder (white Monte Carlo:
// scattering only moves the photon; absorption is the factor exp(-sum mua_i
// L_i) of its path lengths L_i, applied when it is tallied).
#include <cstdint>
#include <vector>

#include "model/montecarlo/mc_setup.hpp"
#include "numerics/philox.hpp"

namespace tdcyl::mc {

// Per-layer constants of the transport, derived once per run.
struct LayerOptics {
    double mus = 0;       // scattering coefficient musp / (1 - g)
    double mua = 0;
    double n = 1;
    double g = 0;
    double speed = 0;     // mm/ps in the layer
    double z_top = 0, z_bottom = 0;
};

// One photon (or one copy of it) on its way.
struct PhotonState {
    PhiloxStream rng;
    double x = 0, y = 0, z = 0;
    double ux = 0, uy = 0, uz = 1;
    int layer = 0;
    double t = 0;
    double tau = 0;            // optical depth to the next scattering
    double absorbance = 0;     // sum of mua_i L_i so far
    double weight = 1;         // specular loss, roulette and splitting factors
    double settled = 0;        // absorbance up to which absorption is tallied
    double roulette_at = 0;    // absorbance beyond which the weight is below the roulette threshold
    int level = 0;             // splitting level the weight is scaled to
    bool deflect_first = false;  // a copy made at a scattering event, before its own deflection
    std::vector<double> path{};  // path length per layer
};

class PhotonTransport {
public:
    explicit PhotonTransport(const McSetup& setup);

    // Follows photon `index` to its end; adds its weights to `tallies` and
    // its detector hits to `out` (records in the order of the hits).
    void Run(std::uint64_t index, BlockTallies& tallies, McResult& out);

private:
    using State = PhotonState;
    void Follow(State& s, BlockTallies& tallies, McResult& out);
    void Launch(State& s, BlockTallies& tallies) const;
    void Scatter(State& s) const;
    bool Deflect(State& s, BlockTallies& tallies) const;
    bool Split(State& s, BlockTallies& tallies);
    void Rearm(State& s) const;
    bool CrossFace(State& s, bool down, BlockTallies& tallies, McResult& out) const;
    bool HitRim(State& s, BlockTallies& tallies) const;
    void Detect(const State& s, McResult& out) const;
    void Settle(State& s, BlockTallies& tallies, int where) const;

    const McSetup& setup_;
    std::vector<LayerOptics> layers_;
    double depth_ = 0;  // total thickness
    // The current photon: its index, the copies made of it so far (each draws
    // from sub-stream 1, 2, ... of the photon's stream), and the copies
    // waiting to be followed.
    std::uint64_t index_ = 0;
    std::uint32_t copies_ = 0;
    std::vector<State> pending_;
};

// Fresnel reflectance of unpolarised light from index n1 to n2 at incidence
// cosine cos_i (> 0); cos_t receives the cosine of the refracted ray (0 under
// total internal reflection, where the reflectance is 1).
double FresnelReflectance(double n1, double n2, double cos_i, double& cos_t);

}  // namespace tdcyl::mc
