// The files the comparisons read: frames by name, dump trees, float EXR
// channels and CSV tables.
#include "tools/evaluation.h"

#include <ImfChannelList.h>
#include <ImfFrameBuffer.h>
#include <ImfHeader.h>
#include <ImfInputFile.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "run/path_text.h"
#include "scene/exr_image.h"
#include "scene/exr_streams.h"

namespace fs = std::filesystem;

namespace evaluation {

std::vector<std::string> ExrNames(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        if (entry.is_regular_file() && entry.path().extension() == ".exr")
            names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string ReadFile(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) throw std::runtime_error("cannot read " + PathToUtf8(path));
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
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

// Channels of a float EXR, by name.
std::map<std::string, std::vector<float>> ReadChannels(const fs::path& path, int& width, int& height) {
    RegularFileInputStream stream(PathToUtf8(path));
    Imf::InputFile file(stream);
    const Imath::Box2i window = file.header().dataWindow();
    const int64_t wide = int64_t{window.max.x} - window.min.x + 1, high = int64_t{window.max.y} - window.min.y + 1;
    // Refused before any pixel is allocated: a small damaged file may claim gigabytes.
    if (wide < 1 || high < 1 || wide > kMaxImageSide || high > kMaxImageSide) {
        throw std::runtime_error(PathToUtf8(path) + ": image of " + std::to_string(wide) + " x " +
                                 std::to_string(high) + " pixels is larger than " + std::to_string(kMaxImageSide) +
                                 " a side");
    }
    width = static_cast<int>(wide);
    height = static_cast<int>(high);
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

}  // namespace evaluation
