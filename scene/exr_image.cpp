#include "scene/exr_image.h"

#include <ImfFloatAttribute.h>
#include <ImfHeader.h>
#include <ImfIntAttribute.h>
#include <ImfRgbaFile.h>
#include <ImfThreading.h>

#include <cstdint>

namespace {

// The frame-buffer base that makes pixel (min_x, min_y) land in element [0][0].
// It points outside the array, so it is computed on integers: forming such a
// pointer with pointer arithmetic would be undefined behaviour.
Imf::Rgba* ShiftedBase(Imf::Rgba* first, int min_x, int min_y, uint32_t width) {
    const auto offset = (static_cast<intptr_t>(min_y) * static_cast<intptr_t>(width) + min_x) *
                        static_cast<intptr_t>(sizeof(Imf::Rgba));
    return reinterpret_cast<Imf::Rgba*>(reinterpret_cast<intptr_t>(first) - offset);
}

}  // namespace

void ReadExrImage(const std::string& path, ExrImageInfo& info, Imf::Array2D<Imf::Rgba>& pixels) {
    Imf::RgbaInputFile file(path.c_str(), Imf::globalThreadCount());
    info = ExrImageInfo{};
    info.expL = 1.0f;
    info.maxL = 1000.0f;

    const Imath::Box2i& window = file.dataWindow();
    info.width = static_cast<uint32_t>(static_cast<int64_t>(window.max.x) - window.min.x + 1);
    info.height = static_cast<uint32_t>(static_cast<int64_t>(window.max.y) - window.min.y + 1);
    pixels.resizeErase(info.height, info.width);

    file.setFrameBuffer(ShiftedBase(&pixels[0][0], window.min.x, window.min.y, info.width),
                        1,            // x stride: one pixel
                        info.width);  // y stride: one row
    file.readPixels(window.min.y, window.max.y);
}

Imf::Header ExrImageHeader(const ExrImageInfo& info, Imf::Compression compression) {
    Imf::Header header(static_cast<int>(info.width), static_cast<int>(info.height),
                       1.0f,                 // pixel aspect ratio
                       Imath::V2f(0, 0),     // screen window centre
                       1.0f,                 // screen window width
                       Imf::INCREASING_Y, compression);
    header.insert("expL", Imf::FloatAttribute(info.expL));
    header.insert("maxL", Imf::FloatAttribute(info.maxL));
    header.insert("sample", Imf::IntAttribute(info.sample));
    return header;
}

void WriteExrImage(const std::string& path, const ExrImageInfo& info, const Imf::Array2D<Imf::Rgba>& pixels,
                   Imf::Compression compression) {
    WriteExrImage(path, info, info.width > 0 && info.height > 0 ? &pixels[0][0] : nullptr, compression);
}

void WriteExrImage(const std::string& path, const ExrImageInfo& info, const Imf::Rgba* pixels,
                   Imf::Compression compression) {
    // The file is opened first: it rejects an empty size before any pixel is touched.
    Imf::RgbaOutputFile file(path.c_str(), ExrImageHeader(info, compression), Imf::WRITE_RGBA, Imf::globalThreadCount());
    file.setFrameBuffer(pixels,
                        1,            // x stride: one pixel
                        info.width);  // y stride: one row
    file.writePixels(static_cast<int>(info.height));
}
