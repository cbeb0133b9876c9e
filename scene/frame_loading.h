#pragma once

#include <cstdint>

struct InferenceRun;

// Decodes up to `count` further frames of the --skip_frames/--max_frames
// window and appends them to run.frame_queue.
void LoadFrames(InferenceRun& run, uint32_t count);
