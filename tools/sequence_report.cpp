// The report page of output sequences against the ground truth or each other.
#include <algorithm>
#include <cmath>
#include <filesystem>
#include <limits>
#include <map>
#include <optional>
#include <sstream>
#include <stdexcept>

#include "run/path_text.h"
#include "tools/evaluation.h"
#include "tools/report.h"
#include "tools/report_images.h"
#include "tools/report_page.h"

namespace fs = std::filesystem;
using evaluation::Formatted;

namespace report {

namespace {

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

std::string FigureCell(const std::string& key, double value, const char* format = "%.3f") {
    return "<td data-figure=\"" + key + "\">" + Formatted(value, format) + "</td>";
}

std::string SummaryTable(const std::vector<std::pair<std::string, evaluation::SequenceReport>>& reports) {
    std::string table =
        "<table><tr><th>compared</th><th>frames</th><th>mean PSNR, dB</th><th>overall PSNR, dB</th>"
        "<th>mean SSIM</th><th>temporal error</th><th>max error</th><th>non-finite pixels</th>"
        "<th>largest shift, output pixels</th></tr>";
    for (const auto& [name, r] : reports) {
        table += "<tr><td class=\"name\">" + Escaped(name) + "</td><td>" + std::to_string(r.frames.size()) + "</td>" +
                 FigureCell(name + ".mean_PSNR", r.mean_psnr) + FigureCell(name + ".overall_PSNR", r.overall_psnr) +
                 FigureCell(name + ".mean_SSIM", r.mean_ssim) + FigureCell(name + ".temporal_error", r.temporal_error) +
                 FigureCell(name + ".max_error", r.max_error) + "<td data-figure=\"" + name + ".non_finite\">" +
                 std::to_string(r.non_finite) + "</td>" + FigureCell(name + ".max_shift", r.max_shift, "%.4f") +
                 "</tr>";
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
    if (o.truth.empty() && o.b.empty())
        throw evaluation::UsageError("a report needs a ground truth or a second sequence");
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
    const char* const light_colors[] = {"#9ecae1", "#ff9896"};
    std::vector<Series> psnr, temporal, shift;
    for (size_t i = 0; i < reports.size(); ++i) {
        shift.push_back(
            SeriesOf(reports[i].first + " x", colors[i], reports[i].second, &evaluation::FrameReport::shift_x, o.skip));
        shift.push_back(SeriesOf(reports[i].first + " y", light_colors[i], reports[i].second,
                                 &evaluation::FrameReport::shift_y, o.skip));
        psnr.push_back(
            SeriesOf(reports[i].first, colors[i], reports[i].second, &evaluation::FrameReport::psnr, o.skip));
        temporal.push_back(
            SeriesOf(reports[i].first, colors[i], reports[i].second, &evaluation::FrameReport::temporal_error, o.skip));
    }
    body << "<h2>Per frame</h2>\n<div class=\"row\">" << Plot("PSNR per frame", "PSNR, dB", psnr)
         << Plot("Shift against the reference per frame", "output pixels", shift);
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

}  // namespace report
