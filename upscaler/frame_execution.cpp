#include <algorithm>
#include <cstring>
#include <iomanip>
#include <iostream>
#include <stdexcept>

#include "dump/dump_collection.h"
#include "dump/output_tensor.h"
#include "gpu/dx12.h"
#include "gpu/exceptions.h"
#include "gpu/transfers.h"
#include "run/inference_run.h"
#include "run/path_text.h"
#include "scene/exr_image.h"
#include "upscaler/context_creation.h"
#include "upscaler/frame_execution.h"

namespace {

using Orfa::Texture2D;
using Uploader = Orfa::Uploader<Texture2D>;
using Downloader = Orfa::Downloader<Texture2D>;

const auto kCopyDest = D3D12_RESOURCE_STATE_COPY_DEST;
const auto kShaderRead = D3D12_RESOURCE_STATE_NON_PIXEL_SHADER_RESOURCE;

// Uploads the pixels and zeros after them; an absent input (an empty array)
// uploads zeros.
template <class Element>
void Upload(Uploader& uploader, const std::vector<Element>& pixels, ID3D12GraphicsCommandList* list) {
    uploader.RecordUpload(list, kShaderRead, std::as_bytes(std::span(pixels)));
}

// Uploads half-precision pixels into a texture of 32-bit floats, widened row
// by row where they land; an absent input (an empty array) uploads zeros.
void UploadWidened(Uploader& uploader, const std::vector<Imath::half>& pixels, uint32_t width,
                   ID3D12GraphicsCommandList* list) {
    uploader.RecordUploadByRows(list, kShaderRead, [&](uint32_t y, std::span<std::byte> row) {
        const size_t first = std::min(pixels.size(), size_t{y} * width);
        const size_t count = std::min({pixels.size() - first, size_t{width}, row.size() / sizeof(float)});
        for (size_t x = 0; x < count; ++x) {
            const float value = pixels[first + x];
            std::memcpy(row.data() + x * sizeof(float), &value, sizeof(float));
        }
        std::fill(row.begin() + static_cast<std::ptrdiff_t>(count * sizeof(float)), row.end(), std::byte{0});
    });
}

// One input texture with its uploader, made right after it, whether or not
// data is then uploaded.
struct Input {
    Texture2D texture;
    Uploader uploader;

    Input(const wchar_t* name, ID3D12Device* device, ImageSize size, DXGI_FORMAT format)
        : texture(name, device, size.width, size.height, 1, format, kCopyDest, D3D12_RESOURCE_FLAG_NONE),
          uploader(texture) {}
};

bool UsesExposureTexture(const RunSettings& s) {
    return s.has_exposure_texture_name || s.copy_exposure_scale_to_exposure_texture;
}

}  // namespace

// The GPU objects of one frame. The textures and staging buffers must live
// until the submission that uses them has completed, so they are released
// only when the frame ends, after the fence wait.
struct FrameExecution::Textures {
    Input color, velocity;
    Texture2D output;
    Input depth, exposure, mask;

    Textures(const InferenceRun& run, const LoadedFrame& frame, ID3D12GraphicsCommandList* list)
        : color(L"app_input_color", run.device.Get(), frame.color_size, DXGI_FORMAT_R16G16B16A16_FLOAT),
          velocity(L"app_input_velocity", run.device.Get(), frame.velocity_size, DXGI_FORMAT_R16G16_FLOAT),
          output(L"app_output_color", run.device.Get(), run.output_resolution[0], run.output_resolution[1], 1,
                 DXGI_FORMAT_R16G16B16A16_FLOAT, kShaderRead, D3D12_RESOURCE_FLAG_ALLOW_UNORDERED_ACCESS),
          depth(L"app_input_depth", run.device.Get(), frame.depth_size, DXGI_FORMAT_R32_FLOAT),
          exposure(L"app_input_exposure", run.device.Get(), ImageSize{1, 1}, DXGI_FORMAT_R32_FLOAT),
          mask(L"app_input_responsive_mask", run.device.Get(), frame.responsive_mask_size, DXGI_FORMAT_R8_UNORM) {
        const RunSettings& s = run.settings;
        Upload(color.uploader, frame.color, list);
        Upload(velocity.uploader, frame.velocity, list);
        if (!s.no_depth) UploadWidened(depth.uploader, frame.depth, frame.depth_size.width, list);
        if (UsesExposureTexture(s)) Upload(exposure.uploader, std::vector<float>{frame.exposure}, list);
        // A frame without its mask file keeps the zero-filled 1 x 1 mask: the
        // library still gets the texture its init flags promised.
        if (s.has_responsive_mask) Upload(mask.uploader, frame.responsive_mask, list);
    }
};

namespace {

KavoExecuteParams ExecuteParams(const InferenceRun& run, const LoadedFrame& frame,
                                const FrameExecution::Textures& work) {
    const RunSettings& s = run.settings;
    KavoExecuteParams params{};
    params.color = work.color.texture.resource;
    params.velocity = work.velocity.texture.resource;
    params.depth = s.no_depth ? nullptr : work.depth.texture.resource;
    params.exposure = UsesExposureTexture(s) ? work.exposure.texture.resource : nullptr;
    params.responsive_mask = s.has_responsive_mask ? work.mask.texture.resource : nullptr;
    params.output = work.output.resource;
    params.jitter_x = frame.jitter[0];
    params.jitter_y = frame.jitter[1];
    params.exposure_scale = UsesExposureTexture(s) ? 1.0f : s.exposure_scale;
    params.reset = run.frames_processed == 0 ? 1u : 0u;
    params.input_width = frame.color_size.width;
    params.input_height = frame.color_size.height;
    params.color_base = {s.color_base_offset.first, s.color_base_offset.second};
    params.velocity_base = {s.velocity_base_offset.first, s.velocity_base_offset.second};
    params.depth_base = {s.depth_base_offset.first, s.depth_base_offset.second};
    return params;
}

// The part of the output path after its last slash or backslash, as UTF-8.
std::string OutputFileName(const std::filesystem::path& output_path) {
    const std::string text = PathToUtf8(output_path);
    const size_t separator = text.find_last_of("/\\");
    return separator == std::string::npos ? text : text.substr(separator + 1);
}

DumpRequest MakeDumpRequest(const InferenceRun& run) {
    const RunSettings& s = run.settings;
    return {run.frames_processed,
            run.paths.output_path,
            s.dump_resource_filter,
            s.dump_resource_exclude_filter,
            s.roi_enabled,
            s.roi_size,
            s.roi_x0,
            s.roi_y0};
}

template <class Value>
void Release(std::vector<Value>& values) {
    std::vector<Value>().swap(values);
}

// Runs one frame taken off the queue. Its pixels are in its upload buffers
// once its textures are made, and nothing reads them again: they are
// released before the frame runs, so that its output is written beside one
// frame's pixels fewer.
void ExecuteFrame(InferenceRun& run, LoadedFrame& frame) {
    FrameExecution execution(run, frame);
    Release(frame.color);
    Release(frame.velocity);
    Release(frame.depth);
    Release(frame.responsive_mask);
    execution.RecordUpscale();
    execution.SubmitAndWait();
    execution.ReadOutput();
    execution.WriteOutput();
    execution.Dump();
}

}  // namespace

FrameExecution::FrameExecution(InferenceRun& run, const LoadedFrame& frame)
    : run_(run), frame_(frame), textures_(std::make_unique<Textures>(run, frame, run.app_cmd_list.Get())) {}

// Here, where Textures is complete. The downloader and its readback buffer
// go first, then the textures: the members' reverse order.
FrameExecution::~FrameExecution() = default;

void FrameExecution::RecordUpscale() {
    ID3D12GraphicsCommandList* list = run_.app_cmd_list.Get();
    const KavoExecuteParams params = ExecuteParams(run_, frame_, *textures_);
    ThrowIfKavoFailed(kavoD3D12Execute(run_.kavo_context.get(), list, &params), "Unable to execute kavo");
    downloader_ = std::make_unique<Downloader>(textures_->output);
    downloader_->RecordReadback(list, kShaderRead);
}

void FrameExecution::SubmitAndWait() {
    ExecuteAndWait(GetDx12().command_queue_.Get(), run_.app_cmd_list.Get(), run_.app_fence.Get(),
                   ++run_.app_fence_value);
    Orfa::ThrowIfFailed(run_.app_cmd_allocator->Reset(), "reset command allocator");
    Orfa::ThrowIfFailed(run_.app_cmd_list->Reset(run_.app_cmd_allocator.Get(), nullptr), "reset command list");
}

// The output is written from the readback buffer where its rows lie, RGBA
// half pixels a row pitch apart: no copy of the frame is made on the way.
void FrameExecution::ReadOutput() {
    const uint32_t width = run_.output_resolution[0], height = run_.output_resolution[1];
    const D3D12_PLACED_SUBRESOURCE_FOOTPRINT& layout = downloader_->layouts.at(0);
    const uint64_t pitch = layout.Footprint.RowPitch;
    const bool whole = height > 0 && downloader_->num_rows.at(0) >= height && pitch % sizeof(Imf::Rgba) == 0 &&
                       downloader_->row_sizes.at(0) >= uint64_t{width} * sizeof(Imf::Rgba);
    if (!whole) throw std::runtime_error("Unable to download result");
    const auto* first = reinterpret_cast<const Imf::Rgba*>(downloader_->Mapped() + layout.Offset);
    output_pixels_ = std::span(first, (height - 1) * (pitch / sizeof(Imf::Rgba)) + width);
    output_row_stride_ = pitch / sizeof(Imf::Rgba);
}

void FrameExecution::WriteOutput() {
    const uint32_t width = run_.output_resolution[0], height = run_.output_resolution[1];
    WriteExrImage(PathToUtf8(frame_.output_path), {.width = width, .height = height}, output_pixels_,
                  Imf::PIZ_COMPRESSION, output_row_stride_);
    std::cout << "Writing " << std::quoted(frame_.output_path.string()) << std::endl;
}

void FrameExecution::Dump() {
    const DumpRequest request = MakeDumpRequest(run_);
    if (run_.settings.do_dump) DumpFrameResources(run_.kavo_context.get(), request);
    if (run_.settings.do_dump_output_as_tensor) {
        downloader_->ReadBack();
        DumpTexture_RGBA_FP16_AsTensor(*downloader_, OutputFileName(frame_.output_path), request);
    }
}

bool ExecuteFrames(InferenceRun& run) {
    if (run.frame_queue.empty()) return false;
    for (;;) {
        if (run.frames_processed >= run.settings.max_frames) return true;
        LoadedFrame frame = std::move(run.frame_queue.front());
        run.frame_queue.pop_front();
        ExecuteFrame(run, frame);
        ++run.frames_processed;
        if (run.frame_queue.empty()) return false;
    }
}
