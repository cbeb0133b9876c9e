#include "app/inference_run.h"

#include <ImfThreading.h>

#include <iostream>
#include <stdexcept>
#include <thread>

#include "scene/frame_loading.h"
#include "scene/scene_discovery.h"
#include "upscaler/upscaler.h"

InferenceRun::InferenceRun(const RunSettings& run_settings) : settings(run_settings) {}

InferenceRun::~InferenceRun() {
    // The context goes first, while the device and everything else still
    // exist. A destructor must not throw, so a failure is only reported.
    if (kavoDestroyContext(kavo_context) != KAVO_SUCCESS) {
        std::cerr << "Unable to destroy kavo context" << std::endl;
    }
}

unsigned ExrThreadCount(unsigned hardware_threads) { return hardware_threads <= 1 ? 8u : hardware_threads; }

void InitRun(InferenceRun& run, const ScenePaths& paths) {
    run.paths = paths;
    Imf::setGlobalThreadCount(static_cast<int>(ExrThreadCount(std::thread::hardware_concurrency())));
    DiscoverScene(run);
    LoadFrames(run, 1);
    CreateUpscalerContext(run);
}

void RunFrames(InferenceRun& run) {
    auto fill_queue = [&run] {
        LoadFrames(run, run.settings.queue_capacity - static_cast<uint32_t>(run.frame_queue.size()));
    };
    fill_queue();
    while (!run.frame_queue.empty()) {
        if (ExecuteFrames(run)) break;
        fill_queue();
    }
    run.frames_consumed = 0;
    run.frames_processed = 0;
}
