#include "scene/frame_decoding.h"

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
