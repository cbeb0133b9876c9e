#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "run/frame_files.h"
#include "run/loaded_frame.h"
#include "run/run_settings.h"
#include "sdk/d3d12_headers.h"
#include "sdk/kavo_api.h"

// The library's context with the function that destroys it. The upscaler
// subsystem makes it (OwnKavoContext), so that the run object itself needs
// nothing of the library but its declarations.
using OwnedKavoContext = std::unique_ptr<KavoContext_T, void (*)(KavoContext)>;

// The one run object of the process. Member order matters: members are
// released in reverse, so the frame queue goes before the GPU objects and the
// device reference goes last of those.
struct InferenceRun {
    explicit InferenceRun(const RunSettings& run_settings);
    ~InferenceRun();
    InferenceRun(const InferenceRun&) = delete;
    InferenceRun& operator=(const InferenceRun&) = delete;

    ScenePaths paths;
    std::vector<FrameFiles> frame_files;
    ComPtr<ID3D12Device> device;
    ComPtr<ID3D12CommandAllocator> app_cmd_allocator;
    ComPtr<ID3D12GraphicsCommandList> app_cmd_list;
    ComPtr<ID3D12Fence> app_fence;
    uint64_t app_fence_value = 0;  // the value the last submitted frame signals
    OwnedKavoContext kavo_context{nullptr, nullptr};
    std::array<uint32_t, 2> output_resolution{0, 0};
    std::deque<LoadedFrame> frame_queue;
    uint32_t frames_consumed = 0;
    uint32_t frames_processed = 0;
    RunSettings settings;
};
