#pragma once

#include "run/inference_run.h"

// Copies the folders, sizes the EXR worker pool, discovers the scene, loads
// the first frame and creates the upscaler context.
void InitRun(InferenceRun& run, const ScenePaths& paths);

// One pass over the selected frames.
void RunFrames(InferenceRun& run);

// The EXR library's worker count for a reported hardware thread count.
unsigned ExrThreadCount(unsigned hardware_threads);
