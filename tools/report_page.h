#pragma once

// The report page itself: escaping, links, images beside it, figures,
// plots, and the page written whole.
#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "tools/png_image.h"

namespace report {

// Text with &, <, > and " escaped for HTML.
std::string Escaped(const std::string& text);
// A relative link with every byte but the unreserved ones and '/' percent-encoded.
std::string UrlEncoded(const std::string& path);

// Where the page's images go ("<page name>_files" beside it), and how the
// page names them.
class ImageFolder {
public:
    explicit ImageFolder(const std::filesystem::path& html);
    // Writes `image` as `file` and returns its tag.
    std::string Tag(const std::string& file, const RgbImage& image, const std::string& alt) const;

private:
    std::string name_;
    std::filesystem::path folder_;
};

std::string Figure(const std::string& image_tag, const std::string& caption);
// A colour bar of the heatmaps' scale, with its ends.
std::string ScaleLegend(const ImageFolder& images, const std::string& file, const std::string& low,
                        const std::string& high);

struct Series {
    std::string name;
    std::string color;
    std::vector<std::pair<double, double>> points;  // x, y; non-finite y are left out
};

// A line plot as inline SVG, with axes, ticks, labels and a legend.
std::string Plot(const std::string& title, const std::string& y_label, const std::vector<Series>& series);

// Writes the page whole, with its title, style and a self-check script.
void WritePage(const std::filesystem::path& html, const std::string& title, const std::string& body);

// The frames to show: those asked for within [0, count), or the first from
// `first` on, the middle and the last.
std::vector<uint32_t> ChosenFrames(const std::vector<uint32_t>& asked, uint32_t first, uint32_t count);

}  // namespace report
