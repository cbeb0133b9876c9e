#pragma once

// The evaluate program's report page: one HTML file, its images in a folder
// beside it ("<name>_files"), to look at outputs and dumps rather than read
// numbers.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace report {

// How images are shown: every value x through x * exposure / (1 + x * exposure),
// then encoded as sRGB; the same for every panel.
struct Display {
    float exposure = 1.0f;
};

// The most sequences one page compares with a ground truth.
inline constexpr size_t kMostSequences = 6;

struct SequenceOptions {
    std::string html;                    // the page to write
    std::vector<std::string> sequences;  // output sequences: one or more with a truth, two without
    std::vector<std::string> labels;     // their names on the page; empty: A, B, C...
    std::string truth;                   // ground truth; may be empty (then the first is compared with the second)
    uint32_t skip = 0;                   // frames of history warm-up left out of the figures
    std::vector<uint32_t> frames;        // positions in the sequence to show; empty: first after skip, middle, last
    Display display;
};

// Figures per frame as a plot, and the chosen frames side by side with
// false-colour maps of their differences and a zoom of the worst region.
void WriteSequenceReport(const SequenceOptions& options);

struct DumpOptions {
    std::string html;
    std::string a, b;              // two dump trees (output folders or their sequence_dump)
    std::vector<uint32_t> frames;  // dump steps to show; empty: first, middle, last
};

// Per resource and channel the largest and mean difference between the two
// trees, worst first, with images of each channel in A, B and their difference.
void WriteDumpReport(const DumpOptions& options);

}  // namespace report
