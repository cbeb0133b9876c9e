// Reading and writing the tool's EXR images.
#include <gtest/gtest.h>

#include <ImfFloatAttribute.h>
#include <ImfHeader.h>
#include <ImfInputFile.h>
#include <ImfIntAttribute.h>

#include <vector>

#include "scene/exr_image.h"
#include "tests/test_support.h"

TEST(ExrImage, DataWindowOriginLandsInTheFirstElement) {
    test::TempDir dir;
    std::vector<float> red(100);
    for (size_t i = 0; i < red.size(); ++i) red[i] = static_cast<float>(i);
    test::WriteChannels(dir / "w.exr", 10, 10, {{"R", red}}, 10, 20);

    ExrImageInfo info;
    Imf::Array2D<Imf::Rgba> pixels;
    ReadExrImage((dir / "w.exr").string(), info, pixels);
    EXPECT_EQ(info.width, 10u);
    EXPECT_EQ(info.height, 10u);
    EXPECT_EQ(float(pixels[0][0].r), 0.0f);
    EXPECT_EQ(float(pixels[0][9].r), 9.0f);
    EXPECT_EQ(float(pixels[9][3].r), 93.0f);
    // Channels the file lacks: 0 for G and B, 1 for A.
    EXPECT_EQ(float(pixels[4][4].g), 0.0f);
    EXPECT_EQ(float(pixels[4][4].b), 0.0f);
    EXPECT_EQ(float(pixels[4][4].a), 1.0f);
}

TEST(ExrImage, WrittenImageReadsBackWithItsPixelsAndFixedAttributes) {
    test::TempDir dir;
    Imf::Array2D<Imf::Rgba> pixels(2, 3);
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 3; ++x) pixels[y][x] = Imf::Rgba(x * 0.5f, y + 0.25f, -1.5f, 0.75f);
    const std::string path = (dir / "o.exr").string();
    WriteExrImage(path, {3, 2, 7, 2.5f, 99.0f}, pixels, Imf::PIZ_COMPRESSION);

    Imf::InputFile raw(path.c_str());
    EXPECT_EQ(raw.header().compression(), Imf::PIZ_COMPRESSION);
    EXPECT_EQ(raw.header().typedAttribute<Imf::IntAttribute>("sample").value(), 7);
    EXPECT_EQ(raw.header().typedAttribute<Imf::FloatAttribute>("expL").value(), 2.5f);
    EXPECT_EQ(raw.header().typedAttribute<Imf::FloatAttribute>("maxL").value(), 99.0f);

    ExrImageInfo info;
    Imf::Array2D<Imf::Rgba> read;
    ReadExrImage(path, info, read);
    EXPECT_EQ(info.sample, 0);
    EXPECT_EQ(info.expL, 1.0f);
    EXPECT_EQ(info.maxL, 1000.0f);
    ASSERT_EQ(info.width, 3u);
    ASSERT_EQ(info.height, 2u);
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 3; ++x) {
            EXPECT_EQ(read[y][x].r.bits(), pixels[y][x].r.bits());
            EXPECT_EQ(read[y][x].g.bits(), pixels[y][x].g.bits());
            EXPECT_EQ(read[y][x].b.bits(), pixels[y][x].b.bits());
            EXPECT_EQ(read[y][x].a.bits(), pixels[y][x].a.bits());
        }
}

// Pixels held a row stride apart (as in a readback buffer) are written row
// by row; a stride shorter than a row, or too few pixels for the last row,
// is refused before any file exists.
TEST(ExrImage, RowsAStrideApartAreWrittenOrRefused) {
    const struct {
        size_t stride, count;
        bool fits;
    } cases[] = {{0, 6, true}, {3, 6, true}, {5, 8, true}, {5, 7, false}, {2, 10, false}, {0, 5, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.stride) + " " + std::to_string(c.count));
        test::TempDir dir;
        std::vector<Imf::Rgba> pixels(c.count);
        for (size_t i = 0; i < c.count; ++i) pixels[i] = Imf::Rgba(static_cast<float>(i), 0.5f, 0.25f, 1.0f);
        const std::string path = (dir / "o.exr").string();
        if (!c.fits) {
            EXPECT_THROW(WriteExrImage(path, {.width = 3, .height = 2}, pixels, Imf::PIZ_COMPRESSION, c.stride),
                         std::exception);
            EXPECT_FALSE(std::filesystem::exists(path));
            continue;
        }
        WriteExrImage(path, {.width = 3, .height = 2}, pixels, Imf::PIZ_COMPRESSION, c.stride);
        ExrImageInfo info;
        Imf::Array2D<Imf::Rgba> read;
        ReadExrImage(path, info, read);
        const size_t stride = c.stride == 0 ? 3 : c.stride;
        for (int y = 0; y < 2; ++y)
            for (int x = 0; x < 3; ++x) EXPECT_EQ(read[y][x].r.bits(), pixels[y * stride + x].r.bits());
    }
}
