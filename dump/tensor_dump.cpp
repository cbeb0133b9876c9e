#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <memory>
#include <thread>

#include "dump/csv_number.h"
#include "dump/tensor_dump.h"
#include "run/atomic_file.h"

namespace fs = std::filesystem;

namespace {

// Coordinates stay far inside int64 so that sums of them cannot overflow.
constexpr double kCoordinateLimit = 4611686018427387904.0;  // 2^62

int64_t CeilToCoordinate(double value) {
    if (!(value == value)) return 0;  // NaN
    return static_cast<int64_t>(std::ceil(std::clamp(value, -kCoordinateLimit, kCoordinateLimit)));
}

int64_t TruncToCoordinate(double value) {
    if (!(value == value)) return 0;
    return static_cast<int64_t>(std::trunc(std::clamp(value, -kCoordinateLimit, kCoordinateLimit)));
}

// At least 128, and a multiple of 128 otherwise.
int64_t QuantisedSize(uint64_t size) {
    return std::max<int64_t>(1, static_cast<int64_t>(std::min(size, kMaxTensorSize) / 128)) * 128;
}

std::string ChannelFileName(uint64_t channel, const char* extension) {
    char name[40];
    std::snprintf(name, sizeof name, "C_%03llu.%s", static_cast<unsigned long long>(channel), extension);
    return name;
}

constexpr const char* kDuringTensorDump = " during tensor dump";

// Tables are opened in text mode so that line ends follow the platform. The
// folder may be briefly locked by another program (a viewer, an indexer), so
// opening is tried ten times, a second apart.
void OpenTable(AtomicFile& file) { file.Open(10, std::chrono::seconds(1)); }

void Append(std::string& text, double value) { AppendFixed6(text, value); }

void Append(std::string& text, long long value) {
    char buffer[24];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    text.append(buffer, result.ptr);
}

void Append(std::string& text, const char* format, long long a, long long b) {
    char buffer[64];
    const int length = std::snprintf(buffer, sizeof buffer, format, a, b);
    text.append(buffer, static_cast<size_t>(length));
}

template <class T>
void WriteTable(const Tensor<T>& tensor, uint64_t channel, const DumpRect& rect, uint32_t pad_x, uint32_t pad_y,
                const fs::path& path) {
    AtomicFile file(path, AtomicFile::Mode::kText, kDuringTensorDump);
    OpenTable(file);
    std::string text = "c_y/x";
    if (pad_x != 0 || pad_y != 0) {
        char line[64];
        std::snprintf(line, sizeof line, " | pad_x = %d | pad_y = %d\n", static_cast<int>(pad_x),
                      static_cast<int>(pad_y));
        std::cout << ("tensor ch " + path.string() + line);
    }
    for (int64_t x = rect.x0; x <= rect.x1; ++x) {
        text += ",x";
        Append(text, static_cast<long long>(x - pad_x));
    }
    // A region without columns or without rows has no values: the table is
    // its head line alone.
    const int64_t last_row = rect.Empty() ? rect.y0 - 1 : rect.y1;
    for (int64_t y = rect.y0; y <= last_row; ++y) {
        Append(text, "\nc%03lld_y%04lld", static_cast<long long>(channel), static_cast<long long>(y - pad_y));
        for (int64_t x = rect.x0; x <= rect.x1; ++x) {
            text += ',';
            if constexpr (std::is_same_v<T, int32_t>) {
                Append(text,
                       static_cast<long long>(tensor.At(channel, static_cast<uint64_t>(x), static_cast<uint64_t>(y))));
            } else {
                Append(text, tensor.At(channel, static_cast<uint64_t>(x), static_cast<uint64_t>(y)));
            }
        }
        // Hand large tables to the file row by row instead of holding them whole.
        if (text.size() > (1u << 20)) {
            file.Write(text);
            text.clear();
        }
    }
    file.Write(text);
    file.Commit();
}

void WriteImage(const Tensor<int32_t>& tensor, uint64_t channel, const DumpRect& rect, const fs::path& path) {
    if (rect.Empty()) return;  // no pixels: a PGM without any is not worth a file
    AtomicFile file(path, AtomicFile::Mode::kBinary, kDuringTensorDump);
    file.Open();
    char header[64];
    const int length = std::snprintf(header, sizeof header, "P5\n %lld %lld\n 255\n",
                                     static_cast<long long>(rect.Width()), static_cast<long long>(rect.Height()));
    file.Write(header, static_cast<size_t>(length));
    std::vector<uint8_t> row(static_cast<size_t>(rect.Width()));
    for (int64_t y = rect.y0; y <= rect.y1; ++y) {
        for (int64_t x = rect.x0; x <= rect.x1; ++x) {
            // The low byte of the value: no scaling, no clamping.
            row[static_cast<size_t>(x - rect.x0)] = static_cast<uint8_t>(
                static_cast<uint32_t>(tensor.At(channel, static_cast<uint64_t>(x), static_cast<uint64_t>(y))) & 0xFFu);
        }
        file.Write(row.data(), row.size());
    }
    file.Commit();
}

fs::path TensorDirectory(const std::string& output_directory, uint32_t frame, const std::string& safe_name) {
    const fs::path directory =
        fs::path(output_directory) / "sequence_dump" / ("step_" + std::to_string(frame)) / safe_name;
    try {
        fs::create_directories(directory);
    } catch (const fs::filesystem_error& error) {
        std::cout << (std::string(error.what()) + "\n");
        throw std::runtime_error(error.what());
    }
    return directory;
}

template <class T>
void DumpTensor(const Tensor<T>& tensor, uint32_t pad_y, uint32_t pad_x, const DumpRequest& request,
                const std::string& name, const char* kind) {
    const std::string safe_name = DumpDirectoryName(name);
    std::cout << ("dump_tensor: " + safe_name + "(original name === " + name + ")" + kind + "\n");
    const fs::path directory = TensorDirectory(request.output_directory, request.frame_number, safe_name);
    const DumpRect rect = RegionOfInterest(tensor.width, tensor.height, pad_x, pad_y, request);
    for (uint64_t c = 0; c < tensor.channels; ++c) {
        WriteTable(tensor, c, rect, pad_x, pad_y, directory / ChannelFileName(c, "csv"));
        if constexpr (std::is_same_v<T, int32_t>) {
            WriteImage(tensor, c, rect, directory / ChannelFileName(c, "pgm"));
        }
    }
}

}  // namespace

DumpRect RegionOfInterest(uint64_t width, uint64_t height, uint32_t pad_x, uint32_t pad_y, const DumpRequest& request) {
    const auto w = static_cast<int64_t>(std::min(width, kMaxTensorSize));
    const auto h = static_cast<int64_t>(std::min(height, kMaxTensorSize));
    DumpRect rect{pad_x, w - pad_x - 1, pad_y, h - pad_y - 1};
    // Nothing is left inside the padding: the region must stay empty, or the
    // clamps below would turn it into columns outside the tensor.
    if (!request.roi_enabled || rect.Empty()) return rect;
    const int64_t wq = QuantisedSize(width), hq = QuantisedSize(height);
    const int64_t rw = CeilToCoordinate(request.roi_size * static_cast<double>(wq));
    const int64_t rh = CeilToCoordinate(request.roi_size * static_cast<double>(hq));
    rect.x0 = std::min(TruncToCoordinate(request.roi_x0 * static_cast<double>(wq)) + pad_x, rect.x1);
    rect.y0 = std::min(TruncToCoordinate(request.roi_y0 * static_cast<double>(hq)) + pad_y, rect.y1);
    rect.x1 = std::min(rect.x0 + rw, rect.x1);
    rect.y1 = std::min(rect.y0 + rh, rect.y1);
    return rect;
}

std::string DumpDirectoryName(const std::string& name) {
    // Anything that could leave the dump tree, or name a drive, becomes '_'.
    std::string safe = name;
    for (char& c : safe) {
        if (c == ':' || c == '/' || c == '\\') c = '_';
    }
    if (safe.empty() || safe == "." || safe == "..") safe = std::string(std::max<size_t>(1, safe.size()), '_');
    return safe;
}

void DumpTensorAsFp64(const Tensor<double>& tensor, uint32_t pad_y, uint32_t pad_x, const DumpRequest& request,
                      const std::string& name) {
    DumpTensor(tensor, pad_y, pad_x, request, name, " as fp64");
}

void DumpTensorAsInt32(const Tensor<int32_t>& tensor, uint32_t pad_y, uint32_t pad_x, const DumpRequest& request,
                       const std::string& name) {
    DumpTensor(tensor, pad_y, pad_x, request, name, " as int32");
}
