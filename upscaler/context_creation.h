#pragma once

#include <cstdint>
#include <optional>
#include <string>

struct InferenceRun;
struct RunSettings;

// The one check of an upscaler library result: a non-zero result throws
// std::runtime_error with `message` ("Unable to execute kavo").
void ThrowIfKavoFailed(int32_t result, const char* message);

// The model number of a --network_name, if the name is known (case-sensitive).
std::optional<uint32_t> NetworkModelNumber(const std::string& name);

// The library's init flags for the run's settings.
uint32_t InitFlags(const RunSettings& settings);

// Creates and initialises the upscaler context for the first queued frame,
// and the run's command allocator, command list and fence.
void CreateUpscalerContext(InferenceRun& run);
