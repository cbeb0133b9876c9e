#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

// Exact IEEE 754 binary16 to binary32 conversion: infinities and NaNs keep
// their payload, subnormal halves become normal floats.
float HalfToFloat(uint16_t half);

// Converts every `source_stride`-th half of `source` into every
// `destination_stride`-th float of `destination` (for interleaved channels),
// as many as both hold.
void HalfToFloat(std::span<const uint16_t> source, size_t source_stride, std::span<float> destination,
                 size_t destination_stride);
