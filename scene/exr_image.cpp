#include "scene/exr_image.h"

#include <Iex.h>
#include <ImfChannelList.h>
#include <ImfFloatAttribute.h>
#include <ImfHeader.h>
#include <ImfIntAttribute.h>
#include <ImfRgbaFile.h>
#include <ImfThreading.h>
#include <ImfTileDescriptionAttribute.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "run/atomic_file.h"
#include "run/path_text.h"
#include "scene/exr_streams.h"

namespace {

// The frame-buffer base that makes pixel (min_x, min_y) land in element [0][0].
// It points outside the array, so it is computed on integers: forming such a
// pointer with pointer arithmetic would be undefined behaviour.
Imf::Rgba* ShiftedBase(Imf::Rgba* first, int min_x, int min_y, uint32_t width) {
    const auto offset = (static_cast<intptr_t>(min_y) * static_cast<intptr_t>(width) + min_x) *
                        static_cast<intptr_t>(sizeof(Imf::Rgba));
    return reinterpret_cast<Imf::Rgba*>(reinterpret_cast<intptr_t>(first) - offset);
}

// The size of an open file's data window, refused before any pixel is
// allocated: a small damaged or hostile file may claim gigabytes of them.
ExrImageInfo CheckedInfo(const std::string& path, const Imf::RgbaInputFile& file) {
    ExrImageInfo info;
    info.expL = 1.0f;
    info.maxL = 1000.0f;
    const Imath::Box2i& window = file.dataWindow();
    const int64_t width = int64_t{window.max.x} - window.min.x + 1;
    const int64_t height = int64_t{window.max.y} - window.min.y + 1;
    if (width < 1 || height < 1 || width > kMaxImageSide || height > kMaxImageSide) {
        throw Iex::ArgExc(path + ": image of " + std::to_string(width) + " x " + std::to_string(height) +
                          " pixels is larger than the largest texture of " + std::to_string(kMaxImageSide) + " x " +
                          std::to_string(kMaxImageSide));
    }
    info.width = static_cast<uint32_t>(width);
    info.height = static_cast<uint32_t>(height);
    return info;
}

// The rows of the blocks a file keeps its pixels in, each compressed and
// decoded as a whole: a scan-line block or a row of tiles.
uint64_t RowsPerBlock(const Imf::Header& header) {
    if (header.hasTileDescription()) return std::max(1u, header.tileDescription().ySize);
    switch (header.compression()) {
        case Imf::ZIP_COMPRESSION:
            return 16;
        case Imf::PIZ_COMPRESSION:
        case Imf::PXR24_COMPRESSION:
        case Imf::B44_COMPRESSION:
        case Imf::B44A_COMPRESSION:
        case Imf::DWAA_COMPRESSION:
            return 32;
        case Imf::DWAB_COMPRESSION:
            return 256;
        default:
            return 1;
    }
}

}  // namespace

void ReadExrImage(const std::string& path, ExrImageInfo& info, Imf::Array2D<Imf::Rgba>& pixels) {
    RegularFileInputStream stream(path);
    Imf::RgbaInputFile file(stream, Imf::globalThreadCount());
    info = CheckedInfo(path, file);
    pixels.resizeErase(info.height, info.width);
    const Imath::Box2i& window = file.dataWindow();
    file.setFrameBuffer(ShiftedBase(&pixels[0][0], window.min.x, window.min.y, info.width),
                        1,            // x stride: one pixel
                        info.width);  // y stride: one row
    file.readPixels(window.min.y, window.max.y);
}

void ReadExrImageByRows(const std::string& path, const ExrRowsUse& use) {
    RegularFileInputStream stream(path);
    Imf::RgbaInputFile file(stream, Imf::globalThreadCount());
    const ExrImageInfo info = CheckedInfo(path, file);
    const Imath::Box2i& window = file.dataWindow();
    // Whole blocks, two for each of the EXR library's threads, which decode
    // a read's blocks side by side; at least kExrChunkRows rows, and never
    // more than the image.
    const uint64_t block = RowsPerBlock(file.header());
    const uint64_t blocks = std::max<uint64_t>(2 * static_cast<uint64_t>(std::max(1, Imf::globalThreadCount())),
                                               (kExrChunkRows + block - 1) / block);
    const auto chunk_rows = static_cast<uint32_t>(std::min<uint64_t>(info.height, blocks * block));
    std::vector<Imf::Rgba> chunk(size_t{chunk_rows} * info.width);
    for (uint32_t first = 0; first < info.height; first += chunk_rows) {
        const uint32_t rows = std::min(chunk_rows, info.height - first);
        const int first_line = window.min.y + static_cast<int>(first);
        file.setFrameBuffer(ShiftedBase(chunk.data(), window.min.x, first_line, info.width),
                            1,            // x stride: one pixel
                            info.width);  // y stride: one row
        file.readPixels(first_line, first_line + static_cast<int>(rows) - 1);
        use(info, first, std::span<const Imf::Rgba>(chunk.data(), size_t{rows} * info.width));
    }
}

Imf::Rgba ReadFirstExrPixel(const std::string& path) {
    RegularFileInputStream stream(path);
    Imf::RgbaInputFile file(stream, Imf::globalThreadCount());
    const Imath::Box2i& window = file.dataWindow();
    const int64_t width = int64_t{window.max.x} - window.min.x + 1;
    if (width < 1 || width > kMaxFirstRowWidth || window.max.y < window.min.y) {
        throw Iex::ArgExc(path + ": a first row of " + std::to_string(width) + " pixels cannot be read");
    }
    // Only the first scan line is decoded, into a row whose first element is
    // the data window's first pixel.
    std::vector<Imf::Rgba> row(static_cast<size_t>(width));
    file.setFrameBuffer(ShiftedBase(row.data(), window.min.x, window.min.y, 0),
                        1,   // x stride: one pixel
                        0);  // y stride: every line lands in the one row
    file.readPixels(window.min.y, window.min.y);
    return row[0];
}

Imf::Header ExrImageHeader(const ExrImageInfo& info, Imf::Compression compression) {
    Imf::Header header(static_cast<int>(info.width), static_cast<int>(info.height),
                       1.0f,              // pixel aspect ratio
                       Imath::V2f(0, 0),  // screen window centre
                       1.0f,              // screen window width
                       Imf::INCREASING_Y, compression);
    header.insert("expL", Imf::FloatAttribute(info.expL));
    header.insert("maxL", Imf::FloatAttribute(info.maxL));
    header.insert("sample", Imf::IntAttribute(info.sample));
    return header;
}

void WriteExrImage(const std::string& path, const ExrImageInfo& info, const Imf::Array2D<Imf::Rgba>& pixels,
                   Imf::Compression compression) {
    const size_t count = static_cast<size_t>(pixels.width()) * static_cast<size_t>(pixels.height());
    WriteExrImage(path, info, std::span<const Imf::Rgba>(count > 0 ? &pixels[0][0] : nullptr, count), compression);
}

void WriteExrImage(const std::string& path, const ExrImageInfo& info, std::span<const Imf::Rgba> pixels,
                   Imf::Compression compression, size_t row_stride) {
    Imf::Header header = ExrImageHeader(info, compression);
    for (const char* channel : {"R", "G", "B", "A"}) header.channels().insert(channel, Imf::Channel(Imf::HALF));
    header.sanityCheck();  // an empty size is rejected before any file exists
    const size_t stride = row_stride == 0 ? info.width : row_stride;
    // Every row but the last starts a whole stride before the next one.
    const bool fits =
        stride >= info.width && pixels.size() >= info.width && (pixels.size() - info.width) / stride >= info.height - 1;
    if (!fits) {
        throw Iex::ArgExc(path + ": " + std::to_string(pixels.size()) + " pixels cannot fill an image of " +
                          std::to_string(info.width) + " x " + std::to_string(info.height));
    }
    WriteWholeExr(path, [&](Imf::OStream& stream) {
        Imf::RgbaOutputFile file(stream, header, Imf::WRITE_RGBA, Imf::globalThreadCount());
        file.setFrameBuffer(pixels.data(),
                            1,        // x stride: one pixel
                            stride);  // y stride: one row
        file.writePixels(static_cast<int>(info.height));
    });
}

void WriteWholeExr(const std::string& path, const std::function<void(Imf::OStream&)>& write) {
    try {
        AtomicFile file(PathFromUtf8(path), AtomicFile::Mode::kBinary);
        file.Open();
        {
            AtomicExrStream stream(path, file);
            // The library writes the table of chunk offsets when its file
            // object goes and swallows any failure there; the atomic file
            // remembers it and refuses to commit.
            write(stream);
        }
        file.Commit();
    } catch (const Iex::BaseExc&) {
        throw;
    } catch (const std::exception& error) {
        // A file that cannot be created, written or put in place fails as
        // the EXR library's own files do, with its kind of exception.
        throw Iex::IoExc(error.what());
    }
}
