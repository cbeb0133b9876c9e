#include "dump/dump_writer.h"

#include <ImfChannelList.h>
#include <ImfFloatAttribute.h>
#include <ImfFrameBuffer.h>
#include <ImfHeader.h>
#include <ImfIntAttribute.h>
#include <ImfOutputFile.h>
#include <ImfThreading.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <iterator>
#include <stdexcept>

#include "dump/half.h"
#include "dump/tensor_dump.h"
#include "run/path_text.h"

namespace fs = std::filesystem;

namespace {

const char* const kTensorFormatsMessage =
    "Resource Dump supports dumping as tensor for  DXGI_FORMAT_R32G32B32A32_UINT, DXGI_FORMAT_R32G32B32A32_SINT, "
    "DXGI_FORMAT_R32_SINT, DXGI_FORMAT_R32_FLOAT, DXGI_FORMAT_UNKNOWN (for buffers will treat as "
    "DXGI_FORMAT_R32G32B32A32_UINT), textures. Resource name = ";

const char* const kImageFormatsMessage =
    "Resource Dump supports dumping as FP textures for  DXGI_FORMAT_R16G16B16A16_FLOAT && "
    "DXGI_FORMAT_R32G32B32A32_FLOAT && DXGI_FORMAT_R32_FLOAT DXGI_FORMAT_R16_FLOAT && DXGI_FORMAT_R11G11B10_FLOAT "
    "DXGI_FORMAT_R32G32_FLOAT && DXGI_FORMAT_R16G16_FLOAT textures. Resource name = ";

using Slice = std::span<const uint32_t>;

// How one resource is read as a tensor.
struct TensorShape {
    uint32_t format = 0;  // the effective DXGI format number
    uint64_t width = 0, height = 0;
    uint32_t padding = 0;
    std::vector<Slice> slices;
};

bool ContainsAny(const std::string& name, const std::vector<std::string>& parts) {
    for (const std::string& part : parts) {
        if (name.find(part) != std::string::npos) return true;
    }
    return false;
}

Slice WordsOf(std::span<const uint8_t> bytes) {
    return {reinterpret_cast<const uint32_t*>(bytes.data()), bytes.size() / 4};
}

TensorShape ShapeOf(const DumpBatch& batch, uint32_t index, const std::string& name) {
    const ResourceDumpList& list = batch.list;
    const CollectedResource& resource = batch.resources[index];
    TensorShape shape;
    shape.padding = list.padding[index];
    if (resource.desc.Dimension != D3D12_RESOURCE_DIMENSION_BUFFER) {
        shape.format = resource.desc.Format;
        shape.width = resource.desc.Width;
        shape.height = resource.desc.Height;
        for (const auto& subresource : resource.subresources) shape.slices.push_back(WordsOf(subresource));
        return shape;
    }
    const bool int32 = name.find("_int32_") != std::string::npos;
    shape.format = int32 ? DXGI_FORMAT_R32_SINT : DXGI_FORMAT_R32G32B32A32_UINT;
    shape.width = list.buffer_width[index];
    shape.height = list.buffer_height[index];
    const uint32_t parts = int32 ? list.buffer_channels[index] : list.buffer_channels[index] / 16;
    if (parts == 0 || resource.subresources.empty()) return shape;
    const Slice all = WordsOf(resource.subresources[0]);
    const size_t per_part = all.size() / parts;
    for (uint32_t k = 0; k < parts; ++k) shape.slices.push_back(all.subspan(k * per_part, per_part));
    return shape;
}

[[noreturn]] void SizeMismatch(const std::string& name) {
    throw std::runtime_error("Resource Dump: size mismatch for " + name);
}

// Every slice must hold width x height pixels of `words_per_pixel` words.
void RequireFullSlices(const TensorShape& shape, uint64_t words_per_pixel, const std::string& name) {
    for (const Slice& slice : shape.slices) {
        if (shape.width != 0 && shape.height > slice.size() / words_per_pixel / shape.width) SizeMismatch(name);
    }
}

Tensor<int32_t> FromRgbaU32SlicesOfU8Channels(const TensorShape& shape) {
    const uint64_t pixels = shape.width * shape.height;
    Tensor<int32_t> tensor(16 * shape.slices.size(), shape.height, shape.width);
    uint64_t stored = 0;
    for (size_t s = 0; s < shape.slices.size(); ++s) {
        for (uint64_t p = 0; p < pixels; ++p) {
            for (uint32_t k = 0; k < 4; ++k) {
                const uint32_t word = shape.slices[s][p * 4 + k];
                for (uint32_t b = 0; b < 4; ++b) {
                    const auto byte = static_cast<int8_t>(static_cast<uint8_t>(word >> (8 * b)));
                    tensor.At(16 * s + 4 * k + b, p % shape.width, p / shape.width) = byte;
                    ++stored;
                }
            }
        }
    }
    if (stored != tensor.channels * tensor.height * tensor.width) {
        throw std::runtime_error(
            "init_form_RGBA_U32_slices_of_u8_channels is broken! uninitialized channels remaining");
    }
    return tensor;
}

Tensor<int32_t> FromRgbaI32OfI32Channels(const TensorShape& shape) {
    const uint64_t pixels = shape.width * shape.height;
    Tensor<int32_t> tensor(4 * shape.slices.size(), shape.height, shape.width);
    uint64_t stored = 0;
    for (size_t s = 0; s < shape.slices.size(); ++s) {
        for (uint64_t p = 0; p < pixels; ++p) {
            for (uint32_t k = 0; k < 4; ++k) {
                tensor.At(4 * s + k, p % shape.width, p / shape.width) =
                    static_cast<int32_t>(shape.slices[s][p * 4 + k]);
                ++stored;
            }
        }
    }
    if (stored != tensor.channels * tensor.height * tensor.width) {
        throw std::runtime_error("init_from_RGBA_I32_of_i32_channels is broken! uninitialized channels remaining");
    }
    return tensor;
}

template <class T, class Convert>
Tensor<T> OneChannelPerSlice(const TensorShape& shape, Convert convert) {
    Tensor<T> tensor(shape.slices.size(), shape.height, shape.width);
    for (size_t s = 0; s < shape.slices.size(); ++s) {
        for (uint64_t y = 0; y < shape.height; ++y) {
            for (uint64_t x = 0; x < shape.width; ++x)
                tensor.At(s, x, y) = convert(shape.slices[s][y * shape.width + x]);
        }
    }
    return tensor;
}

void DumpAsTensor(const DumpBatch& batch, const TensorShape& shape, const std::string& name) {
    const uint32_t f = shape.format;
    constexpr uint32_t kTensorFormats[] = {DXGI_FORMAT_UNKNOWN,           DXGI_FORMAT_R32G32B32A32_UINT,
                                           DXGI_FORMAT_R32G32B32A32_SINT, DXGI_FORMAT_R11G11B10_FLOAT,
                                           DXGI_FORMAT_R32_FLOAT,         DXGI_FORMAT_R32_SINT};
    if (std::find(std::begin(kTensorFormats), std::end(kTensorFormats), f) == std::end(kTensorFormats)) {
        const std::string message = kTensorFormatsMessage + name;
        std::cout << (message + "\n" + "THROW\n");
        throw std::runtime_error(message);
    }
    std::cout << ("Dumping " + name + "\n");
    const DumpRequest& r = batch.request;
    auto write_int32 = [&](const Tensor<int32_t>& tensor) {
        if (tensor.Empty()) return;
        DumpTensorAsInt32(tensor, shape.padding, shape.padding, r, name);
    };
    switch (f) {
        case DXGI_FORMAT_R32G32B32A32_UINT:
            RequireFullSlices(shape, 4, name);
            write_int32(FromRgbaU32SlicesOfU8Channels(shape));
            break;
        case DXGI_FORMAT_R32G32B32A32_SINT:
            RequireFullSlices(shape, 4, name);
            write_int32(FromRgbaI32OfI32Channels(shape));
            break;
        case DXGI_FORMAT_R32_SINT:
            RequireFullSlices(shape, 1, name);
            write_int32(OneChannelPerSlice<int32_t>(shape, [](uint32_t w) { return static_cast<int32_t>(w); }));
            break;
        case DXGI_FORMAT_R32_FLOAT: {
            RequireFullSlices(shape, 1, name);
            const auto tensor =
                OneChannelPerSlice<double>(shape, [](uint32_t w) { return double{std::bit_cast<float>(w)}; });
            if (!tensor.Empty()) {
                DumpTensorAsFp64(tensor, shape.padding, shape.padding, r, name);
            }
            break;
        }
        default:
            break;  // R11G11B10 and unknown formats are announced but not written
    }
}

struct ImageFormat {
    uint32_t format;
    uint32_t bytes_per_pixel;
    uint32_t channels;
};

constexpr ImageFormat kImageFormats[] = {
    {DXGI_FORMAT_R32G32B32A32_FLOAT, 16, 4}, {DXGI_FORMAT_R16G16B16A16_FLOAT, 8, 4}, {DXGI_FORMAT_R32G32_FLOAT, 8, 2},
    {DXGI_FORMAT_R11G11B10_FLOAT, 4, 3},     {DXGI_FORMAT_R16G16_FLOAT, 4, 2},       {DXGI_FORMAT_R32_FLOAT, 4, 1},
    {DXGI_FORMAT_R16_FLOAT, 2, 1},
};

// Channel values of one pixel of an image-path format.
void UnpackPixel(uint32_t format, const uint8_t* pixel, float* out) {
    auto read_float = [&](int i) {
        float value;
        std::memcpy(&value, pixel + 4 * i, 4);
        return value;
    };
    auto read_half = [&](int i) {
        uint16_t value;
        std::memcpy(&value, pixel + 2 * i, 2);
        return HalfToFloat(value);
    };
    switch (format) {
        case DXGI_FORMAT_R32G32B32A32_FLOAT:
            for (int i = 0; i < 4; ++i) out[i] = read_float(i);
            break;
        case DXGI_FORMAT_R16G16B16A16_FLOAT:
            for (int i = 0; i < 4; ++i) out[i] = read_half(i);
            break;
        case DXGI_FORMAT_R32G32_FLOAT:
            for (int i = 0; i < 2; ++i) out[i] = read_float(i);
            break;
        case DXGI_FORMAT_R11G11B10_FLOAT: {
            uint32_t packed;
            std::memcpy(&packed, pixel, 4);
            uint16_t halves[3];
            UnpackR11G11B10(packed, halves);
            for (int i = 0; i < 3; ++i) out[i] = HalfToFloat(halves[i]);
            break;
        }
        case DXGI_FORMAT_R16G16_FLOAT:
            for (int i = 0; i < 2; ++i) out[i] = read_half(i);
            break;
        case DXGI_FORMAT_R32_FLOAT:
            out[0] = read_float(0);
            break;
        case DXGI_FORMAT_R16_FLOAT:
            out[0] = read_half(0);
            break;
        default:
            break;
    }
}

Tensor<double> UnpackImage(const ImageFormat& format, const TensorShape& shape, std::span<const uint8_t> bytes) {
    Tensor<double> tensor(format.channels, shape.height, shape.width);
    for (uint64_t y = 0; y < shape.height; ++y) {
        for (uint64_t x = 0; x < shape.width; ++x) {
            float values[4] = {};
            UnpackPixel(format.format, bytes.data() + (y * shape.width + x) * format.bytes_per_pixel, values);
            for (uint32_t c = 0; c < format.channels; ++c) tensor.At(c, x, y) = values[c];
        }
    }
    return tensor;
}

void WriteImageOfRegion(const Tensor<double>& tensor, const TensorShape& shape, const DumpRequest& r,
                        const std::string& name) {
    const DumpRect rect = RegionOfInterest(tensor.width, tensor.height, shape.padding, shape.padding, r);
    if (rect.Empty()) return;  // nothing of the tensor is left to show
    const auto width = static_cast<uint32_t>(rect.Width()), height = static_cast<uint32_t>(rect.Height());
    Imf::Array2D<FloatPixel> image(height, width);
    const uint64_t shown = std::min<uint64_t>(tensor.channels, 4);
    for (uint32_t y = 0; y < height; ++y) {
        for (uint32_t x = 0; x < width; ++x) {
            float values[4] = {0, 0, 0, 0};
            for (uint64_t c = 0; c < shown; ++c) {
                values[c] = static_cast<float>(
                    tensor.At(c, static_cast<uint64_t>(rect.x0) + x, static_cast<uint64_t>(rect.y0) + y));
            }
            image[y][x] = {values[0], values[1], values[2], values[3]};
        }
    }
    const fs::path directory = fs::path(r.output_directory) / "sequence_dump" / DumpDirectoryName(name);
    fs::create_directories(directory);
    const fs::path file = directory / ("step_" + std::to_string(r.frame_number) + ".exr");
    WriteDumpExr(PathToUtf8(file), {.width = width, .height = height}, image, Imf::NO_COMPRESSION);
}

void DumpAsImage(const DumpBatch& batch, const TensorShape& shape, const CollectedResource& resource,
                 const std::string& name) {
    const ImageFormat* format = nullptr;
    for (const ImageFormat& candidate : kImageFormats) {
        if (candidate.format == shape.format) format = &candidate;
    }
    if (format == nullptr) throw std::runtime_error(kImageFormatsMessage + name);

    const std::span<const uint8_t> bytes =
        resource.subresources.empty() ? std::span<const uint8_t>() : resource.subresources[0];
    // The subresource must hold exactly width x height pixels. Its real size
    // counts: an R16_FLOAT image of an odd pixel count ends in half a word.
    const uint64_t size = bytes.size();
    if (shape.width == 0 || shape.height != size / format->bytes_per_pixel / shape.width ||
        size != shape.width * shape.height * format->bytes_per_pixel) {
        SizeMismatch(name);
    }
    const Tensor<double> tensor = UnpackImage(*format, shape, bytes);
    const DumpRequest& r = batch.request;
    DumpTensorAsFp64(tensor, shape.padding, shape.padding, r, name);
    WriteImageOfRegion(tensor, shape, r, name);
}

}  // namespace

void UnpackR11G11B10(uint32_t packed, uint16_t halves[3]) {
    auto to_half = [](uint32_t mantissa, uint32_t exponent, int shift) {
        return static_cast<uint16_t>((exponent << 10) | (mantissa << shift));
    };
    halves[0] = to_half(packed & 0x3Fu, (packed >> 6) & 0x1Fu, 4);
    halves[1] = to_half((packed >> 11) & 0x3Fu, (packed >> 17) & 0x1Fu, 4);
    halves[2] = to_half((packed >> 22) & 0x1Fu, (packed >> 27) & 0x1Fu, 5);
}

void DumpOneResource(const DumpBatch& batch, uint32_t index) {
    const char* listed_name = batch.list.names[index];
    if (listed_name == nullptr) {
        throw std::runtime_error("Resource Dump: no name for resource " + std::to_string(index));
    }
    const std::string name = listed_name;
    if ((!batch.include.empty() && !ContainsAny(name, batch.include)) || ContainsAny(name, batch.exclude)) {
        std::cout << (name + " <--- skipping dump\n");
        return;
    }
    const TensorShape shape = ShapeOf(batch, index, name);
    if (batch.list.as_tensor[index] != 0) {
        DumpAsTensor(batch, shape, name);
    } else {
        DumpAsImage(batch, shape, batch.resources[index], name);
    }
}

void WriteDumpExr(const std::string& path, const ExrImageInfo& info, const Imf::Array2D<FloatPixel>& pixels,
                  Imf::Compression compression) {
    Imf::Header header = ExrImageHeader(info, compression);
    for (const char* channel : {"R", "G", "B", "A"}) header.channels().insert(channel, Imf::Channel(Imf::FLOAT));

    header.sanityCheck();

    char* base = reinterpret_cast<char*>(const_cast<FloatPixel*>(&pixels[0][0]));
    const size_t x_stride = sizeof(FloatPixel), y_stride = sizeof(FloatPixel) * info.width;
    Imf::FrameBuffer buffer;
    const char* const channels[] = {"R", "G", "B", "A"};
    for (size_t c = 0; c < 4; ++c) {
        buffer.insert(channels[c], Imf::Slice(Imf::FLOAT, base + c * sizeof(float), x_stride, y_stride,
                                              1,      // x sampling: every column
                                              1,      // y sampling: every row
                                              0.0));  // the fill value of a channel the file lacks
    }
    WriteWholeExr(path, [&](Imf::OStream& stream) {
        Imf::OutputFile file(stream, header, Imf::globalThreadCount());
        file.setFrameBuffer(buffer);
        file.writePixels(static_cast<int>(info.height));
    });
}
