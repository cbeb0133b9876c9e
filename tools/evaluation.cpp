#include "tools/evaluation.h"

#include <ImfChannelList.h>
#include <ImfFrameBuffer.h>
#include <ImfHeader.h>
#include <ImfInputFile.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <set>
#include <sstream>
#include <stdexcept>

#include "run/path_text.h"
#include "scene/exr_image.h"
#include "scene/exr_streams.h"
#include "scene/frame_decoding.h"

namespace fs = std::filesystem;

namespace evaluation {

std::vector<std::string> ExrNames(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        if (entry.is_regular_file() && entry.path().extension() == ".exr")
            names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string ReadFile(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) throw std::runtime_error("cannot read " + PathToUtf8(path));
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// Every regular file below `root`, by its path relative to it.
std::set<std::string> FilesBelow(const fs::path& root) {
    std::set<std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        if (entry.is_regular_file()) files.insert(entry.path().lexically_relative(root).generic_string());
    }
    return files;
}

fs::path DumpRoot(const std::string& folder) {
    const fs::path nested = fs::path(folder) / "sequence_dump";
    return fs::is_directory(nested) ? nested : fs::path(folder);
}

// Channels of a float EXR, by name.
std::map<std::string, std::vector<float>> ReadChannels(const fs::path& path, int& width, int& height) {
    RegularFileInputStream stream(PathToUtf8(path));
    Imf::InputFile file(stream);
    const Imath::Box2i window = file.header().dataWindow();
    const int64_t wide = int64_t{window.max.x} - window.min.x + 1, high = int64_t{window.max.y} - window.min.y + 1;
    // Refused before any pixel is allocated: a small damaged file may claim gigabytes.
    if (wide < 1 || high < 1 || wide > kMaxImageSide || high > kMaxImageSide) {
        throw std::runtime_error(PathToUtf8(path) + ": image of " + std::to_string(wide) + " x " +
                                 std::to_string(high) + " pixels is larger than " + std::to_string(kMaxImageSide) +
                                 " a side");
    }
    width = static_cast<int>(wide);
    height = static_cast<int>(high);
    std::map<std::string, std::vector<float>> channels;
    Imf::FrameBuffer buffer;
    for (auto it = file.header().channels().begin(); it != file.header().channels().end(); ++it) {
        auto& values = channels[it.name()];
        values.resize(static_cast<size_t>(width) * height);
        buffer.insert(it.name(), Imf::Slice::Make(Imf::FLOAT, values.data(), window));
    }
    file.setFrameBuffer(buffer);
    file.readPixels(window.min.y, window.max.y);
    return channels;
}

// A CSV table as its labels (compared exactly) and its numbers.
void SplitTable(const std::string& text, std::vector<std::string>& labels, std::vector<float>& numbers) {
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream cells(line);
        std::string cell;
        for (bool first = true; std::getline(cells, cell, ','); first = false) {
            char* end = nullptr;
            const float value = std::strtof(cell.c_str(), &end);
            if (first || cell.empty() || *end != '\0') {
                labels.push_back(cell);
            } else {
                numbers.push_back(value);
            }
        }
        labels.push_back("\n");
    }
}

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
        throw std::runtime_error(PathToUtf8(output) + " is " + std::to_string(out.width) + "x" +
                                 std::to_string(out.height) + ", the ground truth " + std::to_string(truth.width) +
                                 "x" + std::to_string(truth.height));
    }
}

// Largest difference between two lists of numbers; infinite when they do not pair up.
double LargestDifference(const std::vector<float>& a, const std::vector<float>& b) {
    if (a.size() != b.size()) return std::numeric_limits<double>::infinity();
    double largest = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::isnan(a[i]) != std::isnan(b[i])) return std::numeric_limits<double>::infinity();
        if (!std::isnan(a[i])) largest = std::max(largest, std::fabs(static_cast<double>(a[i]) - b[i]));
    }
    return largest;
}

void CompareExr(const fs::path& a, const fs::path& b, const std::string& name, double tolerance, DumpReport& report) {
    int wa = 0, ha = 0, wb = 0, hb = 0;
    const auto channels_a = ReadChannels(a, wa, ha);
    const auto channels_b = ReadChannels(b, wb, hb);
    bool differs = false;
    if (wa != wb || ha != hb) {
        report.lines.push_back("differs: " + name + " size " + std::to_string(wa) + "x" + std::to_string(ha) +
                               " against " + std::to_string(wb) + "x" + std::to_string(hb));
        differs = true;
    } else {
        for (const auto& [channel, values] : channels_a) {
            const auto other = channels_b.find(channel);
            const double difference = other == channels_b.end() ? std::numeric_limits<double>::infinity()
                                                                : LargestDifference(values, other->second);
            if (difference > tolerance) {
                report.lines.push_back("differs: " + name + " channel " + channel +
                                       " max_difference=" + std::to_string(difference));
                differs = true;
            }
        }
    }
    report.differing += differs ? 1 : 0;
}

void CompareCsv(const std::string& a, const std::string& b, const std::string& name, double tolerance,
                DumpReport& report) {
    std::vector<std::string> labels_a, labels_b;
    std::vector<float> numbers_a, numbers_b;
    SplitTable(a, labels_a, numbers_a);
    SplitTable(b, labels_b, numbers_b);
    const double difference =
        labels_a == labels_b ? LargestDifference(numbers_a, numbers_b) : std::numeric_limits<double>::infinity();
    if (difference > tolerance) {
        report.lines.push_back("differs: " + name + " max_difference=" + std::to_string(difference));
        ++report.differing;
    }
}

void ComparePgm(const std::string& a, const std::string& b, const std::string& name, double tolerance,
                DumpReport& report) {
    std::vector<float> bytes_a(a.begin(), a.end()), bytes_b(b.begin(), b.end());
    const double difference = LargestDifference(bytes_a, bytes_b);
    if (difference > tolerance) {
        report.lines.push_back("differs: " + name + " max_difference=" + std::to_string(difference));
        ++report.differing;
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

namespace {

// Catmull-Rom weights of the four taps around a position at fraction t.
void CatmullRom(double t, double w[4]) {
    const double t2 = t * t, t3 = t2 * t;
    w[0] = 0.5 * (-t3 + 2 * t2 - t);
    w[1] = 0.5 * (3 * t3 - 5 * t2 + 2);
    w[2] = 0.5 * (-3 * t3 + 4 * t2 + t);
    w[3] = 0.5 * (t3 - t2);
}

// Input index and weights of the four samples around output position `o`.
struct Taps {
    int64_t first = 0;
    double weights[4] = {};
};

Taps TapsAt(uint32_t o, uint32_t in_size, uint32_t out_size, float jitter) {
    // Sample i was taken at i + 0.5 + jitter, in input pixels.
    const double u = (o + 0.5) * in_size / out_size - 0.5 - jitter;
    const double base = std::floor(u);
    Taps taps;
    taps.first = static_cast<int64_t>(base) - 1;
    CatmullRom(u - base, taps.weights);
    return taps;
}

}  // namespace

void BicubicUpscale(const std::string& color, const std::string& jitter, bool raw_jitter, uint32_t width,
                    uint32_t height, const std::string& output) {
    fs::create_directories(output);
    for (const std::string& name : ExrNames(color)) {
        ExrImageInfo info;
        Imf::Array2D<Imf::Rgba> in;
        ReadExrImage(PathToUtf8(fs::path(color) / name), info, in);
        const Imf::Rgba first = ReadFirstExrPixel(PathToUtf8(fs::path(jitter) / name));
        const std::array<float, 2> offset = DecodeJitter(first.r, first.g, first.b, raw_jitter);
        std::vector<Taps> columns, rows;
        for (uint32_t x = 0; x < width; ++x) columns.push_back(TapsAt(x, info.width, width, offset[0]));
        for (uint32_t y = 0; y < height; ++y) rows.push_back(TapsAt(y, info.height, height, offset[1]));
        auto at = [&](int64_t x, int64_t y) -> const Imf::Rgba& {
            return in[std::clamp<int64_t>(y, 0, info.height - 1)][std::clamp<int64_t>(x, 0, info.width - 1)];
        };
        Imf::Array2D<Imf::Rgba> out(height, width);
        for (uint32_t y = 0; y < height; ++y) {
            for (uint32_t x = 0; x < width; ++x) {
                double sum[3] = {0, 0, 0};
                for (int j = 0; j < 4; ++j) {
                    for (int i = 0; i < 4; ++i) {
                        const Imf::Rgba& pixel = at(columns[x].first + i, rows[y].first + j);
                        const double w = columns[x].weights[i] * rows[y].weights[j];
                        sum[0] += w * pixel.r;
                        sum[1] += w * pixel.g;
                        sum[2] += w * pixel.b;
                    }
                }
                // The cubic overshoots at edges; light is never negative.
                out[y][x] =
                    Imf::Rgba(static_cast<float>(std::max(sum[0], 0.0)), static_cast<float>(std::max(sum[1], 0.0)),
                              static_cast<float>(std::max(sum[2], 0.0)), 1.0f);
            }
        }
        WriteExrImage(PathToUtf8(fs::path(output) / name), {.width = width, .height = height}, out,
                      Imf::PIZ_COMPRESSION);
    }
}

DumpReport CompareDumpTrees(const std::string& a, const std::string& b, double tolerance) {
    const fs::path root_a = DumpRoot(a), root_b = DumpRoot(b);
    const std::set<std::string> files_a = FilesBelow(root_a), files_b = FilesBelow(root_b);
    DumpReport report;
    for (const std::string& name : files_a) {
        if (!files_b.count(name)) {
            report.lines.push_back("missing in " + b + ": " + name);
            ++report.missing;
            continue;
        }
        ++report.compared;
        const fs::path path_a = root_a / name, path_b = root_b / name;
        const std::string extension = fs::path(name).extension().string();
        if (extension == ".exr") {
            CompareExr(path_a, path_b, name, tolerance, report);
        } else if (extension == ".csv") {
            CompareCsv(ReadFile(path_a), ReadFile(path_b), name, tolerance, report);
        } else if (extension == ".pgm") {
            ComparePgm(ReadFile(path_a), ReadFile(path_b), name, tolerance, report);
        } else if (ReadFile(path_a) != ReadFile(path_b)) {
            report.lines.push_back("differs: " + name);
            ++report.differing;
        }
    }
    for (const std::string& name : files_b) {
        if (!files_a.count(name)) {
            report.lines.push_back("missing in " + a + ": " + name);
            ++report.missing;
        }
    }
    return report;
}

}  // namespace evaluation
