// The dump writers on hand-made resources and tensors.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <random>

#include "dump/csv_number.h"
#include "dump/dump_collection.h"
#include "dump/dump_writer.h"
#include "dump/half.h"
#include "dump/output_tensor.h"
#include "dump/tensor_dump.h"
#include "scene/exr_image.h"
#include "tests/test_support.h"

namespace {

namespace fs = std::filesystem;

// One listed resource with its read-back bytes, and a dump request into a
// temporary output folder.
struct HandMade {
    test::TempDir out;
    std::string output_directory = out.path().string();
    std::vector<std::vector<uint32_t>> storage;  // one per subresource
    std::vector<size_t> byte_counts;
    D3D12_RESOURCE_DESC desc{};
    std::string name = "res";
    uint32_t as_tensor = 0, padding = 0, channels = 0, buffer_width = 0, buffer_height = 0;

    void Texture(uint32_t width, uint32_t height, DXGI_FORMAT format, uint16_t slices = 1) {
        desc.Dimension = D3D12_RESOURCE_DIMENSION_TEXTURE2D;
        desc.Width = width;
        desc.Height = height;
        desc.DepthOrArraySize = slices;
        desc.Format = format;
    }
    void Buffer(uint32_t words, uint32_t buffer_channels, uint32_t width, uint32_t height) {
        desc.Dimension = D3D12_RESOURCE_DIMENSION_BUFFER;
        desc.Width = words * 4;
        as_tensor = 1;
        channels = buffer_channels;
        buffer_width = width;
        buffer_height = height;
        Subresource(std::vector<uint32_t>(words));
        for (uint32_t i = 0; i < words; ++i) storage[0][i] = i;
    }
    void Subresource(std::vector<uint32_t> words, size_t bytes = SIZE_MAX) {
        byte_counts.push_back(bytes == SIZE_MAX ? words.size() * 4 : bytes);
        storage.push_back(std::move(words));
    }

    // Runs the writer; returns its standard output. A failure's text goes to
    // `error` when given, and is rethrown otherwise.
    std::string Dump(uint32_t frame = 0, std::string* error = nullptr) {
        CollectedResource resource{desc, {}};
        for (size_t s = 0; s < storage.size(); ++s) {
            resource.subresources.emplace_back(reinterpret_cast<const uint8_t*>(storage[s].data()), byte_counts[s]);
        }
        const std::vector<CollectedResource> resources = {resource};
        ID3D12Resource* resource_pointers[] = {nullptr};
        const char* names[] = {name.c_str()};
        const ResourceDumpList list{1,        resource_pointers, names,         &as_tensor,
                                    &padding, &channels,         &buffer_width, &buffer_height};
        const DumpRequest request{frame, output_directory, "", "", false, 0, 0, 0};
        return test::CapturedStdout([&] {
            try {
                DumpOneResource({list, {}, {}, resources, request}, 0);
            } catch (const std::exception& failure) {
                if (error == nullptr) throw;
                *error = failure.what();
            }
        });
    }

    fs::path TensorFile(const std::string& file, uint32_t frame = 0) const {
        return out.path() / "sequence_dump" / ("step_" + std::to_string(frame)) / DumpDirectoryName(name) / file;
    }
    std::string Table(const std::string& file = "C_000.csv") const { return test::ReadText(TensorFile(file)); }
};

// A request for a dump into `directory`, with the region of interest given.
DumpRequest Into(const std::string& directory, uint32_t frame, bool roi = false, double size = 0, double x0 = 0,
                 double y0 = 0) {
    return {.frame_number = frame,
            .output_directory = directory,
            .roi_enabled = roi,
            .roi_size = size,
            .roi_x0 = x0,
            .roi_y0 = y0};
}

// A region of interest request alone.
DumpRequest Region(bool roi, double size, double x0, double y0) {
    static const std::string nowhere;
    return Into(nowhere, 0, roi, size, x0, y0);
}

std::string ErrorOf(HandMade& resource) {
    std::string error = "(no error)";
    resource.Dump(0, &error);
    return error;
}

}  // namespace

TEST(HalfToFloat, IsExactForEveryClassOfValue) {
    EXPECT_EQ(std::bit_cast<uint32_t>(HalfToFloat(0x8000)), 0x80000000u) << "negative zero";
    EXPECT_EQ(HalfToFloat(0x0001), std::ldexp(1.0f, -24)) << "smallest subnormal";
    EXPECT_EQ(HalfToFloat(0x03FF), std::ldexp(1023.0f, -24)) << "largest subnormal";
    EXPECT_EQ(HalfToFloat(0x7BFF), 65504.0f);
    EXPECT_EQ(HalfToFloat(0x7C00), std::numeric_limits<float>::infinity());
    EXPECT_EQ(std::bit_cast<uint32_t>(HalfToFloat(0x7E01)), 0x7FC02000u) << "NaN keeps its payload";
    const uint16_t interleaved[] = {0x3C00, 0xFFFF, 0x4000, 0xFFFF};
    float out[2];
    HalfToFloat(interleaved, 2, out, 1);
    EXPECT_EQ(out[0], 1.0f);
    EXPECT_EQ(out[1], 2.0f);
}

TEST(SplitFilterList, DropsEmptyPartsAndKeepsBlanks) {
    EXPECT_EQ(SplitFilterList("a,,b,"), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(SplitFilterList(""), std::vector<std::string>{});
    EXPECT_EQ(SplitFilterList("lum, tmp"), (std::vector<std::string>{"lum", " tmp"}));
}

TEST(RegionOfInterest, PaddingAndTheNormalisedRegion) {
    const DumpRect padded = RegionOfInterest(4, 4, 1, 1, Region(false, 0, 0, 0));
    EXPECT_EQ(std::make_tuple(padded.x0, padded.x1, padded.y0, padded.y1), std::make_tuple(1, 2, 1, 2));
    const DumpRect region = RegionOfInterest(300, 200, 0, 0, Region(true, 0.5, 0.5, 0));
    EXPECT_EQ(std::make_tuple(region.x0, region.x1, region.y0, region.y1), std::make_tuple(128, 256, 0, 64));
    EXPECT_EQ(region.Width(), 129);
    EXPECT_EQ(region.Height(), 65);
    const DumpRect clamped = RegionOfInterest(300, 200, 0, 0, Region(true, 0.5, 1.5, 0));
    EXPECT_EQ(std::make_tuple(clamped.x0, clamped.x1), std::make_tuple(299, 299));
    EXPECT_EQ(RegionOfInterest(256, 256, 0, 0, Region(true, 0.25, 0, 0)).Width(), 65);
    // Padding of half the tensor or more leaves nothing, never a wrapped range.
    EXPECT_TRUE(RegionOfInterest(4, 4, 2, 2, Region(false, 0, 0, 0)).Empty());
    EXPECT_TRUE(RegionOfInterest(4, 4, 9, 0, Region(true, 0.5, 0, 0)).Empty());
    // Huge and NaN inputs are defined: they clamp.
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const DumpRect odd = RegionOfInterest(300, 200, 0, 0, Region(true, 1e300, nan, 1e300));
    EXPECT_EQ(std::make_tuple(odd.x0, odd.x1, odd.y0, odd.y1), std::make_tuple(0, 299, 199, 199));
}

// A padding that leaves nothing, in both directions or across only,
// leaves a table of its head line alone. (Padded tables with values are the
// golden runs'.)
TEST(TensorDump, PaddingThatLeavesNoValuesLeavesTheHeadLineAlone) {
    test::TempDir out;
    const fs::path table = out / "sequence_dump" / "step_3" / "t" / "C_000.csv";
    for (const uint64_t width : {4, 10}) {
        test::CapturedStdout(
            [&] { DumpTensorAsFp64(Tensor<double>(1, width, 4), 2, 2, Into(out.path().string(), 3), "t"); });
        EXPECT_EQ(test::ReadText(table), "c_y/x") << width;
    }
}

TEST(TensorDump, HostileNamesStayInsideTheDumpTree) {
    test::TempDir out;
    Tensor<double> tensor(1, 1, 1);
    for (const std::string name : {"../../x", "..", "", "a\\b", "C:evil"}) {
        const std::string console =
            test::CapturedStdout([&] { DumpTensorAsFp64(tensor, 0, 0, Into((out / "o").string(), 0), name); });
        EXPECT_NE(console.find("(original name === " + name + ")"), std::string::npos) << console;
    }
    for (const auto& entry : fs::recursive_directory_iterator(out.path())) {
        if (!entry.is_regular_file()) continue;
        const std::string path = fs::weakly_canonical(entry.path()).string();
        EXPECT_EQ(path.rfind(fs::weakly_canonical(out / "o" / "sequence_dump" / "step_0").string(), 0), 0u) << path;
    }
    EXPECT_TRUE(fs::exists(out / "o" / "sequence_dump" / "step_0" / ".._.._x" / "C_000.csv"));
    EXPECT_TRUE(fs::exists(out / "o" / "sequence_dump" / "step_0" / "__" / "C_000.csv"));
}

TEST(DumpWriter, SizeAndFormatErrors) {
    HandMade short_data;
    short_data.name = "short";
    short_data.Texture(8, 4, DXGI_FORMAT_R16_FLOAT);
    short_data.Subresource(std::vector<uint32_t>(16), 62);  // 64 bytes are needed
    EXPECT_EQ(ErrorOf(short_data), "Resource Dump: size mismatch for short");

    // An odd pixel count of a 2-byte format ends in half a word: the real
    // size counts, one byte less is short.
    for (const auto& [bytes, fits] : {std::pair{size_t{18}, true}, {size_t{17}, false}, {size_t{16}, false}}) {
        HandMade odd;
        odd.name = "odd";
        odd.Texture(3, 3, DXGI_FORMAT_R16_FLOAT);
        odd.Subresource(std::vector<uint32_t>(5, 0x3C003C00u), bytes);
        EXPECT_EQ(ErrorOf(odd), fits ? "(no error)" : "Resource Dump: size mismatch for odd") << bytes;
    }

    HandMade unsupported;
    unsupported.name = "u";
    unsupported.Texture(1, 1, DXGI_FORMAT_R8G8B8A8_UNORM);
    unsupported.Subresource({0});
    EXPECT_NE(
        ErrorOf(unsupported).find("Resource Dump supports dumping as FP textures for  DXGI_FORMAT_R16G16B16A16_FLOAT"),
        std::string::npos);
    unsupported.as_tensor = 1;
    std::string message;
    const std::string console = unsupported.Dump(0, &message);
    EXPECT_EQ(console, message + "\nTHROW\n");
    EXPECT_EQ(message.rfind("Resource Dump supports dumping as tensor for  DXGI_FORMAT_R32G32B32A32_UINT", 0), 0u);
    EXPECT_EQ(message.substr(message.size() - 30), "), textures. Resource name = u");

    HandMade buffer_as_image;
    buffer_as_image.Buffer(8, 16, 2, 1);
    buffer_as_image.as_tensor = 0;
    EXPECT_NE(ErrorOf(buffer_as_image).find("as FP textures"), std::string::npos);
}

// A buffer of bytes holds 16 channels per RGBA32 word group, as many groups
// as whole ones fit; an "_int32_" buffer one channel per slice.
TEST(DumpWriter, BufferChannelsFollowTheirCount) {
    struct BufferCase {
        std::string name;
        uint32_t channels;
        int expected_channels;
    };
    for (const BufferCase& c :
         {BufferCase{"a_int32_b", 8, 8}, BufferCase{"plain", 32, 32}, BufferCase{"plain20", 20, 16}}) {
        HandMade buffer;
        buffer.name = c.name;
        buffer.Buffer(64, c.channels, 2, 2);  // 64 words
        buffer.Dump();
        char last[32], next[32];
        std::snprintf(last, sizeof last, "C_%03d.csv", c.expected_channels - 1);
        std::snprintf(next, sizeof next, "C_%03d.csv", c.expected_channels);
        EXPECT_TRUE(fs::exists(buffer.TensorFile(last))) << c.name;
        EXPECT_FALSE(fs::exists(buffer.TensorFile(next))) << c.name;
    }
}

TEST(CsvNumbers, MatchPrintfByteForByte) {
    std::vector<double> values = {0.0,
                                  -0.0,
                                  0.5,
                                  -0.5,
                                  0.0078125,
                                  -0.0078125,
                                  1e-7,
                                  -1e-9,
                                  5e-7,
                                  1.5e-6,
                                  2.5e-6,
                                  0.1234565,
                                  123456.7890125,
                                  8796093022207.5,
                                  8796093022208.0,
                                  1e300,
                                  -1e300,
                                  std::numeric_limits<double>::denorm_min(),
                                  std::numeric_limits<double>::max(),
                                  std::numeric_limits<double>::infinity(),
                                  -std::numeric_limits<double>::infinity(),
                                  std::numeric_limits<double>::quiet_NaN(),
                                  -std::numeric_limits<double>::quiet_NaN()};
    std::mt19937_64 random(7);
    for (int i = 0; i < 200000; ++i) {
        const uint64_t bits = random();
        const double any = std::bit_cast<double>(bits);
        values.push_back(any);
        values.push_back(
            static_cast<float>(std::ldexp(static_cast<double>(bits >> 40), static_cast<int>(bits % 60) - 50)));
        values.push_back(static_cast<double>(static_cast<int64_t>(bits % 2000000) - 1000000) / 2097152.0);  // ties
    }
    for (double value : values) {
        std::string fast;
        AppendFixed6(fast, value);
        char expected[400];
        std::snprintf(expected, sizeof expected, "%f", value);
        ASSERT_EQ(fast, expected) << std::hexfloat << value;
    }
}
