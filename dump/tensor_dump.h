#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "dump/dump_request.h"

// Far beyond the side of any resource, and small enough that the product of
// three sizes stays exact and every coordinate sum fits in 64 bits.
inline constexpr uint64_t kMaxTensorSize = uint64_t{1} << 40;

// A channel-last array: value (c, x, y) is row y, pixel x, entry c.
template <class T>
class Tensor {
public:
    Tensor() = default;
    Tensor(uint64_t channel_count, uint64_t row_count, uint64_t column_count) {
        Resize(channel_count, row_count, column_count);
    }

    // Sets the sizes and makes every value 0.
    void Resize(uint64_t channel_count, uint64_t row_count, uint64_t column_count) {
        const uint64_t limit = kMaxTensorSize;
        if (channel_count > limit || row_count > limit || column_count > limit ||
            (channel_count != 0 && row_count != 0 && column_count != 0 &&
             channel_count * row_count > limit / column_count)) {
            throw std::length_error("tensor too large");
        }
        channels = channel_count;
        height = row_count;
        width = column_count;
        values.assign(static_cast<size_t>(channels * height * width), T{});
    }

    bool Empty() const { return channels == 0 || height == 0 || width == 0; }
    T& At(uint64_t c, uint64_t x, uint64_t y) { return values[static_cast<size_t>((y * width + x) * channels + c)]; }
    const T& At(uint64_t c, uint64_t x, uint64_t y) const {
        return values[static_cast<size_t>((y * width + x) * channels + c)];
    }

    uint64_t channels = 0;
    uint64_t height = 0;
    uint64_t width = 0;
    std::vector<T> values;
};

// The rectangle of a tensor that is written, both ends included. It is empty
// when x1 < x0 or y1 < y0 (padding of half the tensor or more).
struct DumpRect {
    int64_t x0 = 0, x1 = -1, y0 = 0, y1 = -1;
    bool Empty() const { return x1 < x0 || y1 < y0; }
    int64_t Width() const { return Empty() ? 0 : x1 - x0 + 1; }
    int64_t Height() const { return Empty() ? 0 : y1 - y0 + 1; }
};

// The tensor without its padding, cut further to the region of interest when
// it is on. Defined for any input: huge or NaN values clamp.
DumpRect RegionOfInterest(uint64_t width, uint64_t height, uint32_t pad_x, uint32_t pad_y, const DumpRequest& request);

// A resource name made safe as one directory name inside the dump tree.
std::string DumpDirectoryName(const std::string& name);

// Write the tensor as one CSV table per channel (and, for int32, one PGM
// image per channel) in <output directory>/sequence_dump/step_<frame>/<name>/
// of the request, cut to its region of interest.
void DumpTensorAsFp64(const Tensor<double>& tensor, uint32_t pad_y, uint32_t pad_x, const DumpRequest& request,
                      const std::string& name);
void DumpTensorAsInt32(const Tensor<int32_t>& tensor, uint32_t pad_y, uint32_t pad_x, const DumpRequest& request,
                       const std::string& name);
