// Reading and writing the tool's EXR images.
#include <gtest/gtest.h>

#include <ImfFloatAttribute.h>
#include <ImfHeader.h>
#include <ImfInputFile.h>
#include <ImfIntAttribute.h>

#include <vector>

#include "scene/exr_image.h"
#include "tests/test_support.h"

// Both readers, whole and a chunk of rows at a time, put the data window's
// top-left pixel first, whatever the window's origin and however its height
// falls into chunks.
TEST(ExrImage, DataWindowOriginLandsInTheFirstElementWholeOrByRows) {
    struct Case {
        int width, height, min_x, min_y;
    };
    for (const Case& c : {Case{10, 10, 10, 20}, Case{3, kExrChunkRows, -7, -100}, Case{2, kExrChunkRows + 1, 0, 37},
                          Case{5, 2 * kExrChunkRows + 45, 4, -3}, Case{1, 1, 0, 0}}) {
        SCOPED_TRACE(testing::Message() << c.width << " x " << c.height << " from " << c.min_x << ", " << c.min_y);
        test::TempDir dir;
        const size_t count = static_cast<size_t>(c.width) * c.height;
        std::vector<float> column(count), row(count);
        for (size_t i = 0; i < count; ++i) {
            column[i] = static_cast<float>(i % c.width);
            row[i] = static_cast<float>(i / c.width);
        }
        test::WriteChannels(dir / "w.exr", c.width, c.height, {{"R", column}, {"G", row}}, c.min_x, c.min_y);

        ExrImageInfo info;
        Imf::Array2D<Imf::Rgba> pixels;
        ReadExrImage((dir / "w.exr").string(), info, pixels);
        ASSERT_EQ(info.width, uint32_t(c.width));
        ASSERT_EQ(info.height, uint32_t(c.height));
        std::vector<Imf::Rgba> by_rows;
        ReadExrImageByRows((dir / "w.exr").string(),
                           [&](const ExrImageInfo& chunk_info, uint32_t first_row, std::span<const Imf::Rgba> chunk) {
                               EXPECT_EQ(first_row, by_rows.size() / info.width);
                               EXPECT_EQ(chunk_info.width, info.width);
                               EXPECT_EQ(chunk.size() % info.width, 0u);
                               by_rows.insert(by_rows.end(), chunk.begin(), chunk.end());
                           });
        ASSERT_EQ(by_rows.size(), count);
        for (size_t i = 0; i < count; ++i) {
            const Imf::Rgba& whole = pixels[static_cast<long>(i / c.width)][static_cast<long>(i % c.width)];
            for (const Imf::Rgba& p : {whole, by_rows[i]}) {
                ASSERT_EQ(float(p.r), column[i]) << i;
                ASSERT_EQ(float(p.g), row[i]) << i;
                // A channel the file lacks: 0 for B, 1 for A.
                ASSERT_EQ(float(p.b), 0.0f);
                ASSERT_EQ(float(p.a), 1.0f);
            }
        }
    }
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
