#pragma once

// The comparisons behind the evaluate program.
#include <cstdint>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <stdexcept>

namespace evaluation {

// Arguments that ask for what cannot be done: an output into an input, a
// report with nothing to compare.
struct UsageError : std::invalid_argument {
    using std::invalid_argument::invalid_argument;
};

// An output frame whose size is not its ground truth's: the two cannot match.
struct SizeMismatch : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The EXR files of a folder, by name, sorted.
std::vector<std::string> ExrNames(const std::filesystem::path& folder);
// A whole file; throws when it cannot be read.
std::string ReadFile(const std::filesystem::path& path);
// Every regular file below `root`, by its path relative to it.
std::set<std::string> FilesBelow(const std::filesystem::path& root);
// The dump tree of an output folder (its sequence_dump) or the folder itself.
std::filesystem::path DumpRoot(const std::string& folder);
// Channels of a float EXR, by name.
std::map<std::string, std::vector<float>> ReadChannels(const std::filesystem::path& path, int& width, int& height);
// A CSV table as its labels (compared exactly) and its numbers.
void SplitTable(const std::string& text, std::vector<std::string>& labels, std::vector<float>& numbers);

// PSNR in dB of a mean squared error relative to `peak`; infinite for 0.
double Psnr(double mse, double peak);

// x / (1 + x) of a linear value, which maps any light into [0, 1]: 0 for
// NaN and values below 0, 1 for infinity.
float ToneMapped(float value);

// A figure as evaluate prints it and the report shows it: "-" where there is
// none (NaN), "inf" for a perfect PSNR.
std::string Formatted(double value, const char* format = "%.3f");

// How an output sequence is compared with its ground truth.
struct ComparisonOptions {
    uint32_t skip = 0;      // frames left out at the start (history warm-up)
    double peak = 1.0;      // values are clamped to [0, peak] and PSNR is relative to it
    bool tone_map = false;  // compare x / (1 + x) instead, for HDR content (the peak is then 1)
    std::string regions{};  // scenegen's regions.txt: a rectangle per frame; empty for none
};

struct FrameReport {
    std::string name;
    double mse = 0;
    double psnr = 0;
    double max_error = 0;
    double ssim = 0;  // of the luminance, 8 x 8 windows
    // RMS of the frame-to-frame change of the output minus that of the ground
    // truth: flicker and lag. NaN for the first compared frame.
    double temporal_error = 0;
    double region_mse = 0, region_psnr = 0;  // NaN without a region
    uint64_t non_finite = 0;                 // output pixels with an infinite or NaN channel
    // The sub-pixel shift of the output against the truth (output pixels,
    // of the luminance): how far the picture has drifted.
    double shift_x = 0, shift_y = 0;
};

struct SequenceReport {
    std::vector<FrameReport> frames;
    std::vector<std::string> missing;  // truth frames without an output
    double mean_psnr = 0;              // mean of the frames' PSNR
    double overall_psnr = 0;           // PSNR of the mean squared error of all frames
    double max_error = 0;
    double mean_ssim = 0;
    double temporal_error = 0;  // RMS over the frames that have one; NaN when none has
    double region_psnr = 0;     // PSNR of the mean region MSE; NaN without regions
    uint64_t non_finite = 0;
    double max_shift = 0;  // the largest length of a frame's shift; NaN when none could be measured
};

// Compares every EXR of `truth` (sorted by name, the first `skip` left out)
// with the file of the same name in `output`, over R, G and B.
SequenceReport CompareSequences(const std::string& output, const std::string& truth, const ComparisonOptions& options);

// A spatial upscale for comparison: every colour frame resampled to
// width x height with Catmull-Rom weights at the positions its samples were
// taken (the pixel centres moved by the frame's jitter), written under its
// name into `output`.
void BicubicUpscale(const std::string& color, const std::string& jitter, bool raw_jitter, uint32_t width,
                    uint32_t height, const std::string& output);

struct DumpReport {
    std::vector<std::string> lines;  // one per difference or missing file
    size_t compared = 0;
    size_t differing = 0;
    size_t missing = 0;
};

// Compares two dump trees (EXR per channel, CSV per value, PGM per byte, other
// files byte for byte); values further apart than `tolerance` differ.
DumpReport CompareDumpTrees(const std::string& a, const std::string& b, double tolerance);

}  // namespace evaluation
