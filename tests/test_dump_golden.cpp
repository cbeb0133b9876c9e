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
// ways through the passes, one digest per run.
TEST(DumpGolden, EveryKindAndModeWritesWhatItDidBefore) {
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
        ASSERT_EQ(test::RunTool(args).exit_code, 0);
        char digest[17];
        std::snprintf(digest, sizeof digest, "%016llx", static_cast<unsigned long long>(Digest(Manifest(dir / "out"))));
        digests += run.name + " " + digest + "\n";
    }
    if (std::getenv("ORFA_UPDATE_DUMP_MANIFEST") != nullptr) test::WriteText(stored, digests);
    EXPECT_EQ(digests, test::ReadText(stored));
}

// The upscaler's passes run as portable code or, where the processor has
// them, with AVX2 and F16C; both must write the same bytes, outputs and
// dumps alike, whatever the scene exercises.
TEST(DumpGolden, PortableAndVectorPassesWriteTheSameBytes) {
    if (!__builtin_cpu_supports("avx2") || !__builtin_cpu_supports("f16c")) {
        GTEST_SKIP() << "this processor runs the portable passes only";
    }
    const std::vector<std::vector<std::string>> scenes = {
        {"--kind", "disocclusion", "--mask"},  // depth, a moving object, a responsive mask
        {"--kind", "hdr", "--exposure"},       // values far above 1, an exposure texture
        {"--kind", "moving-shadow"},           // shading that changes without motion
        {"--kind", "thin-lines"},              // thin features kept through shading changes
    };
    for (const std::vector<std::string>& scene : scenes) {
        for (const char* model : {"kpss", "splat"}) {
            SCOPED_TRACE(scene[1] + std::string(" ") + model);
            test::TempDir dir;
            std::vector<std::string> kind = {"--width",  "48", "--height",        "32",
                                             "--frames", "4",  "--truth-samples", "0"};
            kind.insert(kind.end(), scene.begin(), scene.end());
            const std::vector<std::string> args = test::GenerateScene(dir.path(), kind);
            std::vector<std::pair<std::string, std::string>> trees[2];
            for (int portable = 0; portable < 2; ++portable) {
                std::vector<std::string> run = args;
                run.insert(run.end(), {"--network_name", model, "--do_dump"});
                const std::vector<std::string> environment = {portable ? "KAVO_INSTRUCTIONS=portable"
                                                                       : "KAVO_INSTRUCTIONS=native"};
                ASSERT_EQ(test::RunTool(run, {}, {}, environment).exit_code, 0);
                trees[portable] = test::FilesWithContents(dir / "out");
                fs::remove_all(dir / "out");
            }
            ASSERT_GT(trees[0].size(), 4u);
            EXPECT_TRUE(trees[0] == trees[1]);
        }
    }
}
