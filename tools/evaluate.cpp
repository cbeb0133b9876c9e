// evaluate: compares an upscaled sequence with its ground truth, or two dump
// trees with each other, and says pass or fail in its exit code.
#include <CLI/CLI.hpp>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <limits>

#include "run/temporary_files.h"
#include "tools/evaluation.h"
#include "tools/option_checks.h"
#include "tools/output_guard.h"
#include "tools/report.h"

namespace fs = std::filesystem;

namespace {

// Exit codes of the program.
enum ExitCode : int {
    kPass = 0,        // everything compared within the threshold or tolerance
    kFail = 1,        // quality below the threshold, or dumps differ
    kMissing = 2,     // files present on one side only
    kUnreadable = 3,  // a file could not be read
    kUsage = 4,       // the arguments ask for what cannot be done
};

const char* const kExitCodes =
    "Exit codes: 0 pass; 1 below the PSNR threshold, an output pixel that is not finite, frames of another size "
    "than the truth's, or dumps differ; 2 files missing on one side; 3 a file could not be read; 4 the arguments "
    "ask for what cannot be done (an output into an input, a report with nothing to compare); other values: the "
    "option parser's own.";

int CompareFrames(const std::string& output, const std::string& truth, const evaluation::ComparisonOptions& options,
                  double threshold) {
    const evaluation::SequenceReport report = evaluation::CompareSequences(output, truth, options);
    for (const evaluation::FrameReport& frame : report.frames) {
        std::cout << frame.name << " PSNR=" << evaluation::Formatted(frame.psnr)
                  << " dB max_error=" << evaluation::Formatted(frame.max_error)
                  << " SSIM=" << evaluation::Formatted(frame.ssim)
                  << " temporal_error=" << evaluation::Formatted(frame.temporal_error)
                  << " region_PSNR=" << evaluation::Formatted(frame.region_psnr) << " non_finite=" << frame.non_finite
                  << " shift=" << evaluation::Formatted(frame.shift_x, "%.4f") << ","
                  << evaluation::Formatted(frame.shift_y, "%.4f") << "\n";
    }
    for (const std::string& name : report.missing) std::cout << "missing output: " << name << "\n";
    std::cout << "frames=" << report.frames.size() << " mean_PSNR=" << evaluation::Formatted(report.mean_psnr)
              << " dB overall_PSNR=" << evaluation::Formatted(report.overall_psnr)
              << " dB max_error=" << evaluation::Formatted(report.max_error)
              << " mean_SSIM=" << evaluation::Formatted(report.mean_ssim)
              << " temporal_error=" << evaluation::Formatted(report.temporal_error)
              << " region_PSNR=" << evaluation::Formatted(report.region_psnr) << " non_finite=" << report.non_finite
              << " max_shift=" << evaluation::Formatted(report.max_shift, "%.4f") << std::endl;
    if (!report.missing.empty()) return kMissing;
    if (report.frames.empty()) return kMissing;
    return report.overall_psnr >= threshold && report.non_finite == 0 ? kPass : kFail;
}

int CompareDumps(const std::string& a, const std::string& b, double tolerance) {
    const evaluation::DumpReport report = evaluation::CompareDumpTrees(a, b, tolerance);
    for (const std::string& line : report.lines) std::cout << line << "\n";
    std::cout << "compared=" << report.compared << " differing=" << report.differing << " missing=" << report.missing
              << std::endl;
    if (report.missing > 0) return kMissing;
    return report.differing > 0 ? kFail : kPass;
}

}  // namespace

int main(int argc, char** argv) {
    RemoveTemporaryFilesOnSignals();
    CLI::App app("evaluate: compares upscaled frames with the ground truth, or two dump trees");
    app.footer(kExitCodes);
    app.require_subcommand(1);

    std::string output, truth, a, b;
    evaluation::ComparisonOptions comparison;
    double threshold = -std::numeric_limits<double>::infinity(), tolerance = 1e-5;
    CLI::App* frames =
        app.add_subcommand("frames", "PSNR, SSIM, temporal error and maximum error of an output sequence");
    frames->add_option("output", output, "Folder of the upscaled frames")->required();
    frames->add_option("truth", truth, "Folder of the ground-truth frames")->required();
    frames->add_option("--skip", comparison.skip, "Leave out the first frames (history warm-up)");
    frames
        ->add_option("--threshold", threshold,
                     "Fail when the overall PSNR (of the mean squared error of all frames) is below this many dB")
        ->check(tools::FiniteRange(-1000, 1000));
    frames->add_option("--peak", comparison.peak, "Values are clamped to [0, peak] and PSNR is relative to it")
        ->check(tools::FiniteRange(1e-6, 1e6));
    frames->add_flag("--tone-map", comparison.tone_map, "Compare x / (1 + x) of every value instead (for HDR content)");
    frames->add_option("--regions", comparison.regions,
                       "scenegen's regions.txt: also the PSNR inside each frame's rectangle");

    std::string color, jitter;
    bool raw_jitter = false;
    uint32_t width = 0, height = 0;
    CLI::App* bicubic = app.add_subcommand("bicubic", "Upscale a scene's colour frames spatially, for comparison");
    bicubic->add_option("color", color, "Folder of the colour frames")->required();
    bicubic->add_option("jitter", jitter, "Folder of the jitter frames")->required();
    bicubic->add_option("output", output, "Folder to write the upscaled frames into")->required();
    bicubic->add_option("--width", width, "Output width")->required()->check(CLI::Range(1u, 16384u));
    bicubic->add_option("--height", height, "Output height")->required()->check(CLI::Range(1u, 16384u));
    bicubic->add_flag("--raw-jitter", raw_jitter, "Jitter stored as signed values instead of sign bits");

    report::SequenceOptions sequences;
    std::vector<std::string> dump_trees;
    CLI::App* page = app.add_subcommand(
        "report", "Write an HTML page (images in <name>_files beside it) that shows output sequences or dump trees");
    page->add_option("html", sequences.html, "The page to write")->required();
    page->add_option("sequences", sequences.sequences,
                     "Output sequences A, B, ... (for example two models' runs of one scene and a resize)");
    page->add_option("--labels", sequences.labels, "Names of the sequences on the page, comma-separated (A, B, ...)")
        ->delimiter(',');
    page->add_option("--truth", sequences.truth, "Ground truth; without it A is compared with B");
    page->add_option("--skip", sequences.skip, "Leave the first frames out of the figures (history warm-up)");
    page->add_option("--frames", sequences.frames,
                     "Positions of the frames to show, comma-separated "
                     "(default: the first after --skip, the middle and the last)")
        ->delimiter(',');
    page->add_option("--exposure", sequences.display.exposure,
                     "Exposure E of the tone map x*E / (1 + x*E) that shows the images (1)")
        ->check(tools::FiniteRange(1e-6, 1e6));
    page->add_option("--dumps", dump_trees, "Compare two dump trees instead of sequences")->expected(2);

    CLI::App* dumps = app.add_subcommand("dumps", "Compare two dump trees file by file and channel by channel");
    dumps->add_option("a", a, "First dump tree (an output folder or its sequence_dump)")->required();
    dumps->add_option("b", b, "Second dump tree")->required();
    dumps->add_option("--tolerance", tolerance, "Largest absolute difference that still counts as equal")
        ->check(tools::FiniteRange(0, 1e30));
    CLI11_PARSE(app, argc, argv);

    try {
        if (frames->parsed()) return CompareFrames(output, truth, comparison, threshold);
        if (page->parsed()) {
            const fs::path html(sequences.html);
            std::vector<fs::path> inputs(dump_trees.begin(), dump_trees.end());
            if (dump_trees.empty()) {
                inputs.assign(sequences.sequences.begin(), sequences.sequences.end());
                inputs.push_back(sequences.truth);
            }
            tools::RefuseOutputInsideInputs(html, inputs);
            tools::RefuseOutputInsideInputs(html.parent_path() / (html.stem().string() + "_files"), inputs);
            if (!dump_trees.empty()) {
                report::WriteDumpReport({sequences.html, dump_trees[0], dump_trees[1], sequences.frames});
            } else {
                if (sequences.sequences.empty()) throw evaluation::UsageError("report: no sequence and no --dumps");
                report::WriteSequenceReport(sequences);
            }
            std::cout << "Report: " << sequences.html << std::endl;
            return kPass;
        }
        if (bicubic->parsed()) {
            tools::RefuseOutputInsideInputs(output, {color, jitter});
            evaluation::BicubicUpscale(color, jitter, raw_jitter, width, height, output);
            return kPass;
        }
        return CompareDumps(a, b, tolerance);
    } catch (const evaluation::UsageError& error) {
        std::cerr << "evaluate: " << error.what() << std::endl;
        return kUsage;
    } catch (const evaluation::SizeMismatch& error) {
        std::cerr << "evaluate: " << error.what() << std::endl;
        return kFail;
    } catch (const std::exception& error) {
        std::cerr << "evaluate: " << error.what() << std::endl;
        return kUnreadable;
    }
}
