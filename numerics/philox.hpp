#pragma once
// Philox4x32-10, the counter-based generator of Salmon, Moraes, Dror and Shaw,
// "Parallel random numbers: as easy as 1, 2, 3" (SC'11): a keyed bijection of
// a 128-bit counter, ten rounds of two 32x32->64-bit products whose high and
// low halves are mixed by xor with the other words and the round key (the key
// bumped by the Weyl constants between rounds). Any counter is computed
// without its predecessors, so a stream can be split among threads or
// machines and still give the same numbers. Boost 1.74 (Debian 12) has no
// Philox, hence this header.
#include <array>
#include <cstdint>

namespace tdcyl {

using PhiloxCounter = std::array<std::uint32_t, 4>;
using PhiloxKey = std::array<std::uint32_t, 2>;

inline PhiloxCounter Philox4x32(PhiloxCounter ctr, PhiloxKey key) {
    constexpr std::uint64_t kM0 = 0xD2511F53u, kM1 = 0xCD9E8D57u;
    constexpr std::uint32_t kW0 = 0x9E3779B9u, kW1 = 0xBB67AE85u;
    for (int round = 0; round < 10; ++round) {
        if (round > 0) {
            key[0] += kW0;
            key[1] += kW1;
        }
        const std::uint64_t p0 = kM0 * ctr[0];
        const std::uint64_t p1 = kM1 * ctr[2];
        ctr = {static_cast<std::uint32_t>(p1 >> 32) ^ ctr[1] ^ key[0], static_cast<std::uint32_t>(p1),
               static_cast<std::uint32_t>(p0 >> 32) ^ ctr[3] ^ key[1], static_cast<std::uint32_t>(p0)};
    }
    return ctr;
}

// The uniform numbers of one stream (a 64-bit stream id, e.g. a photon's
// index, and a 32-bit sub-stream, e.g. a copy of that photon, under a 64-bit
// seed): counter (draw, sub, id_lo, id_hi), four numbers per evaluation.
// Values lie in (0, 1), never 0 or 1 (safe for log).
class PhiloxStream {
public:
    PhiloxStream(std::uint64_t seed, std::uint64_t id, std::uint32_t sub = 0)
        : key_{static_cast<std::uint32_t>(seed), static_cast<std::uint32_t>(seed >> 32)},
          sub_(sub), id_lo_(static_cast<std::uint32_t>(id)), id_hi_(static_cast<std::uint32_t>(id >> 32)) {}

    double Uniform() {
        if (next_ == 4) {
            block_ = Philox4x32({draw_++, sub_, id_lo_, id_hi_}, key_);
            next_ = 0;
        }
        return (static_cast<double>(block_[next_++]) + 0.5) * 0x1p-32;
    }

private:
    PhiloxKey key_;
    std::uint32_t sub_, id_lo_, id_hi_;
    std::uint32_t draw_ = 0;
    PhiloxCounter block_{};
    int next_ = 4;
};

}  // namespace tdcyl
