#pragma once

#include <Imath/half.h>

#include <array>
#include <cstdint>
#include <limits>

// Per-pixel decoding rules of the scene's inputs. Scenes store velocity and
// jitter as magnitudes with their signs packed into the B channel as an
// integer (bit 0: x is negative, bit 1: y is negative).

// Truncates toward zero; NaN and values outside the 32-bit range give
// INT32_MIN, whose low bits are all clear, instead of undefined behaviour.
// Inline, as are the rules below that run for every pixel of a frame.
inline int32_t TruncateToInt32(float value) {
    // 2^31 is exactly representable; every float in [-2^31, 2^31) truncates
    // into range, and the negated test also catches NaN.
    constexpr float kLimit = 2147483648.0f;
    if (!(value >= -kLimit && value < kLimit)) {
        return std::numeric_limits<int32_t>::min();
    }
    return static_cast<int32_t>(value);
}

// The value with its sign flipped where `negate`: only the sign bit, so that
// every other bit is copied exactly.
inline Imath::half NegatedIf(Imath::half value, bool negate) {
    if (!negate) return value;
    Imath::half result;
    result.setBits(static_cast<uint16_t>(value.bits() ^ 0x8000u));
    return result;
}

struct VelocityDecoding {
    bool raw = false;       // --raw_velocity
    bool inversed = false;  // --inversed_mv
};

// Decodes one velocity pixel (R, G, B halves) into x, y.
inline std::array<Imath::half, 2> DecodeVelocity(Imath::half r, Imath::half g, Imath::half b, VelocityDecoding mode) {
    if (mode.raw) {
        return {NegatedIf(r, mode.inversed), NegatedIf(g, mode.inversed)};
    }
    const int32_t signs = TruncateToInt32(static_cast<float>(b));
    const Imath::half x = NegatedIf(r, (signs & 1) != 0);
    const Imath::half y = NegatedIf(g, (signs & 2) != 0);
    // Encoded scenes store the motion in the other direction than the
    // library expects unless --inversed_mv says they do not.
    return {NegatedIf(x, !mode.inversed), NegatedIf(y, !mode.inversed)};
}

// Decodes the jitter pair from the first pixel of a jitter image.
std::array<float, 2> DecodeJitter(Imath::half r, Imath::half g, Imath::half b, bool raw);

// The mask byte of one R value: the low 8 bits of its integer part.
uint8_t DecodeMaskByte(Imath::half r);
