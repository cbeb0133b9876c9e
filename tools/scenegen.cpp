// scenegen: writes a synthetic scene in the inference tool's layout, with
// ground-truth frames at the output resolution and a configuration file that
// `inference_tool --config` reads. The same arguments give the same bytes.
#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <CLI/CLI.hpp>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <sstream>
#include <stdexcept>

#include "run/atomic_file.h"
#include "run/path_text.h"
#include "run/quality.h"
#include "run/temporary_files.h"
#include "scene/exr_image.h"
#include "tools/option_checks.h"
#include "tools/scene_content.h"

namespace fs = std::filesystem;

namespace {

struct Options {
    std::string folder;
    uint32_t width = 320;
    uint32_t height = 180;
    uint32_t frames = 24;
    std::string quality = "performance";
    bool exposure = false;
    bool mask = false;
    bool raw = false;             // raw signed velocity and jitter instead of sign bits
    bool pixel_velocity = false;  // velocity in input pixels instead of normalised device coordinates
    float speed = 1.0f;
    uint64_t seed = 1;
    float exposure_value = 0.8f;
    uint32_t truth_samples = 4;  // per axis and output pixel; 0 writes no ground truth
    std::string kind = "default";
};

scenegen::SceneKind KindNamed(const std::string& name) {
    for (const auto& kind : scenegen::kSceneKinds) {
        if (name == kind.name) return kind.kind;
    }
    throw std::invalid_argument("unknown scene kind " + name);
}

// For kinds with one thing that moves, "regions.txt" holds per frame the
// rectangle around it in output pixels: "<frame file> x0 y0 x1 y1", the
// ends exclusive.
void WriteRegions(const Options& o, const scenegen::World& world, uint32_t out_w, uint32_t out_h) {
    if (scenegen::ChangingRegion(world, 0).Empty()) return;
    std::string regions;
    const float scale_x = out_w / world.width, scale_y = out_h / world.height;
    for (uint32_t frame = 0; frame < o.frames; ++frame) {
        const scenegen::Region region = scenegen::ChangingRegion(world, frame);
        char line[96];
        std::snprintf(
            line, sizeof line, "%04u.exr %d %d %d %d\n", frame, static_cast<int>(std::floor(region.x0 * scale_x)),
            static_cast<int>(std::floor(region.y0 * scale_y)), static_cast<int>(std::ceil(region.x1 * scale_x)),
            static_cast<int>(std::ceil(region.y1 * scale_y)));
        regions += line;
    }
    WriteWholeFile(fs::path(o.folder) / "regions.txt", regions, AtomicFile::Mode::kText);
}

Imf::Rgba Encoded(float x, float y, bool raw) {
    if (raw) return Imf::Rgba(x, y, 0.0f, 1.0f);
    const float signs = static_cast<float>((x < 0 ? 1 : 0) | (y < 0 ? 2 : 0));
    return Imf::Rgba(std::fabs(x), std::fabs(y), signs, 1.0f);
}

// The image of one input kind at one frame, evaluated per pixel.
template <class PixelOf>
void WriteImage(const fs::path& path, uint32_t width, uint32_t height, PixelOf pixel_of) {
    Imf::Array2D<Imf::Rgba> pixels(height, width);
    tbb::parallel_for(tbb::blocked_range<uint32_t>(0, height), [&](const tbb::blocked_range<uint32_t>& rows) {
        for (uint32_t y = rows.begin(); y != rows.end(); ++y) {
            for (uint32_t x = 0; x < width; ++x) pixels[y][x] = pixel_of(x, y);
        }
    });
    WriteExrImage(PathToUtf8(path), {.width = width, .height = height, .expL = 1.0f, .maxL = 1000.0f}, pixels,
                  Imf::PIZ_COMPRESSION);
}

void WriteFrame(const Options& o, const scenegen::World& world, uint32_t frame, uint32_t out_w, uint32_t out_h) {
    char name[32];
    std::snprintf(name, sizeof name, "%04u.exr", frame);
    const fs::path root(o.folder);
    const auto jitter = scenegen::Jitter(frame);
    // Motion from the previous frame to this one, as decoded by the tool it
    // must point back: the encoded form stores it forwards, the raw form backwards.
    auto velocity = [&](const scenegen::Hit& hit) {
        float vx = hit.motion_x, vy = hit.motion_y;
        if (!o.pixel_velocity) {
            vx = 2.0f * vx / world.width;
            vy = -2.0f * vy / world.height;
        }
        return o.raw ? Encoded(-vx, -vy, true) : Encoded(vx, vy, false);
    };
    auto sample = [&](uint32_t x, uint32_t y) {
        return scenegen::Shade(world, x + 0.5f + jitter[0], y + 0.5f + jitter[1], frame);
    };
    const auto w = static_cast<uint32_t>(world.width), h = static_cast<uint32_t>(world.height);
    WriteImage(root / "color" / name, w, h, [&](uint32_t x, uint32_t y) {
        const auto hit = sample(x, y);
        return Imf::Rgba(hit.color[0], hit.color[1], hit.color[2], 1.0f);
    });
    WriteImage(root / "velocity" / name, w, h, [&](uint32_t x, uint32_t y) { return velocity(sample(x, y)); });
    WriteImage(root / "depth" / name, w, h,
               [&](uint32_t x, uint32_t y) { return Imf::Rgba(sample(x, y).depth, 0.0f, 0.0f, 1.0f); });
    WriteImage(root / "jitter" / name, 1, 1, [&](uint32_t, uint32_t) { return Encoded(jitter[0], jitter[1], o.raw); });
    if (o.exposure) {
        WriteImage(root / "exposure" / name, 1, 1,
                   [&](uint32_t, uint32_t) { return Imf::Rgba(o.exposure_value, 0.0f, 0.0f, 1.0f); });
    }
    if (o.mask) {
        // The fastest disc is marked responsive: integers 0 or 255 in R.
        WriteImage(root / "mask" / name, w, h, [&](uint32_t x, uint32_t y) {
            return Imf::Rgba(sample(x, y).disc == 0 ? 255.0f : 0.0f, 0.0f, 0.0f, 1.0f);
        });
    }
    if (o.truth_samples == 0) return;
    const uint32_t n = o.truth_samples;
    WriteImage(root / "ground_truth" / name, out_w, out_h, [&](uint32_t ox, uint32_t oy) {
        float sum[3] = {0, 0, 0};
        for (uint32_t k = 0; k < n * n; ++k) {
            const float px = (ox + (k % n + 0.5f) / n) * world.width / out_w;
            const float py = (oy + (k / n + 0.5f) / n) * world.height / out_h;
            const auto hit = scenegen::Shade(world, px, py, frame);
            for (int c = 0; c < 3; ++c) sum[c] += hit.color[c];
        }
        const float count = static_cast<float>(n * n);
        return Imf::Rgba(sum[0] / count, sum[1] / count, sum[2] / count, 1.0f);
    });
}

void WriteConfig(const Options& o) {
    const fs::path root = fs::canonical(o.folder);
    std::ostringstream config;
    config << "# Written by scenegen: run it with inference_tool --config " << PathToUtf8(root / "scene.ini") << "\n"
           << "scene_path=\"" << PathToUtf8(root) << "\"\n"
           << "noaa_name=\"color\"\nvelocity_name=\"velocity\"\ndepth_name=\"depth\"\njitter_name=\"jitter\"\n"
           << "output_path=\"" << PathToUtf8(root / "output") << "\"\n"
           << "quality=\"" << o.quality << "\"\n";
    if (o.exposure) config << "exposure_name=\"exposure\"\n";
    if (o.mask) config << "responsive_mask_name=\"mask\"\n";
    if (o.pixel_velocity) config << "velocity_viewport_space=true\n";
    if (o.raw) config << "raw_velocity=true\nraw_jitter=true\n";
    WriteWholeFile(root / "scene.ini", config.str(), AtomicFile::Mode::kText);
}

}  // namespace

int main(int argc, char** argv) {
    RemoveTemporaryFilesOnSignals();
    CLI::App app("scenegen: writes a synthetic scene for the inference tool");
    Options o;
    app.add_option("folder", o.folder, "Folder to write the scene into")->required();
    app.add_option("--width", o.width, "Input width in pixels")->check(CLI::Range(8u, 8192u));
    app.add_option("--height", o.height, "Input height in pixels")->check(CLI::Range(8u, 8192u));
    app.add_option("--frames", o.frames, "Number of frames")->check(CLI::Range(1u, 100000u));
    app.add_option("--quality", o.quality, "Quality setting the ground truth is sized for")
        ->check([](const std::string& name) {
            for (const Quality& quality : kQualities) {
                if (name == quality.name) return std::string();
            }
            return "unknown quality " + name;
        });
    app.add_flag("--exposure", o.exposure, "Write an exposure input");
    app.add_flag("--mask", o.mask, "Write a responsive mask input");
    app.add_flag("--raw", o.raw, "Store velocity and jitter as signed values instead of sign bits");
    app.add_flag("--pixel-velocity", o.pixel_velocity,
                 "Velocity in input pixels instead of normalised device coordinates");
    app.add_option("--speed", o.speed, "Motion speed multiplier")->check(tools::FiniteRange(0, 100));
    app.add_option("--seed", o.seed, "Seed of the scene's layout");
    std::string kinds;
    for (const auto& kind : scenegen::kSceneKinds) kinds += std::string(kinds.empty() ? "" : ", ") + kind.name;
    app.add_option("--kind", o.kind, "What the scene shows: " + kinds)->check([](const std::string& name) {
        for (const auto& kind : scenegen::kSceneKinds) {
            if (name == kind.name) return std::string();
        }
        return "unknown scene kind " + name;
    });
    app.add_option("--truth-samples", o.truth_samples,
                   "Samples per axis of each ground-truth pixel; 0 writes no ground truth")
        ->check(CLI::Range(0u, 16u));
    CLI11_PARSE(app, argc, argv);

    try {
        // Everything is checked before the first folder is made.
        if (o.folder.empty()) throw std::invalid_argument("the scene folder must not be empty");
        const float factor = UpscaleFactor(QualityFromName(o.quality));
        const uint32_t out_w = OutputSize(o.width, factor), out_h = OutputSize(o.height, factor);
        const scenegen::World world = scenegen::MakeWorld(o.width, o.height, o.speed, o.seed, KindNamed(o.kind));
        for (const char* folder : {"color", "velocity", "depth", "jitter"}) {
            fs::create_directories(fs::path(o.folder) / folder);
        }
        if (o.truth_samples > 0) fs::create_directories(fs::path(o.folder) / "ground_truth");
        if (o.exposure) fs::create_directories(fs::path(o.folder) / "exposure");
        if (o.mask) fs::create_directories(fs::path(o.folder) / "mask");
        for (uint32_t frame = 0; frame < o.frames; ++frame) WriteFrame(o, world, frame, out_w, out_h);
        WriteRegions(o, world, out_w, out_h);
        WriteConfig(o);
        std::cout << "Wrote " << o.frames << " frames of " << o.width << "x" << o.height << " (output size " << out_w
                  << "x" << out_h << ") to " << PathToUtf8(fs::canonical(o.folder)) << std::endl;
    } catch (const std::exception& error) {
        std::cerr << "scenegen: " << error.what() << std::endl;
        return 1;
    }
    return 0;
}
