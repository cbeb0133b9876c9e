// What the tool and the reference upscaler write, print and call, byte for
// byte, against digests kept in the repository: a change of their speed or
// memory must not change it. After a deliberate change of what they
// compute or print, write the digests anew with ORFA_UPDATE_DUMP_MANIFEST=1.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <numeric>
#include <sstream>

#include "tests/test_support.h"

namespace {

namespace fs = std::filesystem;

// FNV-1a, 64 bits: enough to tell any change of a file.
uint64_t Digest(const std::string& bytes) {
    uint64_t hash = 14695981039346656037ull;
    for (unsigned char c : bytes) hash = (hash ^ c) * 1099511628211ull;
    return hash;
}

std::string DigestText(const std::string& bytes) {
    char digest[17];
    std::snprintf(digest, sizeof digest, "%016llx", static_cast<unsigned long long>(Digest(bytes)));
    return digest;
}

std::string Manifest(const fs::path& tree) {
    std::ostringstream manifest;
    for (const auto& [name, bytes] : test::FilesWithContents(tree)) {
        manifest << name << " " << bytes.size() << " " << DigestText(bytes) << "\n";
    }
    return manifest.str();
}

// `text` with every `name` replaced by `label`.
std::string Named(std::string text, const std::string& name, const std::string& label) {
    for (size_t at = text.find(name); at != std::string::npos; at = text.find(name, at + label.size())) {
        text.replace(at, name.size(), label);
    }
    return text;
}

// The lines of `text`, sorted, as dumps are written in parallel, with the
// run's folder, which differs from run to run, named "<dir>".
std::string SortedLines(const std::string& text, const std::string& dir) {
    std::vector<std::string> lines;
    std::istringstream stream(Named(text, dir, "<dir>"));
    for (std::string line; std::getline(stream, line);) lines.push_back(line + "\n");
    std::sort(lines.begin(), lines.end());
    return std::accumulate(lines.begin(), lines.end(), std::string());
}

}  // namespace

// What the tool makes of every scene kind and of the options that take
// their own ways through the tool and the passes: its files, what it prints,
// and every call it makes of the library with its arguments (recorded by
// kavo_recorder), digested one by one. Each run is made twice: with the
// passes in AVX2 and F16C where the processor has them, and with the portable
// passes and the device running submitted work later, on its own thread,
// so that a missing wait for the device reads stale data. Both must agree.
TEST(DumpGolden, EveryKindAndModeWritesWhatItDidBefore) {
    struct Run {
        std::string name;
        std::vector<std::string> scene, tool;
        std::vector<std::string> environment = {};
        std::string removed = {};  // a scene file taken away before the run
    };
    const std::vector<Run> runs = {
        // A missing mask gives its frame an empty one; an exposure scale
        // without an exposure texture reaches the library as it is.
        {"disocclusion-mask",
         {"--kind", "disocclusion", "--mask"},
         {"--exposure_scale", "2.5", "--do_dump"},
         {},
         "mask/0001.exr"},
        {"disocclusion-splat", {"--kind", "disocclusion"}, {"--network_name", "splat", "--do_dump"}},

        {"hdr-copied-exposure",
         {"--kind", "hdr"},
         {"--copy_exposure_scale_to_exposure_texture", "--exposure_scale", "2.5", "--do_dump"}},
        // Sizes that leave groups of rows and columns of the passes part full.
        {"moving-shadow", {"--kind", "moving-shadow", "--width", "70", "--height", "33"}, {"--do_dump"}},
        {"hdr-exposure",
         {"--kind", "hdr", "--exposure", "--width", "70", "--height", "33"},
         {"--exposure_scale", "2.5", "--do_dump"}},
        {"odd-size", {"--width", "70", "--height", "9"}, {"--do_dump"}},
        // Motion along one axis only.
        {"vertical-motion", {"--kind", "slow-pan", "--speed", "4"}, {"--velocity_scale", "0", "1", "--do_dump"}},
        {"thin-lines-inverted-motion",
         {"--kind", "thin-lines"},
         {"--network_name", "kpss", "--inversed_mv", "--do_dump"}},
        {"thin-lines-splat", {"--kind", "thin-lines"}, {"--network_name", "splat", "--do_dump"}},
        {"splat-refused", {}, {"--network_name", "splat", "--do_dump"}, {"KAVO_RECORD_REFUSE_MODELS=1"}},
        {"fast-pan-without-depth", {"--kind", "fast-pan"}, {"--depth_name", "", "--do_dump"}},
        {"ldr", {}, {"--ldr_input_color", "--jitter_scale", "1", "1", "--velocity_scale", "1", "1", "--do_dump"}},
        {"forward-depth-jittered-motion", {}, {"--inversed_depth=false", "--jittered_mv", "--do_dump"}},
        {"static-ultra-quality",
         {"--kind", "static"},
         {"--quality", "ultra_quality", "--network_name", "SPLAT", "--do_dump"}},
        {"huge-scales", {}, {"--jitter_scale", "1e20", "1", "--velocity_scale", "-1", "3", "--do_dump"}},
        {"pixel-velocity", {"--pixel-velocity"}, {"--velocity_viewport_space", "--do_dump"}},
        {"raw-inverted",
         {"--pixel-velocity", "--raw"},
         {"--velocity_viewport_space", "--raw_velocity", "--raw_jitter", "--inversed_mv", "--do_dump"}},
        {"offsets-filtered",
         {},
         {"--color_base_offset", "3", "4", "--velocity_base_offset", "5", "6", "--depth_base_offset", "7", "8",
          "--do_dump", "--dump_resource_filter", "history,motion", "--dump_resource_exclude_filter", "reprojected"}},
        {"adapters-listed", {}, {"--list_dxgi_adapters", "--do_dump"}, {"SOFTGPU_ADAPTERS=sw:Soft;hw:Fast"}},
        {"output-tensor-region",
         {},
         {"--do_dump_output_as_tensor", "--dump_roi_size_normalized", "0.25", "--dump_roi_x0_normalized", "0.1"}},
    };
    const fs::path stored = fs::path(SOURCE_DIR) / "tests" / "data" / "golden_runs.txt";
    std::string digests;
    for (const Run& run : runs) {
        SCOPED_TRACE(run.name);
        test::TempDir dir;
        // 48 x 32 pixels unless the run names its size.
        std::vector<std::string> scene = run.scene;
        if (std::find(scene.begin(), scene.end(), "--width") == scene.end()) {
            scene.insert(scene.end(), {"--width", "48", "--height", "32"});
        }
        scene.insert(scene.end(), {"--frames", "4", "--truth-samples", "0"});
        std::vector<std::string> args = test::GenerateScene(dir.path(), scene);
        args.insert(args.end(), run.tool.begin(), run.tool.end());
        if (!run.removed.empty()) fs::remove(dir / run.removed);
        std::string first;
        for (const char* way : {"KAVO_INSTRUCTIONS=native", "KAVO_INSTRUCTIONS=portable"}) {
            fs::remove_all(dir / "out");
            fs::remove(dir / "calls.txt");
            std::vector<std::string> environment = {way, std::string("LD_LIBRARY_PATH=") + KAVO_RECORDER_DIR,
                                                    "KAVO_RECORD_FILE=" + (dir / "calls.txt").string()};
            if (!first.empty()) environment.push_back("SOFTGPU_DEFERRED_EXECUTION=1");
            environment.insert(environment.end(), run.environment.begin(), run.environment.end());
            const test::ProgramResult result = test::RunTool(args, {}, {}, environment);
            ASSERT_EQ(result.exit_code, 0) << result.err;
            // The files, the printed lines and the calls, each digested on
            // its own so that a changed digest tells which of them changed.
            const std::string made = DigestText(Manifest(dir / "out")) + " " +
                                     DigestText(SortedLines(result.out + result.err, dir.path().string())) + " " +
                                     DigestText(test::ReadText(dir / "calls.txt"));
            if (first.empty()) {
                first = made;
            } else {
                EXPECT_EQ(made, first) << "the two ways disagree";
            }
        }
        digests += run.name + " " + first + "\n";
    }
    // The help, every option in the order declared.
    const test::ProgramResult help = test::RunTool({"--help"});
    EXPECT_EQ(help.exit_code, 0);
    digests += "help " + DigestText(Named(help.out, INFERENCE_TOOL_PATH, "<tool>")) + "\n";
    if (std::getenv("ORFA_UPDATE_DUMP_MANIFEST") != nullptr) test::WriteText(stored, digests);
    EXPECT_EQ(digests, test::ReadText(stored));
}
