// The report page of the evaluate program: its numbers, its images, and what
// a browser makes of it.
#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <set>
#include <sstream>

#include "tests/test_support.h"
#include "tools/png_image.h"

namespace {

namespace fs = std::filesystem;

test::ProgramResult Evaluate(const std::vector<std::string>& args) {
    return test::RunProgram(test::BuiltProgram("evaluate"), args);
}

// How often `part` appears in `page`.
size_t CountOf(const std::string& page, const std::string& part) {
    size_t count = 0;
    for (size_t at = page.find(part); at != std::string::npos; at = page.find(part, at + 1)) ++count;
    return count;
}

// The figures the page shows, by their keys ("A.mean_PSNR").
std::map<std::string, std::string> Figures(const std::string& page) {
    std::map<std::string, std::string> figures;
    const std::string start = "data-figure=\"";
    for (size_t at = page.find(start); at != std::string::npos; at = page.find(start, at + 1)) {
        const size_t key = at + start.size(), value = page.find('>', key) + 1;
        figures[page.substr(key, page.find('"', key) - key)] = page.substr(value, page.find('<', value) - value);
    }
    return figures;
}

// The fields of the summary line of evaluate frames.
std::map<std::string, std::string> SummaryOf(const std::string& output) {
    std::map<std::string, std::string> fields;
    std::istringstream words(test::LinesStartingWith(output, "frames=").at(0));
    for (std::string word; words >> word;) {
        const size_t equals = word.find('=');
        if (equals != std::string::npos) fields[word.substr(0, equals)] = word.substr(equals + 1);
    }
    return fields;
}

struct Image {
    std::string src;
    uint32_t width = 0, height = 0;
};

std::vector<Image> ImagesOf(const std::string& page) {
    std::vector<Image> images;
    const std::regex tag(R"re(<img src="([^"]+)" width="(\d+)" height="(\d+)")re");
    for (auto it = std::sregex_iterator(page.begin(), page.end(), tag); it != std::sregex_iterator(); ++it) {
        images.push_back(
            {(*it)[1], static_cast<uint32_t>(std::stoul((*it)[2])), static_cast<uint32_t>(std::stoul((*it)[3]))});
    }
    return images;
}

// The file an image link names: HTML entities, then percent-escapes undone.
fs::path LinkedFile(std::string link) {
    for (const auto& [entity, c] : {std::pair{"&lt;", "<"}, {"&gt;", ">"}, {"&quot;", "\""}, {"&amp;", "&"}}) {
        for (size_t at = link.find(entity); at != std::string::npos; at = link.find(entity, at + 1)) {
            link.replace(at, std::string(entity).size(), c);
        }
    }
    std::string path;
    for (size_t i = 0; i < link.size(); ++i) {
        if (link[i] == '%' && i + 2 < link.size()) {
            path += static_cast<char>(std::stoi(link.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            EXPECT_EQ(std::string("#?%\"<>&").find(link[i]), std::string::npos) << "unencoded in " << link;
            path += link[i];
        }
    }
    return path;
}

// Every image the page names exists beside it and decodes to its size.
void ExpectEveryImageWhole(const fs::path& html) {
    const std::vector<Image> images = ImagesOf(test::ReadText(html));
    ASSERT_FALSE(images.empty());
    for (const Image& image : images) {
        const RgbImage decoded = ReadPng(html.parent_path() / LinkedFile(image.src));
        EXPECT_EQ(decoded.width, image.width) << image.src;
        EXPECT_EQ(decoded.height, image.height) << image.src;
    }
}

struct Runs {
    test::TempDir dir;
    fs::path truth, upscaled, bicubic;

    Runs() {
        const std::vector<std::string> args =
            test::GenerateScene(dir.path(), {"--width", "40", "--height", "24", "--frames", "6"});
        truth = dir / "ground_truth";
        upscaled = dir / "out";
        bicubic = dir / "bicubic";
        EXPECT_EQ(test::RunTool(args).exit_code, 0);
        EXPECT_EQ(Evaluate({"bicubic", (dir / "color").string(), (dir / "jitter").string(), bicubic.string(), "--width",
                            "80", "--height", "48"})
                      .exit_code,
                  0);
    }
};

}  // namespace

// Three sequences against the truth, named by their labels: each has its
// row of figures (those evaluate frames prints), its line in the plots'
// legends and its column of images for every frame shown. A sequence
// against itself shows no difference.
TEST(Report, NumbersAreEvaluateFramesNumbersAndEveryImageIsWhole) {
    Runs runs;
    const fs::path html = runs.dir / "page" / "report.html";
    fs::create_directories(html.parent_path());
    const std::vector<std::pair<std::string, fs::path>> sequences = {
        {"kpss", runs.upscaled}, {"bicubic", runs.bicubic}, {"truth & copy", runs.truth}};
    const auto written = Evaluate({"report", html.string(), runs.upscaled.string(), runs.bicubic.string(),
                                   runs.truth.string(), "--truth", runs.truth.string(), "--skip", "2", "--frames",
                                   "2,5", "--labels", "kpss,bicubic,truth & copy"});
    ASSERT_EQ(written.exit_code, 0) << written.err;
    const std::string page = test::ReadText(html);

    const std::map<std::string, std::string> figures = Figures(page);
    for (const auto& [label, folder] : sequences) {
        const auto printed = SummaryOf(Evaluate({"frames", folder.string(), runs.truth.string(), "--skip", "2"}).out);
        for (const char* field :
             {"mean_PSNR", "overall_PSNR", "mean_SSIM", "temporal_error", "max_error", "non_finite", "max_shift"}) {
            EXPECT_EQ(figures.at(label + "." + field), printed.at(field)) << label << " " << field;
        }
        const std::string escaped = label == "truth & copy" ? "truth &amp; copy" : label;
        EXPECT_NE(page.find("font-size=\"12\">" + escaped + "</text>"), std::string::npos) << label << " in a legend";
        // Two frames, each shown whole and zoomed, with the difference map.
        EXPECT_EQ(CountOf(page, "<figcaption>" + escaped + "</figcaption>"), 4u) << label;
        EXPECT_EQ(CountOf(page, "<figcaption>|" + escaped + " - truth|</figcaption>"), 4u) << label;
    }
    EXPECT_EQ(page.find(">A<"), std::string::npos) << "no sequence goes by a letter when labels are given";
    EXPECT_NE(page.find("<h3>0002.exr</h3>"), std::string::npos);
    EXPECT_NE(page.find("<h3>0005.exr</h3>"), std::string::npos);
    EXPECT_EQ(page.find("<h3>0003.exr</h3>"), std::string::npos) << "only the frames asked for";
    EXPECT_EQ(CountOf(page, "class=\"plot\""), 3u) << "plots of PSNR, the shift and the temporal error";
    ExpectEveryImageWhole(html);

    // A sequence against itself shows no difference anywhere.
    const fs::path same = runs.dir / "same.html";
    ASSERT_EQ(Evaluate({"report", same.string(), runs.upscaled.string(), runs.upscaled.string()}).exit_code, 0);
    ExpectEveryImageWhole(same);
    // Every pixel of every |A - B| map, thumbnail or zoom, has the colour of 0.
    size_t maps = 0;
    for (const Image& image : ImagesOf(test::ReadText(same))) {
        if (image.src.find("_a_b_difference") == std::string::npos) continue;
        ++maps;
        const RgbImage decoded = ReadPng(runs.dir / LinkedFile(image.src));
        for (size_t i = 0; i < decoded.rgb.size(); i += 3) {
            ASSERT_EQ(std::vector<uint8_t>(decoded.rgb.begin() + i, decoded.rgb.begin() + i + 3),
                      (std::vector<uint8_t>{68, 1, 84}))
                << image.src;
        }
    }
    EXPECT_EQ(maps, 6u) << "three frames, each with a map and its zoom";
}

TEST(Report, DumpTreesByResourceAndChannelWorstFirst) {
    test::TempDir dir;
    std::vector<std::string> args =
        test::GenerateScene(dir.path(), {"--width", "24", "--height", "16", "--frames", "2"});
    args.insert(args.end(), {"--do_dump", "--dump_resource_filter", "luminance,clip_boxes"});
    ASSERT_EQ(test::RunTool(args).exit_code, 0);
    fs::copy(dir / "out", dir / "other", fs::copy_options::recursive);
    // One value of one channel differs by 0.5.
    const fs::path table = dir / "other" / "sequence_dump" / "step_1" / "clip_boxes" / "C_002.csv";
    std::string text = test::ReadText(table);
    const size_t row = text.find("\nc002_y0001,") + 12;
    text.replace(row, text.find(',', row) - row, "12345");
    test::WriteText(table, text);

    const fs::path html = dir / "dumps.html";
    const auto written =
        Evaluate({"report", html.string(), "--dumps", (dir / "out").string(), (dir / "other").string()});
    ASSERT_EQ(written.exit_code, 0) << written.err;
    const std::string page = test::ReadText(html);
    // The table's first row is the channel that differs.
    const size_t first_row = page.find("<tr><td class=\"name\">");
    ASSERT_NE(first_row, std::string::npos);
    EXPECT_EQ(page.substr(first_row, 70).find("clip_boxes</td><td class=\"name\">C_002"), 21u)
        << page.substr(first_row, 90);
    // The one outlier saturates: the greys and the difference map span the
    // values' 1st to 99th percentile, and each cell says so.
    const std::string first_cells = page.substr(first_row, page.find("</tr>", first_row) - first_row);
    EXPECT_NE(first_cells.find("<div class=\"range\">A, B: "), std::string::npos) << first_cells;
    EXPECT_EQ(first_cells.find("e+04"), std::string::npos) << "scaled to the outlier of 12345";
    for (const char* resource :
         {"luminance</td><td class=\"name\">R", "luminance_pyramid</td><td class=\"name\">C_001"}) {
        EXPECT_NE(page.find(resource), std::string::npos) << resource;
    }
    ExpectEveryImageWhole(html);
}

TEST(Report, AwkwardFrameNamesAreEscapedAndEncodedAndAnEmptyTableShowsEmpty) {
    test::TempDir dir;
    const std::string awkward = "a<b&c\"d#e%41f?g";
    for (const char* sequence : {"a", "truth"}) {
        fs::create_directories(dir / sequence);
        test::WriteUniform(dir / sequence / (awkward + ".exr"), 8, 8, Imf::Rgba(0.5f, 0.25f, 0.125f, 1.0f));
    }
    const fs::path html = dir / "page.html";
    const auto written = Evaluate({"report", html.string(), (dir / "a").string(), "--truth", (dir / "truth").string()});
    ASSERT_EQ(written.exit_code, 0) << written.err;
    const std::string page = test::ReadText(html);
    EXPECT_NE(page.find("<h3>a&lt;b&amp;c&quot;d#e%41f?g.exr</h3>"), std::string::npos);
    EXPECT_EQ(page.find(awkward), std::string::npos) << "the name unescaped";
    ExpectEveryImageWhole(html);

    // A table of a region without rows: its head line alone, on both sides.
    for (const char* tree : {"one", "two"}) {
        fs::create_directories(dir / tree / "step_0" / "t");
        test::WriteText(dir / tree / "step_0" / "t" / "C_000.csv", "c_y/x");
    }
    const fs::path dumps = dir / "dumps.html";
    const auto compared =
        Evaluate({"report", dumps.string(), "--dumps", (dir / "one").string(), (dir / "two").string()});
    ASSERT_EQ(compared.exit_code, 0) << compared.err;
    EXPECT_NE(test::ReadText(dumps).find("<div class=\"row\">empty</div>"), std::string::npos);
}

TEST(Report, TheDemosReportRendersInABrowser) {
    test::TempDir dir;
    const fs::path build = fs::path(INFERENCE_TOOL_PATH).parent_path().parent_path();
    // The demo's scene with the fewest frames its figures take (they skip 8).
    const auto demo = test::RunProgram("bash", {(fs::path(SOURCE_DIR) / "scripts" / "demo.sh").string(), build.string(),
                                                (dir / "demo").string(), "10"});
    ASSERT_EQ(demo.exit_code, 0) << demo.err;
    const fs::path html = dir / "demo" / "report.html", dumps = dir / "demo" / "dumps.html";
    for (const std::string& line :
         std::vector<std::string>{"  kpss   PSNR ", "  splat  PSNR ", "  resize PSNR ",
                                  "Upscale report (kpss, splat, resize against the ground truth): " + html.string(),
                                  "Dump report (kpss against splat, resource by resource): " + dumps.string()}) {
        EXPECT_EQ(test::LinesStartingWith(demo.out, line).size(), 1u) << line << " in\n" << demo.out;
    }
    const std::string differ_most = "differ most between kpss and splat (largest difference):\n";
    const size_t listed = demo.out.find(differ_most);
    ASSERT_NE(listed, std::string::npos) << demo.out;
    EXPECT_EQ(test::LinesStartingWith(demo.out.substr(listed + differ_most.size()), "  ").size(), 3u)
        << "three resources";
    ExpectEveryImageWhole(html);
    ExpectEveryImageWhole(dumps);

    const std::vector<std::string> chromium = {"--headless",
                                               "--no-sandbox",
                                               "--disable-gpu",
                                               "--disable-quic",
                                               "--no-first-run",
                                               "--disable-background-networking",
                                               "--disable-component-update",
                                               "--disable-sync",
                                               "--hide-scrollbars",
                                               "--user-data-dir=" + (dir / "profile").string(),
                                               "--virtual-time-budget=10000"};
    // What the browser made of each page: the page records it when it has loaded.
    unsigned long height = 0;
    for (const auto& [page, plots] : {std::pair{html, 3ul}, std::pair{dumps, 0ul}}) {
        std::vector<std::string> dump = chromium;
        // Laid out as wide as the screenshot below, so that its height is the page's.
        dump.insert(dump.end(), {"--window-size=1280,1000", "--dump-dom", "file://" + page.string()});
        const auto dom = test::RunProgram("chromium", dump);
        ASSERT_EQ(dom.exit_code, 0) << dom.err;
        std::smatch check;
        std::regex_search(dom.out, check,
                          std::regex(R"re(data-check="images=(\d+) broken=(\d+) plots=(\d+) height=(\d+)")re"));
        ASSERT_FALSE(check.empty()) << page << ": the page's check did not run";
        EXPECT_EQ(std::stoul(check[1]), ImagesOf(test::ReadText(page)).size()) << page;
        EXPECT_EQ(std::stoul(check[2]), 0u) << page << ": no broken image";
        EXPECT_EQ(std::stoul(check[3]), plots) << page << ": the plots of PSNR, shift and temporal error";
        if (page == html) height = std::stoul(check[4]);
    }
    EXPECT_GT(height, 1500u);

    // A screenshot of the whole page: drawn to its foot, not blank.
    std::vector<std::string> shot = chromium;
    shot.insert(shot.end(), {"--window-size=1280," + std::to_string(height),
                             "--screenshot=" + (dir / "page.png").string(), "file://" + html.string()});
    ASSERT_EQ(test::RunProgram("chromium", shot).exit_code, 0);
    const RgbImage page = ReadPng(dir / "page.png");
    ASSERT_EQ(page.height, height);
    std::set<uint32_t> colors, colors_in_last_fifth;
    for (uint32_t y = 0; y < page.height; ++y) {
        for (uint32_t x = 0; x < page.width; ++x) {
            const uint8_t* p = page.At(x, y);
            const uint32_t color = (uint32_t{p[0]} << 16) | (uint32_t{p[1]} << 8) | p[2];
            colors.insert(color);
            if (y > page.height * 4 / 5) colors_in_last_fifth.insert(color);
        }
    }
    EXPECT_GT(colors.size(), 1000u) << "images and plots, not a blank page";
    EXPECT_GT(colors_in_last_fifth.size(), 100u) << "the images reach the foot of the page";
}
