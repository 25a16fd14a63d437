// Monte Carlo engine: its generator against the published known answers, its
// Fresnel law against the diffusion model's Reff, a slab against the
// adding-doubling reference, energy conservation and thread independence.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>

#include "model/fresnel.hpp"
#include "model/montecarlo/monte_carlo.hpp"
#include "model/montecarlo/transport.hpp"
#include "numerics/philox.hpp"

namespace tdcyl::mc {
namespace {

// Known-answer vectors of Philox4x32-10 (Random123's kat_vectors, the
// reference of Salmon et al. 2011): counter, key, output.
TEST(Philox, KnownAnswers) {
    EXPECT_EQ(Philox4x32({0, 0, 0, 0}, {0, 0}), (PhiloxCounter{0x6627e8d5, 0xe169c58d, 0xbc57ac4c, 0x9b00dbd8}));
    EXPECT_EQ(Philox4x32({~0u, ~0u, ~0u, ~0u}, {~0u, ~0u}),
              (PhiloxCounter{0x408f276d, 0x41c83b0e, 0xa20bc7c6, 0x6d5451fd}));
    EXPECT_EQ(Philox4x32({0x243f6a88, 0x85a308d3, 0x13198a2e, 0x03707344}, {0xa4093822, 0x299f31d0}),
              (PhiloxCounter{0xd16cfe09, 0x94fdcceb, 0x5001e420, 0x24126ea1}));
}

// The hemispheric moments of the Fresnel law give the effective reflection
// coefficient the diffusion model computes by its own quadrature.
TEST(MonteCarloFresnel, MomentsGiveTheModelsReff) {
    for (double n : {1.33, 1.4, 1.5}) {
        double r_phi = 0, r_j = 0;
        const int steps = 200000;
        for (int i = 0; i < steps; ++i) {
            const double theta = (i + 0.5) * (std::numbers::pi / 2) / steps;
            double cos_t = 0;
            const double r = FresnelReflectance(n, 1.0, std::cos(theta), cos_t);
            r_phi += 2 * r * std::cos(theta) * std::sin(theta) * (std::numbers::pi / 2) / steps;
            r_j += 3 * r * std::cos(theta) * std::cos(theta) * std::sin(theta) * (std::numbers::pi / 2) / steps;
        }
        EXPECT_NEAR((r_phi + r_j) / (2 - r_phi + r_j), ReffAdaptive(n), 1e-6) << "n = " << n;
    }
}

McSetup Slab(double musp, double mua, double n, double thickness, double g, std::uint64_t photons) {
    McSetup s;
    s.layers = {{musp, mua, n, thickness, g}};
    s.radius = 1e4;  // no rim
    s.t_max_ps = 1e5;
    s.photons = photons;
    s.threads = 2;
    return s;
}

BlockTallies Sum(const McResult& r) {
    BlockTallies t{};
    for (const BlockTallies& b : r.blocks)
        for (int i = 0; i < kTallyCount; ++i) t[i] += b[i];
    return t;
}

// Total diffuse reflectance and transmittance of an index-matched slab,
// mu_a = 1/mm, mu_s = 9/mm, g = 0.75, 0.2 mm (optical thickness 2), normal
// incidence: Rd = 0.09739, Tt = 0.66096 (van de Hulst's tables, as listed by
// Wang, Jacques and Zheng, Comput. Methods Programs Biomed. 47, 131 (1995)).
TEST(MonteCarloReference, MatchedSlabOfOpticalThicknessTwo) {
    const std::uint64_t n = 200000;
    const BlockTallies t = Sum(RunMonteCarlo(Slab(2.25, 1.0, 1.0, 0.2, 0.75, n)));
    const auto sigma = [n](double p) { return std::sqrt(p * (1 - p) / static_cast<double>(n)); };
    EXPECT_NEAR(t[kReflected] / n, 0.09739, 4 * sigma(0.09739));
    EXPECT_NEAR(t[kTransmitted] / n, 0.66096, 4 * sigma(0.66096));
}

// Three layers of different index in a narrow cylinder with a Fresnel rim and
// a time cut: every launched photon's weight is accounted for, roulette
// neither makes nor loses weight on average, and the records and sums are
// the same bits on one and on two threads.
// With and without radial splitting (copies on sub-streams, roulette inwards).
TEST(MonteCarloConservation, WeightAccountedForAndThreadsIrrelevant) {
    for (const double split_mm : {0.0, 2.0}) {
        SCOPED_TRACE(split_mm);
        McSetup s;
        s.layers = {{1.5, 0.05, 1.5, 2.0, 0.8}, {0.3, 0.01, 1.33, 3.0, 0.0}, {1.0, 0.02, 1.4, 10.0, 0.9}};
        s.radius = 8;
        s.rho0 = 2;
        s.t_max_ps = 300;
        s.detectors = {{true, 0, 0, 4, 6}, {false, 2, 5, 0, 1.5}};
        s.photons = 3 * kBlockPhotons + 100;
        s.roulette_weight = 0.05;  // plays often
        s.split_mm = split_mm;
        s.split_levels = 3;
        s.threads = 1;
        const McResult one = RunMonteCarlo(s);
        s.threads = 2;
        const McResult two = RunMonteCarlo(s);
        EXPECT_EQ(one.t_ps, two.t_ps);
        EXPECT_EQ(one.paths, two.paths);
        EXPECT_EQ(one.weight, two.weight);
        ASSERT_EQ(one.blocks.size(), two.blocks.size());
        for (std::size_t b = 0; b < one.blocks.size(); ++b) EXPECT_EQ(one.blocks[b], two.blocks[b]);

        const BlockTallies t = Sum(one);
        const double n = static_cast<double>(s.photons);
        double out = 0;
        for (int i = kSpecular; i <= kRoulette; ++i) out += t[i];
        EXPECT_NEAR(out / n, 1.0, 1e-12);
        EXPECT_GT(t[kRim], 0.0);
        EXPECT_GT(t[kTimedOut], 0.0);
        if (split_mm > 0) {  // copies were made and detected
            EXPECT_NE(std::adjacent_find(one.photon.begin(), one.photon.end()), one.photon.end());
        }
        // Roulette's net weight is a sum of photons' +w or -9w: its spread is about 3 w_roulette sqrt(n).
        if (split_mm == 0) {
            EXPECT_LT(std::abs(t[kRoulette]), 4 * 3 * s.roulette_weight * std::sqrt(n));
        }
        // A photon's path lengths add up to its time of flight.
        for (std::size_t k = 0; k < one.t_ps.size(); ++k) {
            double t_ps = 0;
            for (std::size_t i = 0; i < 3; ++i) t_ps += one.paths[k * 3 + i] * s.layers[i].n / kLightSpeedMmPerPs;
            EXPECT_NEAR(t_ps, one.t_ps[k], 1e-9 * one.t_ps[k]);
        }
    }
}

}  // namespace
}  // namespace tdcyl::mc
