#pragma once

#include <cstdint>
#include <string>

// The quality settings: number, name and upscale factor, in the order the
// help lists them.
struct Quality {
    uint32_t value;
    const char* name;
    float factor;
};
inline constexpr Quality kQualities[] = {
    {104, "ultra_quality", 1.3f},
    {103, "quality", 1.5f},
    {102, "balanced", 1.7f},
    {101, "performance", 2.0f},
};
inline constexpr uint32_t kDefaultQuality = 101;

// The number whose name equals `name` byte for byte; any other text gives 101.
uint32_t QualityFromName(const std::string& name);
// The name of a quality number; an unknown number gives an empty name.
std::string QualityName(uint32_t value);

// The upscale factor of a quality setting number; 1 for unknown numbers.
float UpscaleFactor(uint32_t quality_value);

// The smallest whole number not below size x factor, in 32-bit float
// arithmetic; saturates at the largest 32-bit value.
uint32_t OutputSize(uint32_t input_size, float factor);
