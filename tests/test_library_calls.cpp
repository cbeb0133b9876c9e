// What the tool hands the upscaler library, call by call, for a user's
// command line. The tool runs with a recording stand-in of the library (see
// kavo_recorder), which writes every call with its arguments and what the
// input textures hold when the library reads them.
#include <gtest/gtest.h>

#include <Imath/half.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <functional>
#include <map>
#include <sstream>

#include "scene/exr_image.h"
#include "tests/test_support.h"

namespace {

namespace fs = std::filesystem;

// One recorded call: "function key=value ... -> result".
struct Call {
    std::string function;
    std::map<std::string, std::string> args;
    std::string result;

    const std::string& operator[](const std::string& key) const {
        static const std::string absent = "(absent)";
        const auto found = args.find(key);
        return found == args.end() ? absent : found->second;
    }
};

Call ParseCall(const std::string& line) {
    Call call;
    std::istringstream words(line);
    words >> call.function;
    for (std::string word; words >> word;) {
        if (word == "->") {
            words >> call.result;
        } else if (const size_t equals = word.find('='); equals != std::string::npos) {
            call.args[word.substr(0, equals)] = word.substr(equals + 1);
        }
    }
    return call;
}

// Colour, velocity and depth of MakeScene's frames, 8 x 6 pixels.
constexpr int kWidth = 8, kHeight = 6;

// The tool run on a scene made by MakeScene, with the recorder in place of
// the library.
class RecordedRun {
public:
    // `edit` may change the scene's files before the run.
    explicit RecordedRun(const std::vector<std::string>& options, test::SceneLayout layout = {.mask_frames = {0}},
                         const std::function<void(const fs::path& scene)>& edit = {},
                         const std::vector<std::string>& environment = {})
        : scene_args_(test::MakeScene(dir_ / "scene", layout)) {
        if (edit) edit(Scene());
        std::vector<std::string> settings = Environment();
        settings.insert(settings.end(), environment.begin(), environment.end());
        result = test::RunTool(Arguments(options), {}, {}, settings);
        Parse();
    }

    std::vector<Call> Of(const std::string& function) const {
        std::vector<Call> found;
        for (const Call& call : calls) {
            if (call.function == function) found.push_back(call);
        }
        return found;
    }
    std::vector<std::string> Functions() const {
        std::vector<std::string> names;
        for (const Call& call : calls) names.push_back(call.function);
        return names;
    }
    // The bytes of an input texture as the library read it in execution `frame`.
    std::string Input(int frame, const std::string& name) const {
        return test::ReadText(RecordFile().string() + "." + std::to_string(frame) + "." + name);
    }
    fs::path Scene() const { return dir_ / "scene"; }

    test::ProgramResult result;
    std::vector<Call> calls;

private:
    // The scene's folders, its optional inputs only where `options` name
    // them; depth, as users mostly have it, unless they switch it off.
    std::vector<std::string> Arguments(const std::vector<std::string>& options) const {
        std::vector<std::string> args;
        for (size_t i = 0; i < scene_args_.size(); i += 2) {
            const std::string& option = scene_args_[i];
            if (option == "--depth_name" || option == "--exposure_name" || option == "--responsive_mask_name") continue;
            args.insert(args.end(), {option, scene_args_[i + 1]});
        }
        if (std::find(options.begin(), options.end(), "--depth_name") == options.end()) {
            args.insert(args.end(), {"--depth_name", "depth"});
        }
        args.insert(args.end(), options.begin(), options.end());
        return args;
    }
    fs::path RecordFile() const { return dir_ / "record.txt"; }
    std::vector<std::string> Environment() const {
        return {std::string("LD_LIBRARY_PATH=") + KAVO_RECORDER_DIR, "KAVO_RECORD_FILE=" + RecordFile().string()};
    }
    void Parse() {
        EXPECT_EQ(result.err.find("softgpu: validation error"), std::string::npos) << result.err;
        std::istringstream lines(test::ReadText(RecordFile()));
        for (std::string line; std::getline(lines, line);) calls.push_back(ParseCall(line));
    }

    test::TempDir dir_;
    std::vector<std::string> scene_args_;
};

std::string HalfBytes(std::initializer_list<float> values, int repeat) {
    std::string bytes;
    for (int i = 0; i < repeat; ++i) {
        for (float value : values) {
            const uint16_t bits = Imath::half(value).bits();
            bytes.append(reinterpret_cast<const char*>(&bits), 2);
        }
    }
    return bytes;
}

std::string FloatBytes(float value, int repeat) {
    std::string bytes;
    for (int i = 0; i < repeat; ++i) bytes.append(reinterpret_cast<const char*>(&value), 4);
    return bytes;
}

// The colour file of `frame` as the library must see it: its halves, as read.
std::string ColorFileBytes(const fs::path& scene, int frame) {
    char name[16];
    std::snprintf(name, sizeof name, "%04d.exr", frame);
    ExrImageInfo info;
    Imf::Array2D<Imf::Rgba> pixels;
    ReadExrImage((scene / "color" / name).string(), info, pixels);
    std::string bytes(static_cast<size_t>(info.width) * info.height * sizeof(Imf::Rgba), '\0');
    std::memcpy(bytes.data(), &pixels[0][0], bytes.size());
    return bytes;
}

}  // namespace

TEST(LibraryCalls, ADefaultRunCallsTheLibraryOnceEachAndExecutesEveryFrame) {
    const RecordedRun run({});
    ASSERT_EQ(run.result.exit_code, 0) << run.result.err;
    EXPECT_EQ(run.Functions(), (std::vector<std::string>{"kavoD3D12CreateContext", "kavoGetProperties", "kavoD3D12Init",
                                                         "kavoD3D12Execute", "kavoD3D12Execute", "kavoD3D12Execute",
                                                         "kavoDestroyContext"}));
    EXPECT_EQ(run.calls.front()["device"], "set");
    EXPECT_EQ(run.calls.back()["context"], "set");
    EXPECT_EQ(run.Of("kavoGetProperties").at(0)["output_resolution"], "16,12");
    const Call init = run.Of("kavoD3D12Init").at(0);
    EXPECT_EQ(init["output"], "16,12");
    EXPECT_EQ(init["quality"], "101");
    EXPECT_EQ(init["reserved"], "0");

    const std::vector<Call> executions = run.Of("kavoD3D12Execute");
    for (int frame = 0; frame < 3; ++frame) {
        const Call& execute = executions.at(static_cast<size_t>(frame));
        EXPECT_EQ(execute["reset"], frame == 0 ? "1" : "0") << frame;
        EXPECT_EQ(execute["input"], "8,6");
        EXPECT_EQ(execute["color"], "8,6/10");
        EXPECT_EQ(execute["velocity"], "8,6/34");
        EXPECT_EQ(execute["depth"], "8,6/41");
        EXPECT_EQ(execute["exposure"], "null");
        EXPECT_EQ(execute["mask"], "null");
        EXPECT_EQ(execute["output"], "16,12");
        EXPECT_EQ(execute["jitter"], "0.25,-0.125") << "B = 2 makes y negative";
        EXPECT_EQ(execute["exposure_scale"], "1");
        EXPECT_EQ(execute["reserved"], "0");
        EXPECT_EQ(execute.result, "0");
        // Each frame's own colour, as read from its file, and the decoded
        // velocity: (0.5, 0.25) with sign bit 0 set, reversed for the library.
        EXPECT_TRUE(run.Input(frame, "color") == ColorFileBytes(run.Scene(), frame)) << frame;
        EXPECT_EQ(run.Input(frame, "velocity"), HalfBytes({0.5f, -0.25f}, kWidth * kHeight)) << frame;
        EXPECT_EQ(run.Input(frame, "depth"), FloatBytes(0.5f, kWidth * kHeight)) << frame;
    }
}

TEST(LibraryCalls, InitFlagsFollowTheOptions) {
    struct Case {
        std::vector<std::string> options;
        const char* flags;
    };
    const Case cases[] = {
        {{}, "18"},                                             // inverted depth, velocity in NDC
        {{"--depth_name", ""}, "19"},                           // + no depth
        {{"--inversed_depth=false"}, "16"},                     // - inverted depth
        {{"--exposure_name", "exposure"}, "22"},                // + exposure texture
        {{"--copy_exposure_scale_to_exposure_texture"}, "22"},  // + exposure texture
        {{"--responsive_mask_name", "mask"}, "26"},             // + responsive mask
        {{"--velocity_viewport_space"}, "2"},                   // - velocity in NDC
        {{"--ldr_input_color"}, "82"},                          // + LDR colour
        {{"--jittered_mv"}, "146"},                             // + jittered motion
        {{"--depth_name", "", "--inversed_depth=false", "--exposure_name", "exposure", "--responsive_mask_name", "mask",
          "--velocity_viewport_space", "--ldr_input_color", "--jittered_mv"},
         "205"},
    };
    for (const Case& c : cases) {
        const RecordedRun run(c.options, {.frames = 1, .exposure = true, .mask_frames = {0}});
        ASSERT_EQ(run.result.exit_code, 0) << run.result.err;
        const std::string flags = run.Of("kavoD3D12Init").at(0)["flags"];
        EXPECT_EQ(flags, c.flags) << testing::PrintToString(c.options);
        // The textures given are those the flags promise.
        const Call execute = run.Of("kavoD3D12Execute").at(0);
        const uint32_t bits = static_cast<uint32_t>(std::stoul(flags));
        EXPECT_EQ(execute["depth"] == "null", (bits & 1) != 0) << flags;
        EXPECT_EQ(execute["exposure"] != "null", (bits & 4) != 0) << flags;
        EXPECT_EQ(execute["mask"] != "null", (bits & 8) != 0) << flags;
    }
}

TEST(LibraryCalls, ModelAndScalesAreSetOnceBetweenContextAndFirstFrame) {
    struct Case {
        std::vector<std::string> options;
        std::vector<std::string> calls;  // between kavoD3D12CreateContext and the first execution
        std::vector<std::string> environment = {};
        std::string err = {};
    };
    const std::string properties = "kavoGetProperties", init = "kavoD3D12Init";
    const Case cases[] = {
        {{}, {properties, init}},
        {{"--network_name", "kpss"}, {"kavoSelectNetworkModel model=0", properties, init}},
        {{"--network_name", "splat"}, {"kavoSelectNetworkModel model=1", properties, init}},
        {{"--network_name", "SPLAT"}, {properties, init}},
        // A refused model leaves the library's default in place and the run going.
        {{"--network_name", "splat"},
         {"kavoSelectNetworkModel model=1", properties, init},
         {"KAVO_RECORD_REFUSE_MODELS=1"},
         "Warning: the library refused the `splat` model; its default model is used\n"},
        {{"--jitter_scale", "2", "0.5"}, {properties, init, "kavoSetJitterScale x=2 y=0.5"}},
        {{"--velocity_scale", "1", "1.0001"}, {properties, init, "kavoSetVelocityScale x=1 y=1.00010002"}},
        {{"--jitter_scale", "1", "1", "--velocity_scale", "1", "1"}, {properties, init}},
        {{"--velocity_scale", "-1", "3", "--jitter_scale", "0.5", "1"},
         {properties, init, "kavoSetJitterScale x=0.5 y=1", "kavoSetVelocityScale x=-1 y=3"}},
    };
    for (const Case& c : cases) {
        const RecordedRun run(c.options, {.frames = 1}, {}, c.environment);
        ASSERT_EQ(run.result.exit_code, 0) << run.result.err;
        EXPECT_EQ(run.result.err, c.err);
        std::vector<std::string> between;
        for (size_t i = 1; i < run.calls.size() && run.calls[i].function != "kavoD3D12Execute"; ++i) {
            std::string text = run.calls[i].function;
            for (const char* key : {"model", "x", "y"}) {
                if (run.calls[i].args.count(key)) text += std::string(" ") + key + "=" + run.calls[i][key];
            }
            between.push_back(text);
        }
        EXPECT_EQ(between, c.calls) << testing::PrintToString(c.options);
    }
}

TEST(LibraryCalls, ExecuteParametersFollowTheOptions) {
    struct Case {
        std::vector<std::string> options;
        std::map<std::string, std::string> first_frame;  // arguments of the first execution
        std::string init_quality = "101";                // the quality init is given
    };
    const Case cases[] = {
        {{}, {{"exposure_scale", "1"}, {"exposure", "null"}, {"color_base", "0,0"}, {"depth_base", "0,0"}}},
        {{"--exposure_scale", "2.5"}, {{"exposure_scale", "2.5"}, {"exposure", "null"}}},
        {{"--exposure_name", "exposure", "--exposure_scale", "2.5"}, {{"exposure_scale", "1"}, {"exposure", "1,1/41"}}},
        {{"--copy_exposure_scale_to_exposure_texture", "--exposure_scale", "2.5"},
         {{"exposure_scale", "1"}, {"exposure", "1,1/41"}}},
        {{"--color_base_offset", "3", "4"}, {{"color_base", "3,4"}, {"velocity_base", "0,0"}, {"depth_base", "0,0"}}},
        {{"--velocity_base_offset", "5", "6"},
         {{"color_base", "0,0"}, {"velocity_base", "5,6"}, {"depth_base", "0,0"}}},
        {{"--depth_base_offset", "7", "8"}, {{"color_base", "0,0"}, {"velocity_base", "0,0"}, {"depth_base", "7,8"}}},
        {{"--depth_name", ""}, {{"depth", "null"}}},
        // The sizes of every quality are the end-to-end test's; here, that
        // the texture is the size init was given.
        {{"--quality", "ultra_quality"}, {{"output", "11,8"}}, "104"},  // 8 x 1.3 = 10.4 and 6 x 1.3 = 7.8, raised
        {{"--raw_jitter"}, {{"jitter", "0.25,0.125"}}},
        {{"--jitter_scale", "2", "2"}, {{"jitter", "0.25,-0.125"}}},  // the library scales, not the tool
    };
    for (const Case& c : cases) {
        const RecordedRun run(c.options, {.frames = 1, .exposure = true});
        ASSERT_EQ(run.result.exit_code, 0) << run.result.err;
        const Call execute = run.Of("kavoD3D12Execute").at(0);
        for (const auto& [key, value] : c.first_frame) {
            EXPECT_EQ(execute[key], value) << key << " for " << testing::PrintToString(c.options);
        }
        // The output size reaches the library twice: at init and as the texture.
        EXPECT_EQ(run.Of("kavoD3D12Init").at(0)["output"], execute["output"]);
        EXPECT_EQ(run.Of("kavoD3D12Init").at(0)["quality"], c.init_quality);
    }
}

TEST(LibraryCalls, VelocityReachesTheLibraryDecoded) {
    // The scene stores (0.5, 0.25) with sign bit 0 set in B; raw scenes store
    // the signed values in R and G.
    struct Case {
        std::vector<std::string> options;
        float x, y;
    };
    for (const Case& c :
         {Case{{}, 0.5f, -0.25f}, Case{{"--inversed_mv"}, -0.5f, 0.25f}, Case{{"--raw_velocity"}, 0.5f, 0.25f},
          Case{{"--raw_velocity", "--inversed_mv"}, -0.5f, -0.25f}}) {
        const RecordedRun run(c.options, {.frames = 1});
        EXPECT_EQ(run.Input(0, "velocity"), HalfBytes({c.x, c.y}, kWidth * kHeight))
            << testing::PrintToString(c.options);
    }
}

TEST(LibraryCalls, ExposureAndMaskTexturesHoldTheirInputs) {
    const RecordedRun from_files({"--exposure_name", "exposure", "--responsive_mask_name", "mask"},
                                 {.frames = 2, .exposure = true, .mask_frames = {0}});
    ASSERT_EQ(from_files.result.exit_code, 0) << from_files.result.err;
    EXPECT_EQ(from_files.Input(0, "exposure"), FloatBytes(1.5f, 1)) << "the exposure file's first R value";
    EXPECT_EQ(from_files.Input(0, "mask"), std::string(kWidth * kHeight, '\xff')) << "mask value 255";
    // The second frame has no mask file: it gets one zero pixel.
    EXPECT_EQ(from_files.Of("kavoD3D12Execute").at(1)["mask"], "1,1/61");
    EXPECT_EQ(from_files.Input(1, "mask"), std::string(1, '\0'));

    const RecordedRun copied(
        {"--exposure_name", "exposure", "--copy_exposure_scale_to_exposure_texture", "--exposure_scale", "2.5"},
        {.frames = 1, .exposure = true});
    EXPECT_EQ(copied.Input(0, "exposure"), FloatBytes(2.5f, 1));
}

TEST(LibraryCalls, DumpsAskForTheListAfterEveryFrame) {
    const RecordedRun dumped({"--do_dump"}, {.frames = 2});
    ASSERT_EQ(dumped.result.exit_code, 0) << dumped.result.err;
    EXPECT_EQ(dumped.Functions(),
              (std::vector<std::string>{"kavoD3D12CreateContext", "kavoGetProperties", "kavoD3D12Init",
                                        "kavoD3D12Execute", "kavoD3D12GetResourcesToDump", "kavoD3D12Execute",
                                        "kavoD3D12GetResourcesToDump", "kavoDestroyContext"}));
    EXPECT_EQ(dumped.Of("kavoD3D12GetResourcesToDump").at(0)["count"], "12");

    const RecordedRun output_only({"--do_dump_output_as_tensor"}, {.frames = 1});
    EXPECT_TRUE(output_only.Of("kavoD3D12GetResourcesToDump").empty());
}
