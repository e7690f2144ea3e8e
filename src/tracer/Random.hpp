// Per-ray random numbers for rough interfaces.
//
// We use our own counter-based generator instead of cuRAND: cuRAND exists only
// on the GPU, and the CPU (OpenMP) backend would need a second generator with a
// different stream, so the same trace would scatter differently on the two
// backends. This generator is plain 64-bit integer arithmetic and gives
// bit-identical numbers on CPU and GPU.
//
// A ray carries only its 64-bit seed between interactions, never a generator
// state. Each rough interaction builds a fresh generator from (seed, ray index),
// draws what it needs and draws the ray's next seed from the same stream. The
// generator is therefore cheap to create: a SplitMix64 stream, i.e. a Weyl
// counter advanced by the golden gamma and passed through the SplitMix64
// finaliser on every draw. The start of the counter is the finaliser of
// (finalised seed) XOR (ray index): for a fixed seed distinct rays get distinct,
// unrelated streams. The seed is finalised before the index joins it because a
// ray's starting seed is itself the finaliser of (index + gamma): combining the
// raw seed with a finalised index the same way would cancel to 0 for every
// fresh ray, so all rays would draw the same numbers on their first rough face.
#pragma once

#include "device/Device.hpp"

#include <cstdint>

struct RayRandom {
    static constexpr std::uint64_t kGamma = 0x9E3779B97F4A7C15ULL;

    std::uint64_t counter;

    // SplitMix64 finaliser (a bijection on 64-bit values).
    LVX_HD static std::uint64_t mix64(std::uint64_t z) {
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }

    // Stream `subsequence` (the ray index) of the generator keyed by `seed`.
    // For a fixed seed, distinct subsequences give distinct counters (XOR with
    // the index and the finaliser are both bijections).
    LVX_HD RayRandom(std::uint64_t seed, std::uint64_t subsequence)
        : counter(mix64(mix64(seed) ^ subsequence)) {}

    LVX_HD std::uint64_t next64() {
        counter += kGamma;
        return mix64(counter);
    }

    // Raw 32-bit output: the high half of one 64-bit draw (the better-mixed one).
    LVX_HD std::uint32_t next32() { return static_cast<std::uint32_t>(next64() >> 32); }

    // Uniform in (0, 1], single precision: k / 2^24 for k = 1 .. 2^24, each
    // exactly representable, so 0 never occurs and 1 does.
    LVX_HD float uniform() {
        const std::uint32_t k = (next32() >> 8) + 1u;
        return static_cast<float>(k) * (1.0f / 16777216.0f);
    }
};
