#include "tools/alignment.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace evaluation {

namespace {

// The reference at (x, y) between its pixels, bilinearly.
double Bilinear(const std::vector<double>& values, uint32_t width, double x, double y) {
    const double fx = std::floor(x), fy = std::floor(y);
    const auto ix = static_cast<size_t>(fx), iy = static_cast<size_t>(fy);
    const double tx = x - fx, ty = y - fy;
    const double* row = values.data() + iy * width + ix;
    const double top = row[0] + tx * (row[1] - row[0]);
    const double bottom = row[width] + tx * (row[width + 1] - row[width]);
    return top + ty * (bottom - top);
}

}  // namespace

Shift AlignmentShift(const std::vector<double>& image, const std::vector<double>& reference, uint32_t width,
                     uint32_t height) {
    constexpr int kSteps = 4;
    constexpr double kLargest = 4.0;  // shifts beyond this are not drift, and leave too little image
    const double nan = std::numeric_limits<double>::quiet_NaN();
    Shift shift;
    for (int step = 0; step < kSteps; ++step) {
        // Pixels far enough from the edge that the shifted reference and its
        // gradient stay inside the image.
        const auto margin = static_cast<uint32_t>(std::ceil(std::max(std::fabs(shift.x), std::fabs(shift.y)))) + 2;
        if (width <= 2 * margin || height <= 2 * margin) return {nan, nan};
        double xx = 0, xy = 0, yy = 0, bx = 0, by = 0;
        for (uint32_t y = margin; y < height - margin; ++y) {
            for (uint32_t x = margin; x < width - margin; ++x) {
                const double sx = x - shift.x, sy = y - shift.y;
                const double gx =
                    0.5 * (Bilinear(reference, width, sx + 1, sy) - Bilinear(reference, width, sx - 1, sy));
                const double gy =
                    0.5 * (Bilinear(reference, width, sx, sy + 1) - Bilinear(reference, width, sx, sy - 1));
                const double difference =
                    image[static_cast<size_t>(y) * width + x] - Bilinear(reference, width, sx, sy);
                if (!std::isfinite(difference)) continue;
                xx += gx * gx, xy += gx * gy, yy += gy * gy;
                bx += difference * gx, by += difference * gy;
            }
        }
        const double determinant = xx * yy - xy * xy;
        if (!(determinant > 1e-12 * (xx + yy) * (xx + yy)) || !(xx + yy > 0)) return {nan, nan};
        // image - reference(p - d) ~ -step . gradient: solve for the step.
        shift.x -= (yy * bx - xy * by) / determinant;
        shift.y -= (xx * by - xy * bx) / determinant;
        if (!(std::fabs(shift.x) <= kLargest && std::fabs(shift.y) <= kLargest)) return {nan, nan};
    }
    return shift;
}

}  // namespace evaluation
