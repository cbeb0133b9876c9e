#include "tools/report.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <optional>
#include <sstream>
#include <stdexcept>

#include "run/atomic_file.h"
#include "run/path_text.h"
#include "scene/exr_image.h"
#include "tools/evaluation.h"
#include "tools/png_image.h"

namespace fs = std::filesystem;
using evaluation::Formatted;

namespace report {

namespace {

constexpr uint32_t kThumbnailWidth = 320;  // full frames are shown at most this wide
constexpr uint32_t kZoomSize = 32;         // the zoomed region, in image pixels
constexpr uint32_t kZoomFactor = 4;

// ---- Pixels --------------------------------------------------------------

// An image as shown: per pixel R, G and B after the display's tone map, in [0, 1].
struct Shown {
    uint32_t width = 0, height = 0;
    std::vector<float> rgb;
};

uint8_t Srgb(float linear) {
    const float v = std::clamp(linear, 0.0f, 1.0f);
    const float encoded = v <= 0.0031308f ? 12.92f * v : 1.055f * std::pow(v, 1.0f / 2.4f) - 0.055f;
    return static_cast<uint8_t>(std::lround(encoded * 255.0f));
}

Shown LoadShown(const fs::path& path, const Display& display) {
    ExrImageInfo info;
    Imf::Array2D<Imf::Rgba> pixels;
    ReadExrImage(PathToUtf8(path), info, pixels);
    Shown shown{info.width, info.height, {}};
    shown.rgb.reserve(static_cast<size_t>(info.width) * info.height * 3);
    for (uint32_t y = 0; y < info.height; ++y) {
        for (uint32_t x = 0; x < info.width; ++x) {
            for (const float c : {float(pixels[y][x].r), float(pixels[y][x].g), float(pixels[y][x].b)}) {
                shown.rgb.push_back(evaluation::ToneMapped(c * display.exposure));
            }
        }
    }
    return shown;
}

RgbImage ToImage(const Shown& shown) {
    RgbImage image(shown.width, shown.height);
    for (size_t i = 0; i < shown.rgb.size(); ++i) image.rgb[i] = Srgb(shown.rgb[i]);
    return image;
}

// The largest difference of the three channels, per pixel.
std::vector<float> Difference(const Shown& a, const Shown& b) {
    if (a.width != b.width || a.height != b.height) {
        throw std::runtime_error("images of " + std::to_string(a.width) + "x" + std::to_string(a.height) + " and " +
                                 std::to_string(b.width) + "x" + std::to_string(b.height) + " cannot be compared");
    }
    std::vector<float> difference(a.rgb.size() / 3);
    for (size_t i = 0; i < difference.size(); ++i) {
        difference[i] =
            std::max({std::fabs(a.rgb[3 * i] - b.rgb[3 * i]), std::fabs(a.rgb[3 * i + 1] - b.rgb[3 * i + 1]),
                      std::fabs(a.rgb[3 * i + 2] - b.rgb[3 * i + 2])});
    }
    return difference;
}

// A perceptually ordered colour scale from dark violet (0) to yellow (1).
void Colormap(float t, uint8_t* rgb) {
    static constexpr float kAnchors[][3] = {{68, 1, 84}, {59, 82, 139}, {33, 145, 140}, {94, 201, 98}, {253, 231, 37}};
    const float position = std::clamp(std::isnan(t) ? 1.0f : t, 0.0f, 1.0f) * 4.0f;
    const int low = std::min(3, static_cast<int>(position));
    const float f = position - static_cast<float>(low);
    for (int c = 0; c < 3; ++c) {
        rgb[c] = static_cast<uint8_t>(std::lround(kAnchors[low][c] + f * (kAnchors[low + 1][c] - kAnchors[low][c])));
    }
}

RgbImage Heatmap(const std::vector<float>& values, uint32_t width, uint32_t height, float scale) {
    RgbImage image(width, height);
    for (size_t i = 0; i < values.size(); ++i) Colormap(scale > 0 ? values[i] / scale : 0.0f, &image.rgb[3 * i]);
    return image;
}

// Shrinks by a whole factor with box averages, so that it is at most `width` wide.
RgbImage Thumbnail(const RgbImage& image, uint32_t width) {
    const uint32_t k = std::max(1u, (image.width + width - 1) / width);
    if (k == 1) return image;
    RgbImage small(std::max(1u, image.width / k), std::max(1u, image.height / k));
    for (uint32_t y = 0; y < small.height; ++y) {
        for (uint32_t x = 0; x < small.width; ++x) {
            uint32_t sum[3] = {0, 0, 0}, count = 0;
            for (uint32_t j = 0; j < k && y * k + j < image.height; ++j) {
                for (uint32_t i = 0; i < k && x * k + i < image.width; ++i) {
                    const uint8_t* p = image.At(x * k + i, y * k + j);
                    for (int c = 0; c < 3; ++c) sum[c] += p[c];
                    ++count;
                }
            }
            for (int c = 0; c < 3; ++c) small.At(x, y)[c] = static_cast<uint8_t>(sum[c] / count);
        }
    }
    return small;
}

// Shrinks a large image to at most `width`, or enlarges a small one by a
// whole factor (nearest neighbour) to at least half of it: tiny tensors stay
// visible.
RgbImage Fitted(const RgbImage& image, uint32_t width) {
    if (image.width == 0 || image.width >= width / 2) return Thumbnail(image, width);
    const uint32_t factor = std::min(8u, (width / 2 + image.width - 1) / image.width);
    RgbImage large(image.width * factor, image.height * factor);
    for (uint32_t y = 0; y < large.height; ++y) {
        for (uint32_t x = 0; x < large.width; ++x) {
            const uint8_t* p = image.At(x / factor, y / factor);
            std::copy(p, p + 3, large.At(x, y));
        }
    }
    return large;
}

struct Window {
    uint32_t x = 0, y = 0, size = 0;
};

// The square of kZoomSize pixels (or the whole image, if smaller) holding the
// largest total difference.
Window WorstWindow(const std::vector<float>& difference, uint32_t width, uint32_t height) {
    const uint32_t size = std::min({kZoomSize, width, height});
    Window best{0, 0, size};
    double best_sum = -1;
    const uint32_t step = std::max(1u, size / 4);
    for (uint32_t y = 0; y + size <= height; y += step) {
        for (uint32_t x = 0; x + size <= width; x += step) {
            double sum = 0;
            for (uint32_t j = 0; j < size; ++j) {
                for (uint32_t i = 0; i < size; ++i) sum += difference[static_cast<size_t>(y + j) * width + x + i];
            }
            if (sum > best_sum) best = {x, y, size}, best_sum = sum;
        }
    }
    return best;
}

RgbImage Zoom(const RgbImage& image, const Window& window) {
    RgbImage zoomed(window.size * kZoomFactor, window.size * kZoomFactor);
    for (uint32_t y = 0; y < zoomed.height; ++y) {
        for (uint32_t x = 0; x < zoomed.width; ++x) {
            const uint8_t* p = image.At(window.x + x / kZoomFactor, window.y + y / kZoomFactor);
            std::copy(p, p + 3, zoomed.At(x, y));
        }
    }
    return zoomed;
}

// ---- The page ------------------------------------------------------------

std::string Escaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

// `path` as a relative link: every byte but the unreserved ones and the
// separators percent-encoded, so that names holding '#', '%', '?' or spaces
// still name their file.
std::string UrlEncoded(const std::string& path) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : path) {
        const auto byte = static_cast<unsigned char>(c);
        if (std::isalnum(byte) || c == '-' || c == '.' || c == '_' || c == '~' || c == '/') {
            out += c;
        } else {
            out += '%';
            out += kHex[byte >> 4];
            out += kHex[byte & 15];
        }
    }
    return out;
}

// Where the page's images go, and how the page names them.
class ImageFolder {
public:
    explicit ImageFolder(const fs::path& html)
        : name_(html.stem().string() + "_files"), folder_(html.parent_path() / name_) {
        fs::create_directories(folder_);
    }
    // Writes `image` as `file` and returns its tag.
    std::string Tag(const std::string& file, const RgbImage& image, const std::string& alt) const {
        WritePng(folder_ / file, image);
        return "<img src=\"" + Escaped(UrlEncoded(name_ + "/" + file)) + "\" width=\"" + std::to_string(image.width) +
               "\" height=\"" + std::to_string(image.height) + "\" alt=\"" + Escaped(alt) + "\">";
    }

private:
    std::string name_;
    fs::path folder_;
};

std::string Figure(const std::string& image_tag, const std::string& caption) {
    return "<figure>" + image_tag + "<figcaption>" + Escaped(caption) + "</figcaption></figure>";
}

// A colour bar of the heatmaps' scale, with its ends.
std::string ScaleLegend(const ImageFolder& images, const std::string& file, const std::string& low,
                        const std::string& high) {
    RgbImage bar(256, 12);
    for (uint32_t x = 0; x < bar.width; ++x) {
        for (uint32_t y = 0; y < bar.height; ++y) Colormap(static_cast<float>(x) / 255.0f, bar.At(x, y));
    }
    return "<div class=\"legend\">" + Escaped(low) + " " + images.Tag(file, bar, "colour scale") + " " + Escaped(high) +
           "</div>";
}

struct Series {
    std::string name;
    std::string color;
    std::vector<std::pair<double, double>> points;  // x, y; non-finite y are left out
};

// A line plot as inline SVG, with axes, ticks, labels and a legend.
std::string Plot(const std::string& title, const std::string& y_label, const std::vector<Series>& series) {
    constexpr double kWidth = 720, kHeight = 300, kLeft = 64, kRight = 150, kTop = 30, kBottom = 44;
    double x0 = std::numeric_limits<double>::infinity(), x1 = -x0, y0 = x0, y1 = -x0;
    for (const Series& s : series) {
        for (const auto& [x, y] : s.points) {
            if (!std::isfinite(y)) continue;
            x0 = std::min(x0, x), x1 = std::max(x1, x), y0 = std::min(y0, y), y1 = std::max(y1, y);
        }
    }
    if (!std::isfinite(x0)) x0 = 0, x1 = 1, y0 = 0, y1 = 1;
    if (x1 <= x0) x1 = x0 + 1;
    if (y1 <= y0) y0 -= 0.5, y1 += 0.5;
    const double pad = 0.05 * (y1 - y0);
    y0 -= pad, y1 += pad;
    auto px = [&](double x) { return kLeft + (x - x0) / (x1 - x0) * (kWidth - kLeft - kRight); };
    auto py = [&](double y) { return kTop + (y1 - y) / (y1 - y0) * (kHeight - kTop - kBottom); };
    std::ostringstream svg;
    svg << "<svg class=\"plot\" xmlns=\"http://www.w3.org/2000/svg\" width=\"" << kWidth << "\" height=\"" << kHeight
        << "\" viewBox=\"0 0 " << kWidth << " " << kHeight << "\">";
    svg << "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>";
    svg << "<text x=\"" << kWidth / 2 << "\" y=\"18\" text-anchor=\"middle\" font-weight=\"bold\">" << Escaped(title)
        << "</text>";
    // Axes with five ticks each.
    svg << "<g stroke=\"black\"><line x1=\"" << kLeft << "\" y1=\"" << py(y0) << "\" x2=\"" << px(x1) << "\" y2=\""
        << py(y0) << "\"/><line x1=\"" << kLeft << "\" y1=\"" << py(y0) << "\" x2=\"" << kLeft << "\" y2=\"" << py(y1)
        << "\"/></g>";
    for (int k = 0; k <= 4; ++k) {
        const double x = x0 + (x1 - x0) * k / 4, y = y0 + (y1 - y0) * k / 4;
        svg << "<line x1=\"" << px(x) << "\" y1=\"" << py(y0) << "\" x2=\"" << px(x) << "\" y2=\"" << py(y0) + 5
            << "\" stroke=\"black\"/><text x=\"" << px(x) << "\" y=\"" << py(y0) + 18
            << "\" text-anchor=\"middle\" font-size=\"11\">" << Formatted(x, "%.0f") << "</text>";
        svg << "<line x1=\"" << kLeft - 5 << "\" y1=\"" << py(y) << "\" x2=\"" << kLeft << "\" y2=\"" << py(y)
            << "\" stroke=\"black\"/><text x=\"" << kLeft - 8 << "\" y=\"" << py(y) + 4
            << "\" text-anchor=\"end\" font-size=\"11\">" << Formatted(y, "%.3g") << "</text>";
    }
    svg << "<text x=\"" << (kLeft + kWidth - kRight) / 2 << "\" y=\"" << kHeight - 8
        << "\" text-anchor=\"middle\" font-size=\"12\">frame</text>";
    svg << "<text transform=\"translate(16," << (kTop + kHeight - kBottom) / 2
        << ") rotate(-90)\" text-anchor=\"middle\" font-size=\"12\">" << Escaped(y_label) << "</text>";
    for (size_t i = 0; i < series.size(); ++i) {
        const Series& s = series[i];
        svg << "<polyline fill=\"none\" stroke-width=\"2\" stroke=\"" << s.color << "\" points=\"";
        for (const auto& [x, y] : s.points) {
            if (std::isfinite(y)) svg << px(x) << "," << py(y) << " ";
        }
        svg << "\"/>";
        const double legend_y = kTop + 16 + 20 * static_cast<double>(i);
        svg << "<line x1=\"" << kWidth - kRight + 12 << "\" y1=\"" << legend_y - 4 << "\" x2=\"" << kWidth - kRight + 36
            << "\" y2=\"" << legend_y - 4 << "\" stroke-width=\"3\" stroke=\"" << s.color << "\"/><text x=\""
            << kWidth - kRight + 42 << "\" y=\"" << legend_y << "\" font-size=\"12\">" << Escaped(s.name) << "</text>";
    }
    svg << "</svg>";
    return svg.str();
}

const char* const kStyle =
    "body{font-family:sans-serif;margin:24px;color:#222}table{border-collapse:collapse}"
    "td,th{border:1px solid #bbb;padding:3px 8px;text-align:right}th{background:#eee}td.name{text-align:left}"
    ".row{display:flex;flex-wrap:wrap;gap:12px;align-items:flex-start}figure{margin:0}"
    "figcaption{font-size:12px;text-align:center}img{image-rendering:pixelated;display:block}"
    ".legend{display:flex;gap:8px;align-items:center;font-size:12px;margin:6px 0}";

// Records on the page what the browser made of it, for whoever checks it:
// how many images there are, how many failed to load, how many plots and
// how tall the page is.
const char* const kSelfCheck =
    "<script>window.addEventListener('load',function(){var i=Array.from(document.images);"
    "var broken=i.filter(function(x){return !x.complete||x.naturalWidth===0;}).length;"
    "document.body.setAttribute('data-check','images='+i.length+' broken='+broken+' plots='+"
    "document.querySelectorAll('svg.plot').length+' height='+document.documentElement.scrollHeight);});</script>";

void WritePage(const fs::path& html, const std::string& title, const std::string& body) {
    const std::string page = "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>" + Escaped(title) +
                             "</title><style>" + kStyle + "</style></head><body>\n<h1>" + Escaped(title) + "</h1>\n" +
                             body + kSelfCheck + "\n</body></html>\n";
    WriteWholeFile(html, page, AtomicFile::Mode::kBinary);
}

std::vector<uint32_t> ChosenFrames(const std::vector<uint32_t>& asked, uint32_t first, uint32_t count) {
    std::vector<uint32_t> chosen;
    if (!asked.empty()) {
        for (uint32_t frame : asked) {
            if (frame < count) chosen.push_back(frame);
        }
    } else if (first < count) {
        chosen = {first, first + (count - 1 - first) / 2, count - 1};
    }
    std::sort(chosen.begin(), chosen.end());
    chosen.erase(std::unique(chosen.begin(), chosen.end()), chosen.end());
    return chosen;
}

// ---- Sequences -----------------------------------------------------------

// The heatmaps' top: the value 99% of the differences stay below, so that a
// few outliers do not leave every map dark.
float ScaleOf(const std::vector<std::vector<float>>& differences) {
    std::vector<float> all;
    for (const auto& difference : differences) all.insert(all.end(), difference.begin(), difference.end());
    if (all.empty()) return 0.0f;
    const auto at = all.begin() + static_cast<std::ptrdiff_t>((all.size() - 1) * 99 / 100);
    std::nth_element(all.begin(), at, all.end());
    return *at;
}

std::string FigureCell(const std::string& key, double value) {
    return "<td data-figure=\"" + key + "\">" + Formatted(value) + "</td>";
}

std::string SummaryTable(const std::vector<std::pair<std::string, evaluation::SequenceReport>>& reports) {
    std::string table =
        "<table><tr><th>compared</th><th>frames</th><th>mean PSNR, dB</th><th>overall PSNR, dB</th>"
        "<th>mean SSIM</th><th>temporal error</th><th>max error</th><th>non-finite pixels</th></tr>";
    for (const auto& [name, r] : reports) {
        table += "<tr><td class=\"name\">" + Escaped(name) + "</td><td>" + std::to_string(r.frames.size()) + "</td>" +
                 FigureCell(name + ".mean_PSNR", r.mean_psnr) + FigureCell(name + ".overall_PSNR", r.overall_psnr) +
                 FigureCell(name + ".mean_SSIM", r.mean_ssim) + FigureCell(name + ".temporal_error", r.temporal_error) +
                 FigureCell(name + ".max_error", r.max_error) + "<td data-figure=\"" + name + ".non_finite\">" +
                 std::to_string(r.non_finite) + "</td></tr>";
    }
    return table + "</table>\n";
}

Series SeriesOf(const std::string& name, const std::string& color, const evaluation::SequenceReport& report,
                double evaluation::FrameReport::*figure, uint32_t skip) {
    Series series{name, color, {}};
    for (size_t i = 0; i < report.frames.size(); ++i) {
        series.points.emplace_back(static_cast<double>(skip + i), report.frames[i].*figure);
    }
    return series;
}

}  // namespace

void WriteSequenceReport(const SequenceOptions& o) {
    if (o.truth.empty() && o.b.empty()) throw std::runtime_error("a report needs a ground truth or a second sequence");
    const fs::path html(o.html);
    const ImageFolder images(html);
    const bool with_truth = !o.truth.empty();
    const std::string reference = with_truth ? o.truth : o.b;

    // The figures, exactly as evaluate frames gives them.
    std::vector<std::pair<std::string, evaluation::SequenceReport>> reports;
    reports.emplace_back(with_truth ? "A" : "A against B",
                         evaluation::CompareSequences(o.a, reference, {.skip = o.skip}));
    if (with_truth && !o.b.empty())
        reports.emplace_back("B", evaluation::CompareSequences(o.b, o.truth, {.skip = o.skip}));

    std::ostringstream body;
    body << "<p>A: <code>" << Escaped(o.a) << "</code>";
    if (!o.b.empty()) body << "<br>B: <code>" << Escaped(o.b) << "</code>";
    if (with_truth) body << "<br>ground truth: <code>" << Escaped(o.truth) << "</code>";
    body << "<br>Figures leave out the first " << o.skip << " frames. Images are shown through the tone map "
         << "x&middot;E&nbsp;/&nbsp;(1&nbsp;+&nbsp;x&middot;E) with exposure E&nbsp;=&nbsp;"
         << Formatted(o.display.exposure, "%g") << ", then sRGB; differences are taken between the values shown.</p>\n";
    body << "<h2>Figures</h2>\n" << SummaryTable(reports);

    const char* const colors[] = {"#1f77b4", "#d62728"};
    std::vector<Series> psnr, temporal;
    for (size_t i = 0; i < reports.size(); ++i) {
        psnr.push_back(
            SeriesOf(reports[i].first, colors[i], reports[i].second, &evaluation::FrameReport::psnr, o.skip));
        temporal.push_back(
            SeriesOf(reports[i].first, colors[i], reports[i].second, &evaluation::FrameReport::temporal_error, o.skip));
    }
    body << "<h2>Per frame</h2>\n<div class=\"row\">" << Plot("PSNR per frame", "PSNR, dB", psnr);
    if (with_truth) body << Plot("Temporal error per frame", "RMS of change minus truth's change", temporal);
    body << "</div>\n";

    // The chosen frames, side by side, with the differences and a zoom.
    const std::vector<std::string> names = evaluation::ExrNames(reference);
    const std::vector<uint32_t> chosen = ChosenFrames(o.frames, o.skip, static_cast<uint32_t>(names.size()));
    struct Panel {
        std::string caption, file;
        RgbImage image;
    };
    std::vector<std::pair<std::string, std::vector<Panel>>> frames;  // frame name, its panels
    std::vector<std::vector<float>> differences;
    for (const uint32_t frame : chosen) {
        const std::string& name = names[frame];
        const std::string stem = fs::path(name).stem().string();
        const Shown a = LoadShown(fs::path(o.a) / name, o.display);
        std::vector<Panel> panels = {{"A", stem + "_a", ToImage(a)}};
        std::optional<Shown> b, truth;
        if (!o.b.empty()) {
            b = LoadShown(fs::path(o.b) / name, o.display);
            panels.push_back({"B", stem + "_b", ToImage(*b)});
        }
        if (with_truth) {
            truth = LoadShown(fs::path(o.truth) / name, o.display);
            panels.push_back({"ground truth", stem + "_truth", ToImage(*truth)});
            differences.push_back(Difference(a, *truth));
            panels.push_back({"|A - truth|", stem + "_a_error", {}});
            if (b) {
                differences.push_back(Difference(*b, *truth));
                panels.push_back({"|B - truth|", stem + "_b_error", {}});
            }
        } else {
            differences.push_back(Difference(a, *b));
            panels.push_back({"|A - B|", stem + "_a_b_difference", {}});
        }
        frames.emplace_back(name, std::move(panels));
    }
    const float scale = ScaleOf(differences);
    body << "<h2>Frames</h2>\n"
         << ScaleLegend(images, "scale.png", "0",
                        Formatted(scale, "%.4g") +
                            " (the difference of R, G or B as shown that 99% of the pixels stay below; larger ones "
                            "take the top colour)");
    size_t next_difference = 0;
    for (auto& [name, panels] : frames) {
        const uint32_t width = panels[0].image.width, height = panels[0].image.height;
        const size_t first_difference = next_difference;
        for (Panel& panel : panels) {
            if (panel.image.rgb.empty()) panel.image = Heatmap(differences[next_difference++], width, height, scale);
        }
        const Window worst = WorstWindow(differences[first_difference], width, height);
        body << "<h3>" << Escaped(name) << "</h3>\n<div class=\"row\">";
        for (const Panel& panel : panels) {
            body << Figure(images.Tag(panel.file + ".png", Thumbnail(panel.image, kThumbnailWidth), panel.caption),
                           panel.caption);
        }
        body << "</div>\n<p>The region of the largest difference, " << worst.size << " x " << worst.size
             << " pixels from (" << worst.x << ", " << worst.y << "), enlarged " << kZoomFactor << " times:</p>\n"
             << "<div class=\"row\">";
        for (const Panel& panel : panels) {
            body << Figure(images.Tag(panel.file + "_zoom.png", Zoom(panel.image, worst), panel.caption + ", zoomed"),
                           panel.caption);
        }
        body << "</div>\n";
    }
    WritePage(html, "Upscaler report", body.str());
}

namespace {

// ---- Dumps ---------------------------------------------------------------

// One channel of a dumped resource at one step: a grid of values.
struct Grid {
    uint32_t width = 0, height = 0;
    std::vector<float> values;
};

// The channels of one dump file, by name.
std::map<std::string, Grid> ReadDumpFile(const fs::path& path) {
    std::map<std::string, Grid> channels;
    if (path.extension() == ".exr") {
        int width = 0, height = 0;
        for (auto& [name, values] : evaluation::ReadChannels(path, width, height)) {
            channels[name] = {static_cast<uint32_t>(width), static_cast<uint32_t>(height), std::move(values)};
        }
        return channels;
    }
    // A table: a head line, then one line of values per row.
    Grid grid;
    std::istringstream lines(evaluation::ReadFile(path));
    std::string line;
    std::getline(lines, line);
    for (; std::getline(lines, line); ++grid.height) {
        std::istringstream cells(line);
        std::string cell;
        std::getline(cells, cell, ',');  // the row's label
        uint32_t columns = 0;
        for (; std::getline(cells, cell, ','); ++columns) grid.values.push_back(std::strtof(cell.c_str(), nullptr));
        grid.width = columns;
    }
    channels[path.stem().string()] = std::move(grid);
    return channels;
}

// Resource, channel and step of every value-holding file below a dump tree:
// "<resource>/step_<n>.exr" (channels R, G, B, A) and
// "step_<n>/<resource>/C_<c>.csv".
struct DumpFile {
    std::string resource;
    uint32_t step = 0;
};

std::map<std::string, DumpFile> DumpFiles(const fs::path& root) {
    std::map<std::string, DumpFile> files;
    for (const std::string& relative : evaluation::FilesBelow(root)) {
        const fs::path path(relative);
        const std::vector<std::string> parts(path.begin(), path.end());
        auto step_of = [](const std::string& text) {
            return text.rfind("step_", 0) == 0 ? static_cast<uint32_t>(std::strtoul(text.c_str() + 5, nullptr, 10))
                                               : UINT32_MAX;
        };
        if (parts.size() == 2 && path.extension() == ".exr") {
            files[relative] = {parts[0], step_of(path.stem().string())};
        } else if (parts.size() == 3 && path.extension() == ".csv") {
            files[relative] = {parts[1], step_of(parts[0])};
        }
    }
    return files;
}

struct ChannelFigures {
    std::string resource, channel;
    double largest = 0, sum = 0;
    uint64_t count = 0;
    uint32_t steps = 0;
    std::map<uint32_t, std::pair<Grid, Grid>> shown;  // step -> A, B, for the chosen steps
};

// Letters, digits, '-' and '.' kept, anything else '_'.
std::string SafeFileName(std::string name) {
    for (char& c : name) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '.') c = '_';
    }
    return name;
}

// Values mapped linearly to grey over [low, high].
RgbImage GreyImage(const Grid& grid, float low, float high) {
    RgbImage image(grid.width, grid.height);
    for (size_t i = 0; i < grid.values.size(); ++i) {
        const float v = high > low ? (grid.values[i] - low) / (high - low) : 0.5f;
        const uint8_t grey = static_cast<uint8_t>(std::lround(std::clamp(std::isnan(v) ? 0.0f : v, 0.0f, 1.0f) * 255));
        std::fill_n(&image.rgb[3 * i], 3, grey);
    }
    return image;
}

}  // namespace

void WriteDumpReport(const DumpOptions& o) {
    const fs::path html(o.html);
    const ImageFolder images(html);
    const fs::path root_a = evaluation::DumpRoot(o.a), root_b = evaluation::DumpRoot(o.b);
    const std::map<std::string, DumpFile> files_a = DumpFiles(root_a), files_b = DumpFiles(root_b);

    uint32_t last_step = 0;
    for (const auto& [relative, file] : files_a) {
        if (file.step != UINT32_MAX) last_step = std::max(last_step, file.step);
    }
    const std::vector<uint32_t> chosen = ChosenFrames(o.frames, 0, files_a.empty() ? 0 : last_step + 1);

    std::map<std::pair<std::string, std::string>, ChannelFigures> figures;
    std::vector<std::string> missing;
    for (const auto& [relative, file] : files_a) {
        if (!files_b.count(relative)) {
            missing.push_back(relative);
            continue;
        }
        const auto a = ReadDumpFile(root_a / relative), b = ReadDumpFile(root_b / relative);
        for (const auto& [channel, grid_a] : a) {
            ChannelFigures& f = figures[{file.resource, channel}];
            f.resource = file.resource;
            f.channel = channel;
            ++f.steps;
            const auto other = b.find(channel);
            if (other == b.end() || other->second.values.size() != grid_a.values.size()) {
                f.largest = std::numeric_limits<double>::infinity();
                continue;
            }
            for (size_t i = 0; i < grid_a.values.size(); ++i) {
                const double d = std::fabs(static_cast<double>(grid_a.values[i]) - other->second.values[i]);
                if (std::isnan(d)) {
                    f.largest = std::numeric_limits<double>::infinity();
                    continue;
                }
                f.largest = std::max(f.largest, d);
                f.sum += d;
                ++f.count;
            }
            if (std::binary_search(chosen.begin(), chosen.end(), file.step)) {
                f.shown[file.step] = {grid_a, other->second};
            }
        }
    }
    for (const auto& [relative, file] : files_b) {
        if (!files_a.count(relative)) missing.push_back(relative);
    }

    std::vector<const ChannelFigures*> sorted;
    for (const auto& [key, f] : figures) sorted.push_back(&f);
    std::stable_sort(sorted.begin(), sorted.end(), [](const ChannelFigures* x, const ChannelFigures* y) {
        return x->largest > y->largest || (x->largest == y->largest && x->sum * y->count > y->sum * x->count);
    });

    std::ostringstream body;
    body << "<p>A: <code>" << Escaped(PathToUtf8(root_a)) << "</code><br>B: <code>" << Escaped(PathToUtf8(root_b))
         << "</code><br>Per resource and channel over every dump step both trees hold, worst first. Channel images: "
         << "A and B in grey from the smaller to the larger of their values, the difference |A - B| in false "
         << "colour from 0 to the channel's largest difference.</p>\n";
    if (!missing.empty()) {
        body << "<p>Files on one side only:</p><ul>";
        for (const std::string& name : missing) body << "<li><code>" << Escaped(name) << "</code></li>";
        body << "</ul>\n";
    }
    body << ScaleLegend(images, "scale.png", "difference 0", "the channel's largest difference");
    body << "<table><tr><th>resource</th><th>channel</th><th>steps</th><th>max |A - B|</th><th>mean |A - B|</th>";
    for (uint32_t step : chosen) body << "<th>step " << step << ": A, B, |A - B|</th>";
    body << "</tr>\n";
    for (const ChannelFigures* f : sorted) {
        const double mean = f->count > 0 ? f->sum / static_cast<double>(f->count) : 0.0;
        body << "<tr><td class=\"name\">" << Escaped(f->resource) << "</td><td class=\"name\">" << Escaped(f->channel)
             << "</td><td>" << f->steps << "</td><td>" << Formatted(f->largest, "%.6g") << "</td><td>"
             << Formatted(mean, "%.6g") << "</td>";
        for (uint32_t step : chosen) {
            body << "<td><div class=\"row\">";
            const auto shown = f->shown.find(step);
            if (shown != f->shown.end() && shown->second.first.values.empty()) {
                body << "empty";  // a table with its head line alone
            } else if (shown != f->shown.end()) {
                const auto& [a, b] = shown->second;
                float low = std::numeric_limits<float>::infinity(), high = -low;
                for (const Grid* grid : {&a, &b}) {
                    for (float v : grid->values) {
                        if (std::isfinite(v)) low = std::min(low, v), high = std::max(high, v);
                    }
                }
                std::vector<float> difference(a.values.size());
                for (size_t i = 0; i < difference.size(); ++i) difference[i] = std::fabs(a.values[i] - b.values[i]);
                const std::string file = SafeFileName(f->resource + "_" + f->channel + "_step" + std::to_string(step));
                body << images.Tag(file + "_a.png", Fitted(GreyImage(a, low, high), 160), "A")
                     << images.Tag(file + "_b.png", Fitted(GreyImage(b, low, high), 160), "B")
                     << images.Tag(file + "_difference.png",
                                   Fitted(Heatmap(difference, a.width, a.height, static_cast<float>(f->largest)), 160),
                                   "|A - B|");
            }
            body << "</div></td>";
        }
        body << "</tr>\n";
    }
    body << "</table>\n";
    WritePage(html, "Dump report", body.str());
}

}  // namespace report
