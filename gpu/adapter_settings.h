#pragma once

#include <cstdint>

#include "run/run_settings.h"

// No --dxgi_adapter_index: the adapter is chosen automatically.
inline constexpr uint32_t kAutomaticAdapter = kUnset32;

// The two adapter options, copied into process-wide settings after parsing and
// read once, when the device object is first built.
struct AdapterSettings {
    uint32_t adapter_index = kAutomaticAdapter;
    bool list_adapters = false;
};

// The process-wide copy that the device layer reads.
AdapterSettings& ProcessAdapterSettings();
