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

// The upscale factor of a quality setting number; 1 for unknown numbers.
float UpscaleFactor(uint32_t quality_value);

// The smallest whole number not below size x factor, in 32-bit float
// arithmetic; saturates at the largest 32-bit value.
uint32_t OutputSize(uint32_t input_size, float factor);

// The library's init flags for the run's settings.
uint32_t InitFlags(const RunSettings& settings);

// Creates and initialises the upscaler context for the first queued frame,
// and the run's command allocator, command list and fence.
void CreateUpscalerContext(InferenceRun& run);

// Upscales queued frames from the front and writes their outputs. Returns
// true when --max_frames frames have been executed and the run must stop.
bool ExecuteFrames(InferenceRun& run);
