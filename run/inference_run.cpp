#include "run/inference_run.h"

#include <iostream>

InferenceRun::InferenceRun(const RunSettings& run_settings) : settings(run_settings) {}

InferenceRun::~InferenceRun() {
    // The context goes first, while the device and everything else still
    // exist. A destructor must not throw, so a failure is only reported.
    if (kavoDestroyContext(kavo_context) != KAVO_SUCCESS) {
        std::cerr << "Unable to destroy kavo context" << std::endl;
    }
}
