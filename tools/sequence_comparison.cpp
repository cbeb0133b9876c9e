// An output sequence against its ground truth: PSNR, SSIM, temporal error
// and the error inside the scene's marked regions.
#include "tools/evaluation.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <sstream>
#include <stdexcept>

#include "run/path_text.h"
#include "scene/exr_image.h"
#include "tools/alignment.h"

namespace fs = std::filesystem;

namespace evaluation {

namespace {

// The R, G and B values of an image as they are compared.
struct ComparedImage {
    uint32_t width = 0, height = 0;
    std::vector<float> rgb;
    uint64_t non_finite = 0;
};

ComparedImage LoadCompared(const fs::path& path, const ComparisonOptions& options) {
    ExrImageInfo info;
    Imf::Array2D<Imf::Rgba> pixels;
    ReadExrImage(PathToUtf8(path), info, pixels);
    ComparedImage image{info.width, info.height, {}, 0};
    image.rgb.reserve(static_cast<size_t>(info.width) * info.height * 3);
    // NaN compares as 0 and infinity as the peak; both are also counted.
    auto compared = [&options](float v) {
        if (std::isnan(v)) return 0.0f;
        if (options.tone_map) return ToneMapped(v);
        return static_cast<float>(std::clamp(static_cast<double>(v), 0.0, options.peak));
    };
    for (uint32_t y = 0; y < info.height; ++y) {
        for (uint32_t x = 0; x < info.width; ++x) {
            const float channels[3] = {pixels[y][x].r, pixels[y][x].g, pixels[y][x].b};
            bool finite = true;
            for (const float c : channels) {
                finite = finite && std::isfinite(c);
                image.rgb.push_back(compared(c));
            }
            image.non_finite += finite ? 0 : 1;
        }
    }
    return image;
}

// Squared differences over a rectangle of pixels, [x0, x1) x [y0, y1).
struct Rect {
    uint32_t x0 = 0, y0 = 0, x1 = 0, y1 = 0;
};

double MeanSquaredError(const ComparedImage& a, const ComparedImage& b, const Rect& rect) {
    double sum = 0;
    uint64_t count = 0;
    for (uint32_t y = rect.y0; y < rect.y1; ++y) {
        for (uint32_t x = rect.x0; x < rect.x1; ++x) {
            const size_t i = (static_cast<size_t>(y) * a.width + x) * 3;
            for (size_t c = 0; c < 3; ++c) {
                const double d = static_cast<double>(a.rgb[i + c]) - b.rgb[i + c];
                sum += d * d;
            }
            count += 3;
        }
    }
    return count > 0 ? sum / static_cast<double>(count) : 0.0;
}

std::vector<double> Luminance(const ComparedImage& image) {
    std::vector<double> y(image.rgb.size() / 3);
    for (size_t i = 0; i < y.size(); ++i) {
        y[i] = 0.2126 * image.rgb[3 * i] + 0.7152 * image.rgb[3 * i + 1] + 0.0722 * image.rgb[3 * i + 2];
    }
    return y;
}

// Mean SSIM of the luminance over every 8 x 8 window (Wang et al. 2004, with
// box windows), through summed-area tables of the five moments.
double Ssim(const ComparedImage& a, const ComparedImage& b, double range) {
    constexpr uint32_t kWindow = 8;
    const uint32_t w = a.width, h = a.height;
    if (w < kWindow || h < kWindow) return std::numeric_limits<double>::quiet_NaN();
    const std::vector<double> ya = Luminance(a), yb = Luminance(b);
    const size_t stride = w + 1;
    std::vector<double> tables[5];
    for (auto& table : tables) table.assign(stride * (h + 1), 0.0);
    for (uint32_t y = 0; y < h; ++y) {
        for (uint32_t x = 0; x < w; ++x) {
            const double p = ya[y * size_t{w} + x], q = yb[y * size_t{w} + x];
            const double moments[5] = {p, q, p * p, q * q, p * q};
            for (int m = 0; m < 5; ++m) {
                auto& t = tables[m];
                t[(y + 1) * stride + x + 1] =
                    moments[m] + t[y * stride + x + 1] + t[(y + 1) * stride + x] - t[y * stride + x];
            }
        }
    }
    const double c1 = (0.01 * range) * (0.01 * range), c2 = (0.03 * range) * (0.03 * range);
    const double n = kWindow * kWindow;
    double total = 0;
    for (uint32_t y = 0; y + kWindow <= h; ++y) {
        for (uint32_t x = 0; x + kWindow <= w; ++x) {
            double sums[5];
            for (int m = 0; m < 5; ++m) {
                const auto& t = tables[m];
                sums[m] = t[(y + kWindow) * stride + x + kWindow] - t[y * stride + x + kWindow] -
                          t[(y + kWindow) * stride + x] + t[y * stride + x];
            }
            const double mu_a = sums[0] / n, mu_b = sums[1] / n;
            const double var_a = sums[2] / n - mu_a * mu_a, var_b = sums[3] / n - mu_b * mu_b;
            const double covariance = sums[4] / n - mu_a * mu_b;
            total += ((2 * mu_a * mu_b + c1) * (2 * covariance + c2)) /
                     ((mu_a * mu_a + mu_b * mu_b + c1) * (var_a + var_b + c2));
        }
    }
    return total / (static_cast<double>(w - kWindow + 1) * (h - kWindow + 1));
}

// RMS of (a - a_before) - (b - b_before).
double TemporalError(const ComparedImage& a, const ComparedImage& a_before, const ComparedImage& b,
                     const ComparedImage& b_before) {
    double sum = 0;
    for (size_t i = 0; i < a.rgb.size(); ++i) {
        const double d =
            (static_cast<double>(a.rgb[i]) - a_before.rgb[i]) - (static_cast<double>(b.rgb[i]) - b_before.rgb[i]);
        sum += d * d;
    }
    return a.rgb.empty() ? 0.0 : std::sqrt(sum / static_cast<double>(a.rgb.size()));
}

// The rectangles of a regions file, by frame file name.
std::map<std::string, Rect> ReadRegions(const std::string& path) {
    std::map<std::string, Rect> regions;
    if (path.empty()) return regions;
    std::istringstream lines(ReadFile(path));
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string name;
        int64_t x0, y0, x1, y1;
        if (!(fields >> name >> x0 >> y0 >> x1 >> y1))
            throw std::runtime_error(path + ": cannot read the line " + line);
        auto clamp = [](int64_t v) { return static_cast<uint32_t>(std::clamp<int64_t>(v, 0, UINT32_MAX)); };
        regions[name] = {clamp(x0), clamp(y0), clamp(x1), clamp(y1)};
    }
    return regions;
}

void RequireSameSize(const ComparedImage& out, const ComparedImage& truth, const fs::path& output) {
    if (out.width != truth.width || out.height != truth.height) {
        throw SizeMismatch(PathToUtf8(output) + " is " + std::to_string(out.width) + "x" + std::to_string(out.height) +
                           ", the ground truth " + std::to_string(truth.width) + "x" + std::to_string(truth.height));
    }
}

}  // namespace

double Psnr(double mse, double peak) {
    if (mse <= 0) return std::numeric_limits<double>::infinity();
    return 10.0 * std::log10(peak * peak / mse);
}

std::string Formatted(double value, const char* format) {
    if (std::isnan(value)) return "-";
    if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
    char text[48];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

float ToneMapped(float value) {
    if (!(value > 0.0f)) return 0.0f;
    return std::isinf(value) ? 1.0f : value / (1.0f + value);
}

SequenceReport CompareSequences(const std::string& output, const std::string& truth, const ComparisonOptions& options) {
    const double peak = options.tone_map ? 1.0 : options.peak;
    const std::map<std::string, Rect> regions = ReadRegions(options.regions);
    const std::vector<std::string> names = ExrNames(truth);
    SequenceReport report;
    double total_mse = 0, total_psnr = 0, total_ssim = 0, temporal_sum = 0, region_sum = 0;
    size_t temporal_count = 0, region_count = 0;
    ComparedImage previous_out, previous_truth;  // of the frame before, when it was compared
    bool have_previous = false;
    for (size_t i = options.skip; i < names.size(); ++i) {
        const fs::path produced = fs::path(output) / names[i];
        if (!fs::exists(produced)) {
            report.missing.push_back(names[i]);
            have_previous = false;
            continue;
        }
        ComparedImage out = LoadCompared(produced, options);
        ComparedImage expected = LoadCompared(fs::path(truth) / names[i], options);
        RequireSameSize(out, expected, produced);
        FrameReport frame;
        frame.name = names[i];
        frame.mse = MeanSquaredError(out, expected, {0, 0, out.width, out.height});
        frame.psnr = Psnr(frame.mse, peak);
        for (size_t k = 0; k < out.rgb.size(); ++k) {
            frame.max_error = std::max(frame.max_error, std::fabs(static_cast<double>(out.rgb[k]) - expected.rgb[k]));
        }
        frame.ssim = Ssim(out, expected, peak);
        frame.non_finite = out.non_finite;
        const Shift shift = AlignmentShift(Luminance(out), Luminance(expected), out.width, out.height);
        frame.shift_x = shift.x;
        frame.shift_y = shift.y;
        const double length = std::hypot(shift.x, shift.y);
        if (!(length <= report.max_shift)) report.max_shift = length;  // NaN stays once seen
        frame.temporal_error = std::numeric_limits<double>::quiet_NaN();
        if (have_previous) {
            frame.temporal_error = TemporalError(out, previous_out, expected, previous_truth);
            temporal_sum += frame.temporal_error * frame.temporal_error;
            ++temporal_count;
        }
        frame.region_mse = frame.region_psnr = std::numeric_limits<double>::quiet_NaN();
        if (const auto region = regions.find(names[i]); region != regions.end()) {
            Rect rect = region->second;
            rect.x1 = std::min(rect.x1, out.width);
            rect.y1 = std::min(rect.y1, out.height);
            frame.region_mse = MeanSquaredError(out, expected, rect);
            frame.region_psnr = Psnr(frame.region_mse, peak);
            region_sum += frame.region_mse;
            ++region_count;
        }
        total_mse += frame.mse;
        total_psnr += frame.psnr;
        total_ssim += frame.ssim;
        report.max_error = std::max(report.max_error, frame.max_error);
        report.non_finite += frame.non_finite;
        report.frames.push_back(frame);
        previous_out = std::move(out);
        previous_truth = std::move(expected);
        have_previous = true;
    }
    const auto count = static_cast<double>(report.frames.size());
    report.mean_psnr = count > 0 ? total_psnr / count : 0;
    report.overall_psnr = count > 0 ? Psnr(total_mse / count, peak) : 0;
    report.mean_ssim = count > 0 ? total_ssim / count : 0;
    report.temporal_error = temporal_count > 0 ? std::sqrt(temporal_sum / static_cast<double>(temporal_count))
                                               : std::numeric_limits<double>::quiet_NaN();
    report.region_psnr = region_count > 0 ? Psnr(region_sum / static_cast<double>(region_count), peak)
                                          : std::numeric_limits<double>::quiet_NaN();
    return report;
}

}  // namespace evaluation
