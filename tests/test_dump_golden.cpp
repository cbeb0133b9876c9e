// The outputs and dump files of the reference upscaler, byte for byte,
// against digests kept in the repository: a change of its speed or memory
// must not change what it writes. After a deliberate change of the
// algorithm, write the digests anew with ORFA_UPDATE_DUMP_MANIFEST=1.
#include <gtest/gtest.h>

#include <cstdlib>
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

std::string Manifest(const fs::path& tree) {
    std::ostringstream manifest;
    for (const auto& [name, bytes] : test::FilesWithContents(tree)) {
        char digest[17];
        std::snprintf(digest, sizeof digest, "%016llx", static_cast<unsigned long long>(Digest(bytes)));
        manifest << name << " " << bytes.size() << " " << digest << "\n";
    }
    return manifest.str();
}

}  // namespace

// Outputs and dumps of every scene kind and of the modes that take their own
// ways through the passes, one digest per run. The passes run as portable
// code or, where the processor has them, with AVX2 and F16C: where it has,
// each run is made both ways, and both must write the same bytes.
TEST(DumpGolden, EveryKindAndModeWritesWhatItDidBefore) {
    const bool vector_passes = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("f16c");
    struct Run {
        std::string name;
        std::vector<std::string> scene, tool;
    };
    const std::vector<Run> runs = {
        {"disocclusion-mask", {"--kind", "disocclusion", "--mask"}, {}},
        {"disocclusion-splat", {"--kind", "disocclusion"}, {"--network_name", "splat"}},
        {"hdr-exposure", {"--kind", "hdr", "--exposure"}, {}},
        {"moving-shadow", {"--kind", "moving-shadow"}, {}},
        {"thin-lines", {"--kind", "thin-lines"}, {}},
        {"thin-lines-splat", {"--kind", "thin-lines"}, {"--network_name", "splat"}},
        {"fast-pan-without-depth", {"--kind", "fast-pan"}, {"--depth_name", ""}},
        {"ldr", {}, {"--ldr_input_color"}},
        {"inverted-depth-jittered-motion", {}, {"--inversed_depth", "--jittered_mv"}},
        {"static-ultra-quality", {"--kind", "static"}, {"--quality", "ultra_quality"}},
        {"huge-jitter-scale", {}, {"--jitter_scale", "1e20", "1"}},
        {"pixel-velocity", {"--pixel-velocity"}, {"--velocity_viewport_space"}},
    };
    const fs::path stored = fs::path(SOURCE_DIR) / "tests" / "data" / "golden_runs.txt";
    std::string digests;
    for (const Run& run : runs) {
        SCOPED_TRACE(run.name);
        test::TempDir dir;
        std::vector<std::string> scene = {"--width", "48", "--height", "32", "--frames", "4", "--truth-samples", "0"};
        scene.insert(scene.end(), run.scene.begin(), run.scene.end());
        std::vector<std::string> args = test::GenerateScene(dir.path(), scene);
        args.insert(args.end(), run.tool.begin(), run.tool.end());
        args.push_back("--do_dump");
        ASSERT_EQ(test::RunTool(args, {}, {}, {"KAVO_INSTRUCTIONS=native"}).exit_code, 0);
        const std::string manifest = Manifest(dir / "out");
        if (vector_passes) {
            fs::remove_all(dir / "out");
            ASSERT_EQ(test::RunTool(args, {}, {}, {"KAVO_INSTRUCTIONS=portable"}).exit_code, 0);
            EXPECT_EQ(Manifest(dir / "out"), manifest) << "the portable passes wrote other bytes";
        }
        char digest[17];
        std::snprintf(digest, sizeof digest, "%016llx", static_cast<unsigned long long>(Digest(manifest)));
        digests += run.name + " " + digest + "\n";
    }
    if (std::getenv("ORFA_UPDATE_DUMP_MANIFEST") != nullptr) test::WriteText(stored, digests);
    EXPECT_EQ(digests, test::ReadText(stored));
}
