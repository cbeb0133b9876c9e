#pragma once

#include <Imath/half.h>

#include <array>
#include <cstdint>

// Per-pixel decoding rules of the scene's inputs. Scenes store velocity and
// jitter as magnitudes with their signs packed into the B channel as an
// integer (bit 0: x is negative, bit 1: y is negative).

// Truncates toward zero; NaN and values outside the 32-bit range give
// INT32_MIN, whose low bits are all clear, instead of undefined behaviour.
int32_t TruncateToInt32(float value);

struct VelocityDecoding {
    bool raw = false;       // --raw_velocity
    bool inversed = false;  // --inversed_mv
};

// Decodes one velocity pixel (R, G, B halves) into x, y.
std::array<Imath::half, 2> DecodeVelocity(Imath::half r, Imath::half g, Imath::half b, VelocityDecoding mode);

// Decodes the jitter pair from the first pixel of a jitter image.
std::array<float, 2> DecodeJitter(Imath::half r, Imath::half g, Imath::half b, bool raw);

// The mask byte of one R value: the low 8 bits of its integer part.
uint8_t DecodeMaskByte(Imath::half r);
