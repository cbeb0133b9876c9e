// The report page of two dump trees, by resource and channel, worst first.
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

// ---- Dumps ---------------------------------------------------------------

// One channel of a dumped resource at one step: a grid of values.
struct Grid {
    uint32_t width = 0, height = 0;
    std::vector<float> values;
};

// The channels of one dump file, by name.
std::map<std::string, Grid> ReadDumpFile(const fs::path& path) {
    std::map<std::string, Grid> channels;
    if (path.extension() == ".exr") {
        int width = 0, height = 0;
        for (auto& [name, values] : evaluation::ReadChannels(path, width, height)) {
            channels[name] = {static_cast<uint32_t>(width), static_cast<uint32_t>(height), std::move(values)};
        }
        return channels;
    }
    // A table: a head line, then one line of values per row, read as
    // evaluate dumps reads it.
    std::vector<std::string> labels;
    Grid grid;
    evaluation::SplitTable(evaluation::ReadFile(path), labels, grid.values);
    const auto lines = static_cast<uint32_t>(std::count(labels.begin(), labels.end(), "\n"));
    grid.height = lines > 1 ? lines - 1 : 0;
    grid.width = grid.height > 0 ? static_cast<uint32_t>(grid.values.size() / grid.height) : 0;
    if (uint64_t{grid.width} * grid.height != grid.values.size()) {
        throw std::runtime_error(PathToUtf8(path) + ": rows of different lengths");
    }
    channels[path.stem().string()] = std::move(grid);
    return channels;
}

// Resource, channel and step of every value-holding file below a dump tree:
// "<resource>/step_<n>.exr" (channels R, G, B, A) and
// "step_<n>/<resource>/C_<c>.csv".
struct DumpFile {
    std::string resource;
    uint32_t step = 0;
};

std::map<std::string, DumpFile> DumpFiles(const fs::path& root) {
    std::map<std::string, DumpFile> files;
    for (const std::string& relative : evaluation::FilesBelow(root)) {
        const fs::path path(relative);
        const std::vector<std::string> parts(path.begin(), path.end());
        auto step_of = [](const std::string& text) {
            return text.rfind("step_", 0) == 0 ? static_cast<uint32_t>(std::strtoul(text.c_str() + 5, nullptr, 10))
                                               : UINT32_MAX;
        };
        if (parts.size() == 2 && path.extension() == ".exr") {
            files[relative] = {parts[0], step_of(path.stem().string())};
        } else if (parts.size() == 3 && path.extension() == ".csv") {
            files[relative] = {parts[1], step_of(parts[0])};
        }
    }
    return files;
}

struct ChannelFigures {
    std::string resource, channel;
    double largest = 0, sum = 0;
    uint64_t count = 0;
    uint32_t steps = 0;
    std::map<uint32_t, std::pair<Grid, Grid>> shown;  // step -> A, B, for the chosen steps
};

// Letters, digits, '-' and '.' kept, anything else '_'.
std::string SafeFileName(std::string name) {
    for (char& c : name) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '.') c = '_';
    }
    return name;
}

// The values at the 1st and the 99th percentile of the finite `values`:
// a few outliers (a history channel with some large values) then saturate
// instead of leaving every other value in one dark grey.
std::pair<float, float> RobustRange(std::vector<float> values) {
    std::erase_if(values, [](float v) { return !std::isfinite(v); });
    if (values.empty()) return {0.0f, 0.0f};
    auto at = [&](size_t percent) {
        const auto nth = values.begin() + static_cast<std::ptrdiff_t>((values.size() - 1) * percent / 100);
        std::nth_element(values.begin(), nth, values.end());
        return *nth;
    };
    const float low = at(1), high = at(99);
    return {low, high};
}

// Values mapped linearly to grey over [low, high].
RgbImage GreyImage(const Grid& grid, float low, float high) {
    RgbImage image(grid.width, grid.height);
    for (size_t i = 0; i < grid.values.size(); ++i) {
        const float v = high > low ? (grid.values[i] - low) / (high - low) : 0.5f;
        const uint8_t grey = static_cast<uint8_t>(std::lround(std::clamp(std::isnan(v) ? 0.0f : v, 0.0f, 1.0f) * 255));
        std::fill_n(&image.rgb[3 * i], 3, grey);
    }
    return image;
}

}  // namespace

void WriteDumpReport(const DumpOptions& o) {
    const fs::path html(o.html);
    const ImageFolder images(html);
    const fs::path root_a = evaluation::DumpRoot(o.a), root_b = evaluation::DumpRoot(o.b);
    const std::map<std::string, DumpFile> files_a = DumpFiles(root_a), files_b = DumpFiles(root_b);

    uint32_t last_step = 0;
    for (const auto& [relative, file] : files_a) {
        if (file.step != UINT32_MAX) last_step = std::max(last_step, file.step);
    }
    const std::vector<uint32_t> chosen = ChosenFrames(o.frames, 0, files_a.empty() ? 0 : last_step + 1);

    std::map<std::pair<std::string, std::string>, ChannelFigures> figures;
    // Files on one side only, by resource and side: a resource that only one
    // model has (its own accumulation) is one line, not one per file.
    std::map<std::pair<std::string, char>, size_t> missing;
    for (const auto& [relative, file] : files_a) {
        if (!files_b.count(relative)) {
            ++missing[{file.resource, 'A'}];
            continue;
        }
        const auto a = ReadDumpFile(root_a / relative), b = ReadDumpFile(root_b / relative);
        for (const auto& [channel, grid_a] : a) {
            ChannelFigures& f = figures[{file.resource, channel}];
            f.resource = file.resource;
            f.channel = channel;
            ++f.steps;
            const auto other = b.find(channel);
            if (other == b.end() || other->second.values.size() != grid_a.values.size()) {
                f.largest = std::numeric_limits<double>::infinity();
                continue;
            }
            for (size_t i = 0; i < grid_a.values.size(); ++i) {
                const double d = std::fabs(static_cast<double>(grid_a.values[i]) - other->second.values[i]);
                if (std::isnan(d)) {
                    f.largest = std::numeric_limits<double>::infinity();
                    continue;
                }
                f.largest = std::max(f.largest, d);
                f.sum += d;
                ++f.count;
            }
            if (std::binary_search(chosen.begin(), chosen.end(), file.step)) {
                f.shown[file.step] = {grid_a, other->second};
            }
        }
    }
    for (const auto& [relative, file] : files_b) {
        if (!files_a.count(relative)) ++missing[{file.resource, 'B'}];
    }

    std::vector<const ChannelFigures*> sorted;
    for (const auto& [key, f] : figures) sorted.push_back(&f);
    std::stable_sort(sorted.begin(), sorted.end(), [](const ChannelFigures* x, const ChannelFigures* y) {
        return x->largest > y->largest || (x->largest == y->largest && x->sum * y->count > y->sum * x->count);
    });

    std::ostringstream body;
    body << "<p>A: <code>" << Escaped(PathToUtf8(root_a)) << "</code><br>B: <code>" << Escaped(PathToUtf8(root_b))
         << "</code><br>Per resource and channel over every dump step both trees hold, worst first. Channel images: "
         << "A and B in grey from the 1st to the 99th percentile of their values, the difference |A - B| in "
         << "false colour from 0 to its 99th percentile; values beyond take the end's shade. Each cell gives its "
         << "ranges.</p>\n";
    if (!missing.empty()) {
        body << "<p>Files on one side only:</p><ul>";
        for (const auto& [resource_side, count] : missing) {
            body << "<li><code>" << Escaped(resource_side.first) << "</code>: " << count
                 << (count == 1 ? " file" : " files") << " in " << resource_side.second << " only</li>";
        }
        body << "</ul>\n";
    }
    body << ScaleLegend(images, "scale.png", "difference 0", "the 99th percentile of the step's differences");
    body << "<table><tr><th>resource</th><th>channel</th><th>steps</th><th>max |A - B|</th><th>mean |A - B|</th>";
    for (uint32_t step : chosen) body << "<th>step " << step << ": A, B, |A - B|</th>";
    body << "</tr>\n";
    for (const ChannelFigures* f : sorted) {
        const double mean = f->count > 0 ? f->sum / static_cast<double>(f->count) : 0.0;
        body << "<tr><td class=\"name\">" << Escaped(f->resource) << "</td><td class=\"name\">" << Escaped(f->channel)
             << "</td><td>" << f->steps << "</td><td>" << Formatted(f->largest, "%.6g") << "</td><td>"
             << Formatted(mean, "%.6g") << "</td>";
        for (uint32_t step : chosen) {
            body << "<td><div class=\"row\">";
            const auto shown = f->shown.find(step);
            if (shown != f->shown.end() && shown->second.first.values.empty()) {
                body << "empty";  // a table with its head line alone
            } else if (shown != f->shown.end()) {
                const auto& [a, b] = shown->second;
                std::vector<float> both = a.values;
                both.insert(both.end(), b.values.begin(), b.values.end());
                const auto [low, high] = RobustRange(std::move(both));
                std::vector<float> difference(a.values.size());
                for (size_t i = 0; i < difference.size(); ++i) difference[i] = std::fabs(a.values[i] - b.values[i]);
                const float scale = RobustRange(difference).second;
                const std::string file = SafeFileName(f->resource + "_" + f->channel + "_step" + std::to_string(step));
                body << images.Tag(file + "_a.png", Fitted(GreyImage(a, low, high), 160), "A")
                     << images.Tag(file + "_b.png", Fitted(GreyImage(b, low, high), 160), "B")
                     << images.Tag(file + "_difference.png", Fitted(Heatmap(difference, a.width, a.height, scale), 160),
                                   "|A - B|");
                body << "</div><div class=\"range\">A, B: " << Formatted(low, "%.4g") << " to "
                     << Formatted(high, "%.4g") << "; |A - B|: 0 to " << Formatted(scale, "%.4g");
            }
            body << "</div></td>";
        }
        body << "</tr>\n";
    }
    body << "</table>\n";
    WritePage(html, "Dump report", body.str());
}

}  // namespace report
