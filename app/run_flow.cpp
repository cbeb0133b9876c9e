#include "app/run_flow.h"

#include <ImfThreading.h>

#include <thread>

#include "scene/frame_loading.h"
#include "scene/scene_discovery.h"
#include "upscaler/context_creation.h"
#include "upscaler/frame_execution.h"

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
