// evaluate: compares an upscaled sequence with its ground truth, or two dump
// trees with each other, and says pass or fail in its exit code.
#include <CLI/CLI.hpp>

#include <cmath>
#include <cstdio>
#include <iostream>
#include <limits>

#include "tools/evaluation.h"

namespace {

// Exit codes of the program.
enum ExitCode : int {
    kPass = 0,         // everything compared within the threshold or tolerance
    kFail = 1,         // quality below the threshold, or dumps differ
    kMissing = 2,      // files present on one side only
    kUnreadable = 3,   // a file could not be read
};

const char* const kExitCodes =
    "Exit codes: 0 pass; 1 below the PSNR threshold or dumps differ; 2 files missing on one side; "
    "3 a file could not be read; other values: the option parser's own.";

std::string Formatted(double value) {
    if (std::isinf(value)) return "inf";
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", value);
    return text;
}

int CompareFrames(const std::string& output, const std::string& truth, uint32_t skip, double threshold, double peak) {
    const evaluation::SequenceReport report = evaluation::CompareSequences(output, truth, skip, peak);
    for (const evaluation::FrameReport& frame : report.frames) {
        std::cout << frame.name << " PSNR=" << Formatted(frame.psnr) << " dB max_error=" << Formatted(frame.max_error)
                  << "\n";
    }
    for (const std::string& name : report.missing) std::cout << "missing output: " << name << "\n";
    std::cout << "frames=" << report.frames.size() << " mean_PSNR=" << Formatted(report.mean_psnr)
              << " dB overall_PSNR=" << Formatted(report.overall_psnr)
              << " dB max_error=" << Formatted(report.max_error) << std::endl;
    if (!report.missing.empty()) return kMissing;
    if (report.frames.empty()) return kMissing;
    return report.overall_psnr >= threshold ? kPass : kFail;
}

int CompareDumps(const std::string& a, const std::string& b, double tolerance) {
    const evaluation::DumpReport report = evaluation::CompareDumpTrees(a, b, tolerance);
    for (const std::string& line : report.lines) std::cout << line << "\n";
    std::cout << "compared=" << report.compared << " differing=" << report.differing
              << " missing=" << report.missing << std::endl;
    if (report.missing > 0) return kMissing;
    return report.differing > 0 ? kFail : kPass;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app("evaluate: compares upscaled frames with the ground truth, or two dump trees");
    app.footer(kExitCodes);
    app.require_subcommand(1);

    std::string output, truth, a, b;
    uint32_t skip = 0;
    double threshold = -std::numeric_limits<double>::infinity(), peak = 1.0, tolerance = 1e-5;
    CLI::App* frames = app.add_subcommand("frames", "PSNR and maximum error of an output sequence");
    frames->add_option("output", output, "Folder of the upscaled frames")->required();
    frames->add_option("truth", truth, "Folder of the ground-truth frames")->required();
    frames->add_option("--skip", skip, "Leave out the first frames (history warm-up)");
    frames->add_option("--threshold", threshold, "Fail when the overall PSNR (of the mean squared error of all frames) is below this many dB");
    frames->add_option("--peak", peak, "Values are clamped to [0, peak] and PSNR is relative to it");

    CLI::App* dumps = app.add_subcommand("dumps", "Compare two dump trees file by file and channel by channel");
    dumps->add_option("a", a, "First dump tree (an output folder or its sequence_dump)")->required();
    dumps->add_option("b", b, "Second dump tree")->required();
    dumps->add_option("--tolerance", tolerance, "Largest absolute difference that still counts as equal");
    CLI11_PARSE(app, argc, argv);

    try {
        if (frames->parsed()) return CompareFrames(output, truth, skip, threshold, peak);
        return CompareDumps(a, b, tolerance);
    } catch (const std::exception& error) {
        std::cerr << "evaluate: " << error.what() << std::endl;
        return kUnreadable;
    }
}
