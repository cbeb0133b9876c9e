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

namespace {

// The names the page gives the sequences: the labels asked for, or A, B, C...
std::vector<std::string> LabelsOf(const SequenceOptions& o) {
    if (!o.labels.empty() && o.labels.size() != o.sequences.size()) {
        throw evaluation::UsageError("report: " + std::to_string(o.labels.size()) + " labels for " +
                                     std::to_string(o.sequences.size()) + " sequences");
    }
    std::vector<std::string> labels = o.labels;
    for (size_t i = labels.size(); i < o.sequences.size(); ++i) labels.push_back(std::string(1, char('A' + i)));
    return labels;
}

std::string FileLetter(size_t i) { return std::string(1, char('a' + i)); }

struct Panel {
    std::string caption, file;
    RgbImage image;  // empty: a difference map, made once the maps' scale is known
};

}  // namespace

void WriteSequenceReport(const SequenceOptions& o) {
    const bool with_truth = !o.truth.empty();
    if (o.sequences.empty() || o.sequences.size() > kMostSequences || (!with_truth && o.sequences.size() != 2)) {
        throw evaluation::UsageError("a report compares 1 to " + std::to_string(kMostSequences) +
                                     " sequences with a ground truth, or two sequences with each other");
    }
    const std::vector<std::string> labels = LabelsOf(o);
    const fs::path html(o.html);
    const ImageFolder images(html);
    const std::string reference = with_truth ? o.truth : o.sequences[1];

    // The figures, exactly as evaluate frames gives them.
    std::vector<std::pair<std::string, evaluation::SequenceReport>> reports;
    if (with_truth) {
        for (size_t i = 0; i < o.sequences.size(); ++i) {
            reports.emplace_back(labels[i], evaluation::CompareSequences(o.sequences[i], o.truth, {.skip = o.skip}));
        }
    } else {
        reports.emplace_back(labels[0] + " against " + labels[1],
                             evaluation::CompareSequences(o.sequences[0], reference, {.skip = o.skip}));
    }

    std::ostringstream body;
    body << "<p>";
    for (size_t i = 0; i < o.sequences.size(); ++i) {
        body << Escaped(labels[i]) << ": <code>" << Escaped(o.sequences[i]) << "</code><br>";
    }
    if (with_truth) body << "ground truth: <code>" << Escaped(o.truth) << "</code><br>";
    body << "Figures leave out the first " << o.skip << " frames. Images are shown through the tone map "
         << "x&middot;E&nbsp;/&nbsp;(1&nbsp;+&nbsp;x&middot;E) with exposure E&nbsp;=&nbsp;"
         << Formatted(o.display.exposure, "%g") << ", then sRGB; differences are taken between the values shown.</p>\n";
    body << "<h2>Figures</h2>\n" << SummaryTable(reports);

    const char* const colors[kMostSequences] = {"#1f77b4", "#d62728", "#2ca02c", "#9467bd", "#ff7f0e", "#8c564b"};
    const char* const light_colors[kMostSequences] = {"#9ecae1", "#ff9896", "#98df8a", "#c5b0d5", "#ffbb78", "#c49c94"};
    std::vector<Series> psnr, temporal, shift;
    for (size_t i = 0; i < reports.size(); ++i) {
        const auto& [label, report] = reports[i];
        shift.push_back(SeriesOf(label + " x", colors[i], report, &evaluation::FrameReport::shift_x, o.skip));
        shift.push_back(SeriesOf(label + " y", light_colors[i], report, &evaluation::FrameReport::shift_y, o.skip));
        psnr.push_back(SeriesOf(label, colors[i], report, &evaluation::FrameReport::psnr, o.skip));
        temporal.push_back(SeriesOf(label, colors[i], report, &evaluation::FrameReport::temporal_error, o.skip));
    }
    body << "<h2>Per frame</h2>\n<div class=\"row\">" << Plot("PSNR per frame", "PSNR, dB", psnr)
         << Plot("Shift against the reference per frame", "output pixels", shift);
    if (with_truth) body << Plot("Temporal error per frame", "RMS of change minus truth's change", temporal);
    body << "</div>\n";

    // The chosen frames, side by side, with the differences and a zoom.
    const std::vector<std::string> names = evaluation::ExrNames(reference);
    const std::vector<uint32_t> chosen = ChosenFrames(o.frames, o.skip, static_cast<uint32_t>(names.size()));
    std::vector<std::pair<std::string, std::vector<Panel>>> frames;  // frame name, its panels
    std::vector<std::vector<float>> differences;
    for (const uint32_t frame : chosen) {
        const std::string& name = names[frame];
        const std::string stem = fs::path(name).stem().string();
        std::vector<Shown> shown;
        std::vector<Panel> panels;
        for (size_t i = 0; i < o.sequences.size(); ++i) {
            shown.push_back(LoadShown(fs::path(o.sequences[i]) / name, o.display));
            panels.push_back({labels[i], stem + "_" + FileLetter(i), ToImage(shown.back())});
        }
        if (with_truth) {
            const Shown truth = LoadShown(fs::path(o.truth) / name, o.display);
            panels.push_back({"ground truth", stem + "_truth", ToImage(truth)});
            for (size_t i = 0; i < shown.size(); ++i) {
                differences.push_back(Difference(shown[i], truth));
                panels.push_back({"|" + labels[i] + " - truth|", stem + "_" + FileLetter(i) + "_error", {}});
            }
        } else {
            differences.push_back(Difference(shown[0], shown[1]));
            panels.push_back({"|" + labels[0] + " - " + labels[1] + "|", stem + "_a_b_difference", {}});
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
