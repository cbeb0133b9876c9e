#pragma once

#include <ImfArray.h>
#include <ImfCompression.h>
#include <ImfHeader.h>
#include <ImfIO.h>
#include <ImfRgba.h>

#include <cstdint>
#include <functional>
#include <span>
#include <string>

struct ExrImageInfo {
    uint32_t width = 0;
    uint32_t height = 0;
    int32_t sample = 0;
    float expL = 0.0f;
    float maxL = 0.0f;
};

// The largest image the tool reads: the largest 2-D texture of Direct3D 12.
inline constexpr uint32_t kMaxImageSide = 16384;

// Reads any EXR file as RGBA half pixels of its data window; element [0][0]
// is the data window's top-left pixel. Reports sample 0, expL 1 and maxL 1000
// whatever the header holds. A file larger than kMaxImageSide on a side is
// refused from its header, before any pixel is decoded.
void ReadExrImage(const std::string& path, ExrImageInfo& info, Imf::Array2D<Imf::Rgba>& pixels);

// The same a chunk of rows at a time, for pixels that are converted as they
// are read: `use(info, first_row, pixels)` gets each chunk's whole rows,
// row-major, info.width pixels to a row. Only one chunk is kept at a time. A
// chunk is whole blocks of the file's compressed lines or tiles, enough for
// the EXR library's threads to decode side by side, and at least
// kExrChunkRows rows (or the whole image).
inline constexpr uint32_t kExrChunkRows = 128;
using ExrRowsUse = std::function<void(const ExrImageInfo&, uint32_t, std::span<const Imf::Rgba>)>;
void ReadExrImageByRows(const std::string& path, const ExrRowsUse& use);

// The widest first row ReadFirstExrPixel decodes: far beyond any texture,
// yet a bound on what a damaged header can make it allocate.
inline constexpr int64_t kMaxFirstRowWidth = int64_t{1} << 24;

// The first pixel of the data window, decoding only the first scan line: the
// jitter and exposure files carry their value there, and their size does not
// matter.
Imf::Rgba ReadFirstExrPixel(const std::string& path);

// The header of the tool's images: data and display window (0, 0) to
// (width - 1, height - 1), increasing y, and the three attributes.
Imf::Header ExrImageHeader(const ExrImageInfo& info, Imf::Compression compression);

// Writes RGBA half pixels with the "expL", "maxL" and "sample" attributes.
void WriteExrImage(const std::string& path, const ExrImageInfo& info, const Imf::Array2D<Imf::Rgba>& pixels,
                   Imf::Compression compression);

// The same for pixels held elsewhere: info.height rows of info.width pixels,
// each row `row_stride` pixels after the last (0: right after it).
void WriteExrImage(const std::string& path, const ExrImageInfo& info, std::span<const Imf::Rgba> pixels,
                   Imf::Compression compression, size_t row_stride = 0);

// Runs `write` with an output stream whose bytes appear under `path` (UTF-8)
// only once they are complete: they go to a temporary file that replaces the
// final one when the EXR library is done with it and it closed without error.
void WriteWholeExr(const std::string& path, const std::function<void(Imf::OStream&)>& write);
