#include "app/inference_run.h"

#include <ImfThreading.h>

#include <iostream>
#include <stdexcept>
#include <thread>

#include "scene/frame_loading.h"
#include "scene/scene_discovery.h"

InferenceRun::InferenceRun(const RunSettings& run_settings) : settings(run_settings) {}

InferenceRun::~InferenceRun() = default;

unsigned ExrThreadCount(unsigned hardware_threads) { return hardware_threads <= 1 ? 8u : hardware_threads; }

void InitRun(InferenceRun& run, const ScenePaths& paths) {
    run.scene_path = paths.scene_path;
    run.noaa_name = paths.noaa_name;
    run.velocity_name = paths.velocity_name;
    run.depth_name = paths.depth_name;
    run.jitter_name = paths.jitter_name;
    run.exposure_name = paths.exposure_name;
    run.responsive_mask_name = paths.responsive_mask_name;
    run.output_path = paths.output_path;
    Imf::setGlobalThreadCount(static_cast<int>(ExrThreadCount(std::thread::hardware_concurrency())));
    DiscoverScene(run);
    LoadFrames(run, 1);
    throw std::runtime_error("No upscaler is available yet: frames cannot be upscaled");
}

void RunFrames(InferenceRun& run) {
    LoadFrames(run, run.settings.queue_capacity - static_cast<uint32_t>(run.frame_queue.size()));
    run.frames_consumed = 0;
    run.frames_processed = 0;
}
