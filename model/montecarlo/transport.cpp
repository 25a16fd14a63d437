#include "model/montecarlo/transport.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>

#include "numerics/philox.hpp"

namespace tdcyl::mc {

namespace {
constexpr double kInfinity = std::numeric_limits<double>::infinity();
}

double FresnelReflectance(double n1, double n2, double cos_i, double& cos_t) {
    if (n1 == n2) {
        cos_t = cos_i;
        return 0.0;
    }
    const double ratio = n1 / n2;
    const double sin_t2 = ratio * ratio * (1.0 - cos_i * cos_i);
    if (sin_t2 >= 1.0) {
        cos_t = 0.0;
        return 1.0;
    }
    cos_t = std::sqrt(1.0 - sin_t2);
    const double rs = (n1 * cos_i - n2 * cos_t) / (n1 * cos_i + n2 * cos_t);
    const double rp = (n1 * cos_t - n2 * cos_i) / (n1 * cos_t + n2 * cos_i);
    return 0.5 * (rs * rs + rp * rp);
}

PhotonTransport::PhotonTransport(const McSetup& setup) : setup_(setup) {
    double z = 0;
    for (const McLayer& l : setup.layers) {
        LayerOptics o;
        o.mus = l.musp / (1.0 - l.g);
        o.mua = l.mua;
        o.n = l.n;
        o.g = l.g;
        o.speed = kLightSpeedMmPerPs / l.n;
        o.z_top = z;
        z += l.thickness;
        o.z_bottom = z;
        layers_.push_back(o);
    }
    depth_ = z;
}

void PhotonTransport::Launch(State& s, BlockTallies& tallies) const {
    s.x = setup_.rho0;
    if (setup_.source == McSource::pencil) {
        double cos_t = 0;
        const double specular = FresnelReflectance(setup_.n_outside, layers_[0].n, 1.0, cos_t);
        tallies[kSpecular] += specular;
        s.weight = 1.0 - specular;
        return;
    }
    const McLayer& top = setup_.layers[0];
    s.z = 1.0 / (top.mua + top.musp);
    while (s.z >= layers_[static_cast<std::size_t>(s.layer)].z_bottom) ++s.layer;
    s.uz = 2.0 * s.rng.Uniform() - 1.0;
    const double phi = 2.0 * std::numbers::pi * s.rng.Uniform();
    const double sin_t = std::sqrt(std::max(0.0, 1.0 - s.uz * s.uz));
    s.ux = sin_t * std::cos(phi);
    s.uy = sin_t * std::sin(phi);
}

// Henyey-Greenstein deflection, then the new direction in the frame of the old one.
void PhotonTransport::Scatter(State& s) const {
    const double g = layers_[static_cast<std::size_t>(s.layer)].g;
    const double u = s.rng.Uniform();
    double cos_t;
    if (g != 0.0) {
        const double f = (1.0 - g * g) / (1.0 - g + 2.0 * g * u);
        cos_t = std::clamp((1.0 + g * g - f * f) / (2.0 * g), -1.0, 1.0);
    } else {
        cos_t = 2.0 * u - 1.0;
    }
    const double sin_t = std::sqrt(1.0 - cos_t * cos_t);
    const double psi = 2.0 * std::numbers::pi * s.rng.Uniform();
    const double cos_p = std::cos(psi), sin_p = std::sin(psi);
    if (std::abs(s.uz) > 1.0 - 1e-12) {
        s.ux = sin_t * cos_p;
        s.uy = sin_t * sin_p;
        s.uz = s.uz > 0 ? cos_t : -cos_t;
        return;
    }
    const double r = std::sqrt(1.0 - s.uz * s.uz);
    const double ux = sin_t * (s.ux * s.uz * cos_p - s.uy * sin_p) / r + s.ux * cos_t;
    const double uy = sin_t * (s.uy * s.uz * cos_p + s.ux * sin_p) / r + s.uy * cos_t;
    s.uz = -sin_t * cos_p * r + s.uz * cos_t;
    s.ux = ux;
    s.uy = uy;
}

// Tallies the absorption since the last settlement and, for a photon that
// ends (where >= 0), its remaining weight under `where`.
void PhotonTransport::Settle(State& s, BlockTallies& tallies, int where) const {
    const double now = s.weight * std::exp(-s.absorbance);
    tallies[kAbsorbed] += s.weight * std::exp(-s.settled) - now;
    s.settled = s.absorbance;
    if (where >= 0) tallies[static_cast<std::size_t>(where)] += now;
}

void PhotonTransport::Detect(const State& s, McResult& out) const {
    const double r2 = s.x * s.x + s.y * s.y;
    for (std::size_t k = 0; k < setup_.detectors.size(); ++k) {
        const McDetector& d = setup_.detectors[k];
        bool hit;
        if (d.ring) {
            hit = r2 >= d.r_inner * d.r_inner && r2 < d.r_outer * d.r_outer;
        } else {
            const double dx = s.x - d.x, dy = s.y - d.y;
            hit = dx * dx + dy * dy < d.r_outer * d.r_outer;
        }
        if (!hit) continue;
        out.detector.push_back(static_cast<std::uint32_t>(k));
        out.t_ps.push_back(s.t);
        out.weight.push_back(s.weight);
        out.paths.insert(out.paths.end(), s.path.begin(), s.path.end());
    }
}

// At the top (down = false) or bottom face of the current layer: Fresnel
// reflection, or refraction into the next layer, or exit. True when the photon left.
bool PhotonTransport::CrossFace(State& s, bool down, BlockTallies& tallies, McResult& out) const {
    const int next = s.layer + (down ? 1 : -1);
    const bool outside = next < 0 || next >= static_cast<int>(layers_.size());
    const double n1 = layers_[static_cast<std::size_t>(s.layer)].n;
    const double n2 = outside ? setup_.n_outside : layers_[static_cast<std::size_t>(next)].n;
    double cos_t = 0;
    const double reflectance = FresnelReflectance(n1, n2, std::abs(s.uz), cos_t);
    if (reflectance > 0.0 && s.rng.Uniform() < reflectance) {
        s.uz = -s.uz;
        return false;
    }
    if (outside) {
        if (!down) Detect(s, out);
        Settle(s, tallies, down ? kTransmitted : kReflected);
        return true;
    }
    const double ratio = n1 / n2;
    s.ux *= ratio;
    s.uy *= ratio;
    s.uz = std::copysign(cos_t, s.uz);
    s.layer = next;
    return false;
}

// At the rim: reflection about the radial normal, or exit. True when the photon left.
bool PhotonTransport::HitRim(State& s, BlockTallies& tallies) const {
    const double nx = s.x / setup_.radius, ny = s.y / setup_.radius;
    const double cos_i = s.ux * nx + s.uy * ny;
    if (cos_i <= 0.0) return false;  // on the rim by rounding, already heading inwards
    double reflectance = 0.0;
    if (setup_.rim == McRim::fresnel) {
        double cos_t = 0;
        reflectance = FresnelReflectance(layers_[static_cast<std::size_t>(s.layer)].n, setup_.n_outside,
                                         std::abs(cos_i), cos_t);
    }
    if (!(reflectance > 0.0 && s.rng.Uniform() < reflectance)) {
        Settle(s, tallies, kRim);
        return true;
    }
    s.ux -= 2.0 * cos_i * nx;
    s.uy -= 2.0 * cos_i * ny;
    return false;
}

namespace {
// Distance along (ux, uy) from (x, y) inside the circle of radius a to the circle.
double RimDistance(double x, double y, double ux, double uy, double a) {
    const double a2 = ux * ux + uy * uy;
    if (a2 < 1e-300) return kInfinity;
    const double b = x * ux + y * uy;
    const double c = x * x + y * y - a * a;
    const double root = std::sqrt(std::max(0.0, b * b - a2 * c));
    return b > 0.0 ? std::max(0.0, -c / (b + root)) : (root - b) / a2;
}
}  // namespace

void PhotonTransport::Rearm(State& s) const {
    s.roulette_at = std::log(std::ldexp(s.weight, s.level) / setup_.roulette_weight);
}

// After a scattering event: the new direction and free path, then Russian
// roulette once the weight (at the run's mua) falls below the threshold.
// True when the photon ended.
bool PhotonTransport::Deflect(State& s, BlockTallies& tallies) const {
    Scatter(s);
    s.tau = -std::log(s.rng.Uniform());
    if (s.absorbance <= s.roulette_at) return false;
    Settle(s, tallies, -1);
    const double w = s.weight * std::exp(-s.absorbance);
    if (s.rng.Uniform() * kRouletteChance < 1.0) {
        s.weight *= kRouletteChance;
        Rearm(s);
        tallies[kRoulette] -= w * (kRouletteChance - 1);
        return false;
    }
    tallies[kRoulette] += w;
    return true;
}

// The weight window at a scattering event: copies (left in pending_, each on
// its own sub-stream) when the photon moved up in importance, roulette when
// it moved down. True when the photon ended.
bool PhotonTransport::Split(State& s, BlockTallies& tallies) {
    const double dx = s.x - setup_.rho0;
    const double r = std::sqrt(dx * dx + s.y * s.y) / setup_.split_mm;
    const int level = r >= setup_.split_levels ? setup_.split_levels : static_cast<int>(r);
    if (level == s.level) return false;
    Settle(s, tallies, -1);
    if (level > s.level) {
        const int copies = 1 << (level - s.level);
        s.weight /= copies;
        s.level = level;
        Rearm(s);
        for (int k = 1; k < copies; ++k) {
            pending_.push_back(s);
            pending_.back().rng = PhiloxStream(setup_.seed, index_, ++copies_);
            pending_.back().deflect_first = true;
        }
        return false;
    }
    const double keep = std::ldexp(1.0, level - s.level);
    const double w = s.weight * std::exp(-s.absorbance);
    s.level = level;
    if (s.rng.Uniform() < keep) {
        s.weight /= keep;
        Rearm(s);
        tallies[kRoulette] -= w * (1.0 / keep - 1.0);
        return false;
    }
    tallies[kRoulette] += w;
    return true;
}

void PhotonTransport::Run(std::uint64_t index, BlockTallies& tallies, McResult& out) {
    index_ = index;
    copies_ = 0;
    pending_.clear();
    State s{.rng = PhiloxStream(setup_.seed, index)};
    s.path.assign(layers_.size(), 0.0);
    Launch(s, tallies);
    Rearm(s);
    s.tau = -std::log(s.rng.Uniform());
    Follow(s, tallies, out);
    while (!pending_.empty()) {
        State copy = std::move(pending_.back());
        pending_.pop_back();
        Follow(copy, tallies, out);
    }
    out.photon.resize(out.detector.size(), index);
}

// Follows one photon (or copy) until it leaves, is absorbed by roulette or
// runs out of time.
void PhotonTransport::Follow(State& s, BlockTallies& tallies, McResult& out) {
    if (s.deflect_first && Deflect(s, tallies)) return;
    for (;;) {
        const LayerOptics& l = layers_[static_cast<std::size_t>(s.layer)];
        enum { kScatter, kFace, kRimHit, kTime } what = kScatter;
        double d = s.tau / l.mus;
        const double dz = s.uz > 0 ? (l.z_bottom - s.z) / s.uz : s.uz < 0 ? (l.z_top - s.z) / s.uz : kInfinity;
        if (dz < d) d = dz, what = kFace;
        const double dr = RimDistance(s.x, s.y, s.ux, s.uy, setup_.radius);
        if (dr < d) d = dr, what = kRimHit;
        const double dt = (setup_.t_max_ps - s.t) * l.speed;
        if (dt < d) d = dt, what = kTime;
        s.x += s.ux * d;
        s.y += s.uy * d;
        s.z += s.uz * d;
        s.path[static_cast<std::size_t>(s.layer)] += d;
        s.absorbance += l.mua * d;
        s.t += d / l.speed;
        bool ended = false;
        if (what == kScatter) {
            tallies[kEvents] += 1.0;
            ended = (setup_.split_mm > 0.0 && Split(s, tallies)) || Deflect(s, tallies);
        } else if (what == kFace) {
            s.tau -= d * l.mus;
            s.z = s.uz > 0 ? l.z_bottom : l.z_top;
            ended = CrossFace(s, s.uz > 0, tallies, out);
        } else if (what == kRimHit) {
            s.tau -= d * l.mus;
            ended = HitRim(s, tallies);
        } else {
            Settle(s, tallies, kTimedOut);
            ended = true;
        }
        if (ended) return;
    }
}

}  // namespace tdcyl::mc
