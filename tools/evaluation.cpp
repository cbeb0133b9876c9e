#include "tools/evaluation.h"

#include <ImfChannelList.h>
#include <ImfFrameBuffer.h>
#include <ImfHeader.h>
#include <ImfInputFile.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <set>
#include <sstream>
#include <stdexcept>

#include "scene/exr_image.h"
#include "scene/path_text.h"

namespace fs = std::filesystem;

namespace evaluation {

namespace {

std::vector<std::string> ExrNames(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        if (entry.is_regular_file() && entry.path().extension() == ".exr") names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

FrameReport CompareFrame(const fs::path& output, const fs::path& truth, double peak) {
    ExrImageInfo out_info, truth_info;
    Imf::Array2D<Imf::Rgba> out, expected;
    ReadExrImage(PathToUtf8(output), out_info, out);
    ReadExrImage(PathToUtf8(truth), truth_info, expected);
    if (out_info.width != truth_info.width || out_info.height != truth_info.height) {
        throw std::runtime_error(PathToUtf8(output) + " is " + std::to_string(out_info.width) + "x" +
                                 std::to_string(out_info.height) + ", the ground truth " +
                                 std::to_string(truth_info.width) + "x" + std::to_string(truth_info.height));
    }
    auto clamped = [peak](Imath::half v) { return std::clamp(static_cast<double>(v), 0.0, peak); };
    double sum = 0, max_error = 0;
    for (uint32_t y = 0; y < out_info.height; ++y) {
        for (uint32_t x = 0; x < out_info.width; ++x) {
            const Imf::Rgba& a = out[y][x];
            const Imf::Rgba& b = expected[y][x];
            for (const double d : {clamped(a.r) - clamped(b.r), clamped(a.g) - clamped(b.g), clamped(a.b) - clamped(b.b)}) {
                sum += d * d;
                max_error = std::max(max_error, std::fabs(d));
            }
        }
    }
    FrameReport report;
    report.name = truth.filename().string();
    report.mse = sum / (3.0 * out_info.width * out_info.height);
    report.psnr = Psnr(report.mse, peak);
    report.max_error = max_error;
    return report;
}

// Every regular file below `root`, by its path relative to it.
std::set<std::string> FilesBelow(const fs::path& root) {
    std::set<std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        if (entry.is_regular_file()) files.insert(entry.path().lexically_relative(root).generic_string());
    }
    return files;
}

fs::path DumpRoot(const std::string& folder) {
    const fs::path nested = fs::path(folder) / "sequence_dump";
    return fs::is_directory(nested) ? nested : fs::path(folder);
}

std::string ReadFile(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) throw std::runtime_error("cannot read " + PathToUtf8(path));
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// Channels of a float EXR, by name.
std::map<std::string, std::vector<float>> ReadChannels(const fs::path& path, int& width, int& height) {
    Imf::InputFile file(PathToUtf8(path).c_str());
    const Imath::Box2i window = file.header().dataWindow();
    width = window.max.x - window.min.x + 1;
    height = window.max.y - window.min.y + 1;
    std::map<std::string, std::vector<float>> channels;
    Imf::FrameBuffer buffer;
    for (auto it = file.header().channels().begin(); it != file.header().channels().end(); ++it) {
        auto& values = channels[it.name()];
        values.resize(static_cast<size_t>(width) * height);
        buffer.insert(it.name(), Imf::Slice::Make(Imf::FLOAT, values.data(), window));
    }
    file.setFrameBuffer(buffer);
    file.readPixels(window.min.y, window.max.y);
    return channels;
}

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

// A CSV table as its labels (compared exactly) and its numbers.
void SplitTable(const std::string& text, std::vector<std::string>& labels, std::vector<float>& numbers) {
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream cells(line);
        std::string cell;
        for (bool first = true; std::getline(cells, cell, ','); first = false) {
            char* end = nullptr;
            const float value = std::strtof(cell.c_str(), &end);
            if (first || cell.empty() || *end != '\0') {
                labels.push_back(cell);
            } else {
                numbers.push_back(value);
            }
        }
        labels.push_back("\n");
    }
}

void CompareCsv(const std::string& a, const std::string& b, const std::string& name, double tolerance,
                DumpReport& report) {
    std::vector<std::string> labels_a, labels_b;
    std::vector<float> numbers_a, numbers_b;
    SplitTable(a, labels_a, numbers_a);
    SplitTable(b, labels_b, numbers_b);
    const double difference = labels_a == labels_b ? LargestDifference(numbers_a, numbers_b)
                                                   : std::numeric_limits<double>::infinity();
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

double Psnr(double mse, double peak) {
    if (mse <= 0) return std::numeric_limits<double>::infinity();
    return 10.0 * std::log10(peak * peak / mse);
}

SequenceReport CompareSequences(const std::string& output, const std::string& truth, uint32_t skip, double peak) {
    SequenceReport report;
    const std::vector<std::string> names = ExrNames(truth);
    double total_mse = 0, total_psnr = 0;
    for (size_t i = skip; i < names.size(); ++i) {
        const fs::path produced = fs::path(output) / names[i];
        if (!fs::exists(produced)) {
            report.missing.push_back(names[i]);
            continue;
        }
        report.frames.push_back(CompareFrame(produced, fs::path(truth) / names[i], peak));
        total_mse += report.frames.back().mse;
        total_psnr += report.frames.back().psnr;
        report.max_error = std::max(report.max_error, report.frames.back().max_error);
    }
    const auto count = static_cast<double>(report.frames.size());
    report.mean_psnr = count > 0 ? total_psnr / count : 0;
    report.overall_psnr = count > 0 ? Psnr(total_mse / count, peak) : 0;
    return report;
}

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
