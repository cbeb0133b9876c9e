#include "scene/frame_loading.h"

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/partitioner.h>

#include <algorithm>
#include <iomanip>
#include <iostream>

#include "run/inference_run.h"
#include "run/path_text.h"
#include "scene/exr_image.h"
#include "scene/frame_decoding.h"

namespace {

void AnnounceLoading(const std::filesystem::path& path) {
    std::cout << "Loading: " << std::quoted(path.string()) << '\n';
}

// The first pixel of a file that carries one value for the whole frame.
Imf::Rgba FirstPixelOf(const std::filesystem::path& path) {
    AnnounceLoading(path);
    return ReadFirstExrPixel(PathToUtf8(path));
}

// Reads one input file a chunk of rows at a time into `plane`, `channels`
// values per pixel: `convert(pixel, out)` writes one pixel's values. The
// file's decoded pixels are never kept whole, only the chunk being
// converted, one contiguous block of its rows per worker.
template <class Value, class Convert>
void LoadInput(const std::filesystem::path& path, ImageSize& size, std::vector<Value>& plane, size_t channels,
               Convert convert) {
    AnnounceLoading(path);
    ReadExrImageByRows(
        PathToUtf8(path), [&](const ExrImageInfo& info, uint32_t first_row, std::span<const Imf::Rgba> pixels) {
            if (first_row == 0) {
                size = {info.width, info.height};
                plane.resize(size_t{info.width} * info.height * channels);
            }
            Value* out = plane.data() + size_t{first_row} * info.width * channels;
            const auto rows = static_cast<uint32_t>(pixels.size() / info.width);
            tbb::parallel_for(
                tbb::blocked_range<uint32_t>(0, rows),
                [&](const tbb::blocked_range<uint32_t>& range) {
                    for (size_t i = size_t{range.begin()} * info.width; i < size_t{range.end()} * info.width; ++i) {
                        convert(pixels[i], out + i * channels);
                    }
                },
                tbb::static_partitioner());
        });
}

LoadedFrame LoadFrame(const RunSettings& settings, const FrameFiles& files) {
    LoadedFrame frame;
    LoadInput(files.noaa_path, frame.color_size, frame.color, 4, [](const Imf::Rgba& pixel, Imath::half* out) {
        out[0] = pixel.r;
        out[1] = pixel.g;
        out[2] = pixel.b;
        out[3] = pixel.a;
    });
    const VelocityDecoding velocity_mode{settings.raw_velocity, settings.inversed_mv};
    LoadInput(files.velocity_path, frame.velocity_size, frame.velocity, 2,
              [&](const Imf::Rgba& pixel, Imath::half* out) {
                  const auto xy = DecodeVelocity(pixel.r, pixel.g, pixel.b, velocity_mode);
                  out[0] = xy[0];
                  out[1] = xy[1];
              });
    if (!settings.no_depth) {
        LoadInput(files.depth_path, frame.depth_size, frame.depth, 1,
                  [](const Imf::Rgba& pixel, Imath::half* out) { *out = pixel.r; });
    }
    const Imf::Rgba jitter = FirstPixelOf(files.jitter_path);
    frame.jitter = DecodeJitter(jitter.r, jitter.g, jitter.b, settings.raw_jitter);
    if (settings.copy_exposure_scale_to_exposure_texture) {
        frame.exposure = settings.exposure_scale;
    } else if (settings.has_exposure_texture_name) {
        frame.exposure = static_cast<float>(FirstPixelOf(files.exposure_path).r);
    }
    if (settings.has_responsive_mask && !files.responsive_mask_path.empty()) {
        LoadInput(files.responsive_mask_path, frame.responsive_mask_size, frame.responsive_mask, 1,
                  [](const Imf::Rgba& pixel, uint8_t* out) { *out = DecodeMaskByte(pixel.r); });
    }
    frame.output_path = files.output_path;
    return frame;
}

}  // namespace

void LoadFrames(InferenceRun& run, uint32_t count) {
    // 64-bit sums: the window's ends may lie past the 32-bit range.
    const uint64_t first = uint64_t{run.settings.skip_frames} + run.frames_consumed;
    const uint64_t window_end = uint64_t{run.settings.skip_frames} + run.settings.max_frames;
    const uint64_t end = std::min({first + count, window_end, uint64_t{run.frame_files.size()}});
    for (uint64_t i = first; i < end; ++i) {
        run.frame_queue.push_back(LoadFrame(run.settings, run.frame_files[i]));
    }
    // Saturate: once the window is passed, later calls load nothing.
    run.frames_consumed = static_cast<uint32_t>(std::min<uint64_t>(uint64_t{run.frames_consumed} + count, UINT32_MAX));
}
