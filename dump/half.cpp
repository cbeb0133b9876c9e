#include "dump/half.h"

#include <algorithm>
#include <bit>

float HalfToFloat(uint16_t half) {
    const uint32_t sign = static_cast<uint32_t>(half & 0x8000u) << 16;
    uint32_t exponent = (half >> 10) & 0x1Fu;
    uint32_t mantissa = half & 0x3FFu;
    uint32_t bits;
    if (exponent == 0x1F) {
        bits = sign | 0x7F800000u | (mantissa << 13);  // infinity or NaN
    } else if (exponent != 0) {
        bits = sign | ((exponent + 112) << 23) | (mantissa << 13);
    } else if (mantissa == 0) {
        bits = sign;  // signed zero
    } else {
        // Subnormal: shift the leading one into the implicit position.
        exponent = 113;
        while ((mantissa & 0x400u) == 0) {
            mantissa <<= 1;
            --exponent;
        }
        bits = sign | (exponent << 23) | ((mantissa & 0x3FFu) << 13);
    }
    return std::bit_cast<float>(bits);
}

void HalfToFloat(std::span<const uint16_t> source, size_t source_stride, std::span<float> destination,
                 size_t destination_stride) {
    const size_t count = std::min((source.size() + source_stride - 1) / source_stride,
                                  (destination.size() + destination_stride - 1) / destination_stride);
    for (size_t i = 0; i < count; ++i) {
        destination[i * destination_stride] = HalfToFloat(source[i * source_stride]);
    }
}
