#include "run/quality.h"

#include <cmath>
#include <limits>

uint32_t QualityFromName(const std::string& name) {
    for (const Quality& quality : kQualities) {
        if (name == quality.name) return quality.value;
    }
    return kDefaultQuality;
}

std::string QualityName(uint32_t value) {
    for (const Quality& quality : kQualities) {
        if (quality.value == value) return quality.name;
    }
    return {};
}

float UpscaleFactor(uint32_t quality_value) {
    for (const Quality& quality : kQualities) {
        if (quality.value == quality_value) return quality.factor;
    }
    return 1.0f;
}

uint32_t OutputSize(uint32_t input_size, float factor) {
    const float size = std::ceil(static_cast<float>(input_size) * factor);
    // 2^32 is the first float past the 32-bit range; NaN saturates as well.
    if (!(size < 4294967296.0f)) return std::numeric_limits<uint32_t>::max();
    return size > 0.0f ? static_cast<uint32_t>(size) : 0u;
}
