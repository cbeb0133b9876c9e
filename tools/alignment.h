#pragma once

// How far an image is shifted against another: the drift of a temporal
// upscaler, whose history slides a little each frame when its resampling
// moves the picture.
#include <cstdint>
#include <vector>

namespace evaluation {

struct Shift {
    double x = 0, y = 0;  // pixels; NaN where the reference has no detail to align by
};

// The sub-pixel shift d that best aligns `image` with `reference` (both
// width x height values, row by row): image(p) ~ reference(p - d), found by
// a few steps of Gauss-Newton on the squared difference (Lucas-Kanade on the
// whole image). Meant for shifts below a pixel or two.
Shift AlignmentShift(const std::vector<double>& image, const std::vector<double>& reference, uint32_t width,
                     uint32_t height);

}  // namespace evaluation
