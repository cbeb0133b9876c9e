// The dump files of a small scene, byte for byte, against a manifest kept in
// the repository: a change of the upscaler's speed or memory must not change
// what it dumps. After a deliberate change of the algorithm, regenerate the
// manifest with ORFA_UPDATE_DUMP_MANIFEST=1.
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

TEST(DumpGolden, EveryDumpedFileIsAsBefore) {
    const fs::path stored = fs::path(SOURCE_DIR) / "tests" / "data" / "dump_manifest.txt";
    std::string manifest;
    for (const char* model : {"kpss", "splat"}) {
        test::TempDir dir;
        std::vector<std::string> args = test::GenerateScene(
            dir.path(), {"--width", "16", "--height", "8", "--frames", "2", "--exposure", "--mask"});
        args.insert(args.end(), {"--do_dump", "--network_name", model});
        ASSERT_EQ(test::RunTool(args).exit_code, 0);
        std::istringstream lines(Manifest(dir / "out" / "sequence_dump"));
        for (std::string line; std::getline(lines, line);) manifest += std::string(model) + "/" + line + "\n";
    }
    if (std::getenv("ORFA_UPDATE_DUMP_MANIFEST") != nullptr) test::WriteText(stored, manifest);
    EXPECT_EQ(manifest, test::ReadText(stored));
}
