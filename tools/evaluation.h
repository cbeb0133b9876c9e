#pragma once

// The comparisons behind the evaluate program.
#include <cstdint>
#include <string>
#include <vector>

namespace evaluation {

// PSNR in dB of a mean squared error relative to `peak`; infinite for 0.
double Psnr(double mse, double peak);

struct FrameReport {
    std::string name;
    double mse = 0;
    double psnr = 0;
    double max_error = 0;
};

struct SequenceReport {
    std::vector<FrameReport> frames;
    std::vector<std::string> missing;  // truth frames without an output
    double mean_psnr = 0;              // mean of the frames' PSNR
    double overall_psnr = 0;           // PSNR of the mean squared error of all frames
    double max_error = 0;
};

// Compares every EXR of `truth` (sorted by name, the first `skip` left out)
// with the file of the same name in `output`, over R, G and B clamped to
// [0, peak].
SequenceReport CompareSequences(const std::string& output, const std::string& truth, uint32_t skip, double peak);

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
