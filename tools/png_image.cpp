#include "tools/png_image.h"

#include <png.h>

#include <stdexcept>
#include <string>

#include "run/atomic_file.h"
#include "run/path_text.h"

// libpng's simplified interface reports failures in its image record instead
// of jumping out of the caller, which keeps C++ objects on the stack safe.

void WritePng(const std::filesystem::path& path, const RgbImage& image) {
    png_image png{};
    png.version = PNG_IMAGE_VERSION;
    png.width = image.width;
    png.height = image.height;
    png.format = PNG_FORMAT_RGB;
    // Encoded in memory first, so that the file is written whole or not at all.
    png_alloc_size_t size = 0;
    if (!png_image_write_get_memory_size(png, size, 0, image.rgb.data(), 0, nullptr)) {
        throw std::runtime_error(PathToUtf8(path) + ": cannot write PNG: " + png.message);
    }
    std::string bytes(size, '\0');
    if (!png_image_write_to_memory(&png, bytes.data(), &size, 0, image.rgb.data(), 0, nullptr)) {
        throw std::runtime_error(PathToUtf8(path) + ": cannot write PNG: " + png.message);
    }
    bytes.resize(size);
    WriteWholeFile(path, bytes, AtomicFile::Mode::kBinary);
}

RgbImage ReadPng(const std::filesystem::path& path) {
    png_image png{};
    png.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&png, PathToUtf8(path).c_str())) {
        throw std::runtime_error(PathToUtf8(path) + ": cannot read PNG: " + png.message);
    }
    png.format = PNG_FORMAT_RGB;
    RgbImage image(png.width, png.height);
    if (!png_image_finish_read(&png, nullptr, image.rgb.data(), 0, nullptr)) {
        png_image_free(&png);
        throw std::runtime_error(PathToUtf8(path) + ": cannot read PNG: " + png.message);
    }
    return image;
}
