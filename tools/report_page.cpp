#include "tools/report_page.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <limits>
#include <sstream>

#include "run/atomic_file.h"
#include "tools/evaluation.h"
#include "tools/report_images.h"

namespace fs = std::filesystem;
using evaluation::Formatted;

namespace report {

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

ImageFolder::ImageFolder(const fs::path& html)
    : name_(html.stem().string() + "_files"), folder_(html.parent_path() / name_) {}

std::string ImageFolder::Tag(const std::string& file, const RgbImage& image, const std::string& alt) const {
    // Made with its first image: a report that fails before it has one
    // (a wrong argument, an input that cannot be read) leaves nothing.
    fs::create_directories(folder_);
    WritePng(folder_ / file, image);
    return "<img src=\"" + Escaped(UrlEncoded(name_ + "/" + file)) + "\" width=\"" + std::to_string(image.width) +
           "\" height=\"" + std::to_string(image.height) + "\" alt=\"" + Escaped(alt) + "\">";
}

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

namespace {

const char* const kStyle =
    "body{font-family:sans-serif;margin:24px;color:#222}table{border-collapse:collapse}"
    "td,th{border:1px solid #bbb;padding:3px 8px;text-align:right}th{background:#eee}td.name{text-align:left}"
    ".row{display:flex;flex-wrap:wrap;gap:12px;align-items:flex-start}figure{margin:0}"
    "figcaption{font-size:12px;text-align:center}img{image-rendering:pixelated;display:block}"
    ".legend{display:flex;gap:8px;align-items:center;font-size:12px;margin:6px 0}.range{font-size:11px;color:#555}";

// Records on the page what the browser made of it, for whoever checks it:
// how many images there are, how many failed to load, how many plots and
// how tall the page is.
const char* const kSelfCheck =
    "<script>window.addEventListener('load',function(){var i=Array.from(document.images);"
    "var broken=i.filter(function(x){return !x.complete||x.naturalWidth===0;}).length;"
    "document.body.setAttribute('data-check','images='+i.length+' broken='+broken+' plots='+"
    "document.querySelectorAll('svg.plot').length+' height='+document.documentElement.scrollHeight);});</script>";

}  // namespace

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

}  // namespace report
