#pragma once

#include <ImfRgba.h>

#include <memory>
#include <span>

#include "gpu/transfers.h"

struct InferenceRun;
struct LoadedFrame;

// One frame through the upscaler, stage by stage, in the order the per-frame
// step runs them. The GPU objects live until the object goes, after the wait.
class FrameExecution {
public:
    // Creates the frame's textures and records their uploads.
    FrameExecution(InferenceRun& run, const LoadedFrame& frame);
    ~FrameExecution();
    FrameExecution(const FrameExecution&) = delete;
    FrameExecution& operator=(const FrameExecution&) = delete;

    // Records the library's work and the readback of the output.
    void RecordUpscale();
    // One submission, one fence wait; the command list is open again after it.
    void SubmitAndWait();
    // Maps the output's readback buffer for writing; only after the wait.
    void ReadOutput();
    // Writes the output image and its "Writing" line.
    void WriteOutput();
    // The dump hooks of --do_dump and --do_dump_output_as_tensor.
    void Dump();

    // The frame's textures and uploaders; defined where they are made.
    struct Textures;

private:
    InferenceRun& run_;
    const LoadedFrame& frame_;
    std::unique_ptr<Textures> textures_;
    std::unique_ptr<Orfa::Downloader<Orfa::Texture2D>> downloader_;
    std::span<const Imf::Rgba> output_pixels_;  // in the mapped readback buffer
    size_t output_row_stride_ = 0;              // in pixels
};

// Upscales queued frames from the front and writes their outputs. Returns
// true when --max_frames frames have been executed and the run must stop.
bool ExecuteFrames(InferenceRun& run);
