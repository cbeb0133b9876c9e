#pragma once

#include <cstdint>

// The two adapter options, copied into process-wide settings after parsing and
// read once, when the device object is first built.
struct AdapterSettings {
    uint32_t adapter_index = 4294967295u;  // all bits set: choose automatically
    bool list_adapters = false;
};

inline constexpr uint32_t kAutomaticAdapter = 4294967295u;

// The process-wide copy that the device layer reads.
AdapterSettings& ProcessAdapterSettings();
