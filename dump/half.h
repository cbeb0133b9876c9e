#pragma once

#include <cstddef>
#include <cstdint>

// Exact IEEE 754 binary16 to binary32 conversion: infinities and NaNs keep
// their payload, subnormal halves become normal floats.
float HalfToFloat(uint16_t half);

// Converts `count` halves read `source_stride` elements apart into floats
// written `destination_stride` elements apart (for interleaved channels).
void HalfToFloat(const uint16_t* source, size_t source_stride, float* destination, size_t destination_stride,
                 size_t count);
