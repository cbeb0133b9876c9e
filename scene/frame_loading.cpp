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

struct DecodedImage {
    ExrImageInfo info;
    Imf::Array2D<Imf::Rgba> pixels;
};

void AnnounceLoading(const std::filesystem::path& path) {
    std::cout << "Loading: " << std::quoted(path.string()) << '\n';
}

// The first pixel of a file that carries one value for the whole frame.
Imf::Rgba FirstPixelOf(const std::filesystem::path& path) {
    AnnounceLoading(path);
    return ReadFirstExrPixel(PathToUtf8(path));
}

// Reads one input file and hands its pixels to `use`; the pixels are released
// as soon as `use` returns, before the next file is read.
template <class Use>
void WithInput(const std::filesystem::path& path, Use use) {
    AnnounceLoading(path);
    DecodedImage image;
    ReadExrImage(PathToUtf8(path), image.info, image.pixels);
    use(image);
}

ImageSize SizeOf(const DecodedImage& image) { return {image.info.width, image.info.height}; }

// Runs `convert_row(y, row_pixels, first_index)` over every row, one
// contiguous block of rows per worker.
template <class ConvertRow>
void ForEachRow(const DecodedImage& image, ConvertRow convert_row) {
    const uint32_t width = image.info.width;
    tbb::parallel_for(
        tbb::blocked_range<uint32_t>(0, image.info.height),
        [&](const tbb::blocked_range<uint32_t>& rows) {
            for (uint32_t y = rows.begin(); y != rows.end(); ++y) {
                convert_row(image.pixels[y], static_cast<size_t>(y) * width);
            }
        },
        tbb::static_partitioner());
}

void LoadColor(LoadedFrame& frame, const DecodedImage& image) {
    frame.color_size = SizeOf(image);
    frame.color.resize(static_cast<size_t>(image.info.width) * image.info.height * 4);
    const uint32_t width = image.info.width;
    ForEachRow(image, [&](const Imf::Rgba* row, size_t first) {
        Imath::half* out = frame.color.data() + first * 4;
        for (uint32_t x = 0; x < width; ++x) {
            out[4 * x + 0] = row[x].r;
            out[4 * x + 1] = row[x].g;
            out[4 * x + 2] = row[x].b;
            out[4 * x + 3] = row[x].a;
        }
    });
}

void LoadVelocity(LoadedFrame& frame, const DecodedImage& image, VelocityDecoding mode) {
    frame.velocity_size = SizeOf(image);
    frame.velocity.resize(static_cast<size_t>(image.info.width) * image.info.height * 2);
    const uint32_t width = image.info.width;
    ForEachRow(image, [&](const Imf::Rgba* row, size_t first) {
        Imath::half* out = frame.velocity.data() + first * 2;
        for (uint32_t x = 0; x < width; ++x) {
            const auto xy = DecodeVelocity(row[x].r, row[x].g, row[x].b, mode);
            out[2 * x + 0] = xy[0];
            out[2 * x + 1] = xy[1];
        }
    });
}

// One value per pixel, made from the pixel's R channel.
template <class Value, class Convert>
void LoadPlane(ImageSize& size, std::vector<Value>& plane, const DecodedImage& image, Convert convert) {
    size = SizeOf(image);
    plane.resize(static_cast<size_t>(image.info.width) * image.info.height);
    const uint32_t width = image.info.width;
    ForEachRow(image, [&](const Imf::Rgba* row, size_t first) {
        Value* out = plane.data() + first;
        for (uint32_t x = 0; x < width; ++x) {
            out[x] = convert(row[x].r);
        }
    });
}

LoadedFrame LoadFrame(const RunSettings& settings, const FrameFiles& files) {
    LoadedFrame frame;
    WithInput(files.noaa_path, [&](const DecodedImage& image) { LoadColor(frame, image); });
    WithInput(files.velocity_path, [&](const DecodedImage& image) {
        LoadVelocity(frame, image, {settings.raw_velocity, settings.inversed_mv});
    });
    if (!settings.no_depth) {
        WithInput(files.depth_path, [&](const DecodedImage& image) {
            LoadPlane(frame.depth_size, frame.depth, image, [](Imath::half r) { return r; });
        });
    }
    const Imf::Rgba jitter = FirstPixelOf(files.jitter_path);
    frame.jitter = DecodeJitter(jitter.r, jitter.g, jitter.b, settings.raw_jitter);
    if (settings.copy_exposure_scale_to_exposure_texture) {
        frame.exposure = settings.exposure_scale;
    } else if (settings.has_exposure_texture_name) {
        frame.exposure = static_cast<float>(FirstPixelOf(files.exposure_path).r);
    }
    if (settings.has_responsive_mask && !files.responsive_mask_path.empty()) {
        WithInput(files.responsive_mask_path, [&](const DecodedImage& image) {
            LoadPlane(frame.responsive_mask_size, frame.responsive_mask, image, DecodeMaskByte);
        });
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
