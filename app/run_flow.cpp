#include "app/run_flow.h"

#include <ImfThreading.h>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <thread>

#include "scene/frame_loading.h"
#include "scene/scene_discovery.h"
#include "upscaler/context_creation.h"
#include "upscaler/frame_execution.h"

unsigned ExrThreadCount(unsigned hardware_threads) { return hardware_threads <= 1 ? 8u : hardware_threads; }

namespace {

// A refill leaves the heap with the freed buffers of the last batch (its
// frames' pixels, the EXR library's buffers) between blocks in use. The
// frames that follow reuse some of them and leave the rest resident but
// idle, where they count toward the run's peak: handed back to the system
// once per refill, only what is reused comes back. Elsewhere the system's
// heap decides.
void HandBackFreedMemory() {
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
}

}  // namespace

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
        HandBackFreedMemory();
    };
    fill_queue();
    while (!run.frame_queue.empty()) {
        if (ExecuteFrames(run)) break;
        fill_queue();
    }
    run.frames_consumed = 0;
    run.frames_processed = 0;
}
