#include "scene/frame_decoding.h"

#include <cmath>
#include <limits>

namespace {

Imath::half Negated(Imath::half value) {
    // Flip the sign bit only, so that every other bit is copied exactly.
    Imath::half result;
    result.setBits(static_cast<uint16_t>(value.bits() ^ 0x8000u));
    return result;
}

Imath::half NegatedIf(Imath::half value, bool negate) { return negate ? Negated(value) : value; }

}  // namespace

int32_t TruncateToInt32(float value) {
    // 2^31 is exactly representable; every float in [-2^31, 2^31) truncates
    // into range, and the negated test also catches NaN.
    constexpr float kLimit = 2147483648.0f;
    if (!(value >= -kLimit && value < kLimit)) {
        return std::numeric_limits<int32_t>::min();
    }
    return static_cast<int32_t>(value);
}

std::array<Imath::half, 2> DecodeVelocity(Imath::half r, Imath::half g, Imath::half b, VelocityDecoding mode) {
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

std::array<float, 2> DecodeJitter(Imath::half r, Imath::half g, Imath::half b, bool raw) {
    float x = static_cast<float>(r);
    float y = static_cast<float>(g);
    if (!raw) {
        const int32_t signs = TruncateToInt32(static_cast<float>(b));
        if (signs & 1) x = -x;
        if (signs & 2) y = -y;
    }
    return {x, y};
}

uint8_t DecodeMaskByte(Imath::half r) {
    // The low 8 bits of the two's complement value: -1 gives 255, 256 gives 0.
    return static_cast<uint8_t>(static_cast<uint32_t>(TruncateToInt32(static_cast<float>(r))) & 0xFFu);
}
