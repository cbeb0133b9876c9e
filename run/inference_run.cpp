#include "run/inference_run.h"

InferenceRun::InferenceRun(const RunSettings& run_settings) : settings(run_settings) {}

// The context goes first, while the device and everything else still exist.
InferenceRun::~InferenceRun() { kavo_context.reset(); }
