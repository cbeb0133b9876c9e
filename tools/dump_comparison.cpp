// Two dump trees compared file by file: EXR channels, CSV values and PGM
// bytes, within a tolerance.
#include "tools/evaluation.h"

#include <cmath>
#include <filesystem>
#include <limits>
#include <map>
#include <set>

#include "run/path_text.h"

namespace fs = std::filesystem;

namespace evaluation {

namespace {

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
