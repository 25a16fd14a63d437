#pragma once
// Transport of one photon through the layered cylinder (white Monte Carlo:
// scattering only moves the photon; absorption is the factor exp(-sum mua_i
// L_i) of its path lengths L_i, applied when it is tallied).
#include <cstdint>
#include <vector>

#include "model/montecarlo/mc_setup.hpp"

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

class PhotonTransport {
public:
    explicit PhotonTransport(const McSetup& setup);

    // Follows photon `index` to its end; adds its weights to `tallies` and
    // its detector hits to `out` (records in the order of the hits).
    void Run(std::uint64_t index, BlockTallies& tallies, McResult& out);

private:
    struct State;
    void Launch(State& s, BlockTallies& tallies) const;
    void Scatter(State& s) const;
    bool CrossFace(State& s, bool down, BlockTallies& tallies, McResult& out) const;
    bool HitRim(State& s, BlockTallies& tallies) const;
    void Detect(const State& s, McResult& out) const;
    void Settle(State& s, BlockTallies& tallies, int where) const;

    const McSetup& setup_;
    std::vector<LayerOptics> layers_;
    double depth_ = 0;  // total thickness
    std::vector<double> path_;  // path length per layer of the current photon
};

// Fresnel reflectance of unpolarised light from index n1 to n2 at incidence
// cosine cos_i (> 0); cos_t receives the cosine of the refracted ray (0 under
// total internal reflection, where the reflectance is 1).
double FresnelReflectance(double n1, double n2, double cos_i, double& cos_t);

}  // namespace tdcyl::mc
