// pipeline_bench: the tool's speed and memory where its users feel them, each
// figure as a ratio measured in the same run (the machines are shared and
// noisy). It links the tool's library to time the per-frame stages, and runs
// the built executables for whole runs.
#include <ImfRgbaFile.h>
#include <ImfThreading.h>
#include <CLI/CLI.hpp>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <random>
#include <sstream>
#include <thread>
#include <vector>

#include "app/options.h"
#include "app/run_flow.h"
#include "dump/tensor_dump.h"
#include "platform/d3d12/softgpu.h"
#include "scene/exr_image.h"
#include "scene/frame_loading.h"
#include "upscaler/frame_execution.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

struct ChildRun {
    double seconds = 0;
    double peak_megabytes = 0;
    int exit_code = 0;
};

// Runs a program with its output discarded; wall time and peak resident memory.
ChildRun RunChild(const std::vector<std::string>& command) {
    std::fflush(stdout);  // or the child would print what is still buffered here
    const auto start = Clock::now();
    const pid_t child = fork();
    if (child == 0) {
        std::freopen("/dev/null", "w", stdout);
        std::vector<char*> argv;
        for (const std::string& arg : command) argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    // ru_maxrss counts kibibytes; every other figure here is in 10^6 bytes.
    const double peak_megabytes = static_cast<double>(usage.ru_maxrss) * 1024.0 / 1e6;
    return {Seconds(start), peak_megabytes, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

// The best of `repeats` runs: the least disturbed by the machine's other work.
ChildRun BestOf(int repeats, const std::vector<std::string>& command) {
    ChildRun best;
    for (int i = 0; i < repeats; ++i) {
        const ChildRun run = RunChild(command);
        if (run.exit_code != 0)
            throw std::runtime_error("failed: " + command[0] + " exited with " + std::to_string(run.exit_code));
        if (i == 0 || run.seconds < best.seconds) best = run;
    }
    return best;
}

std::vector<fs::path> Frames(const fs::path& folder) {
    std::vector<fs::path> frames;
    for (const auto& entry : fs::directory_iterator(folder)) {
        if (entry.path().extension() == ".exr") frames.push_back(entry.path());
    }
    std::sort(frames.begin(), frames.end());
    return frames;
}

int missed_targets = 0;

void Report(const std::string& figure, double value, const std::string& unit, const std::string& target, bool met) {
    missed_targets += met ? 0 : 1;
    std::printf("  %-44s %10.3f %-6s target %-28s %s\n", figure.c_str(), value, unit.c_str(), target.c_str(),
                met ? "met" : "MISSED");
}

struct Stages {
    double decode = 0, record = 0, gpu = 0, readback = 0, write = 0, frames = 0;
    // The device resources live once the frames are done and theirs are
    // released: the library's state, which it makes at init (output size)
    // and at the first frame (input size).
    double library_bytes = 0;
    std::vector<double> gpu_per_frame;
};

// The device stage of all frames as the median frame's times their number:
// on a shared machine, a frame that another process slowed down says nothing
// about the upscaler.
double SteadyDeviceSeconds(Stages stages) {
    std::vector<double>& times = stages.gpu_per_frame;
    if (times.empty()) return stages.gpu;
    std::nth_element(times.begin(), times.begin() + times.size() / 2, times.end());
    return times[times.size() / 2] * static_cast<double>(times.size());
}

// The tool's per-frame stages, in-process, with the tool's own code.
Stages TimeStages(const std::string& config, const fs::path& output, const std::string& model = "kpss") {
    CLI::App app;
    OptionValues values;
    DeclareOptions(app, values);
    app.parse(std::vector<std::string>{model, "--network_name", output.string(), "--output_path", config, "--config"});
    std::streambuf* console = std::cout.rdbuf(nullptr);  // the tool's progress lines
    InferenceRun run(MakeRunSettings(values));
    Stages stages;
    const uint64_t before_init = softgpu_resource_bytes();
    InitRun(run, values.scene);
    for (;;) {
        auto start = Clock::now();
        if (run.frame_queue.empty()) LoadFrames(run, 1);
        if (run.frame_queue.empty()) break;
        stages.decode += Seconds(start);
        {
            start = Clock::now();
            FrameExecution frame(run, run.frame_queue.front());
            frame.RecordUpscale();
            stages.record += Seconds(start);
            start = Clock::now();
            frame.SubmitAndWait();
            stages.gpu_per_frame.push_back(Seconds(start));
            stages.gpu += stages.gpu_per_frame.back();
            start = Clock::now();
            frame.ReadOutput();
            stages.readback += Seconds(start);
            start = Clock::now();
            frame.WriteOutput();
            stages.write += Seconds(start);
        }
        run.frame_queue.pop_front();
        ++run.frames_processed;
        ++stages.frames;
    }
    stages.library_bytes = static_cast<double>(softgpu_resource_bytes() - before_init);
    std::cout.rdbuf(console);
    return stages;
}

// Of two runs, the one whose device stage took less time.
Stages BestStagesOfTwo(const std::string& config, const fs::path& output, const std::string& model) {
    return std::min(TimeStages(config, output, model), TimeStages(config, output, model),
                    [](const Stages& a, const Stages& b) { return a.gpu < b.gpu; });
}

// What OpenEXR alone takes for the same files: the inputs read, outputs of
// the same content written with PIZ, with the tool's thread count.
double ExrFloor(const fs::path& scene, const fs::path& outputs, const fs::path& scratch) {
    std::vector<std::pair<ExrImageInfo, std::unique_ptr<Imf::Array2D<Imf::Rgba>>>> images;
    for (const fs::path& frame : Frames(outputs)) {
        images.emplace_back(ExrImageInfo{}, std::make_unique<Imf::Array2D<Imf::Rgba>>());
        ReadExrImage(frame.string(), images.back().first, *images.back().second);
    }
    const auto start = Clock::now();
    size_t index = 0;
    for (const fs::path& color : Frames(scene / "color")) {
        for (const char* kind : {"color", "velocity", "depth", "jitter"}) {
            Imf::RgbaInputFile file((scene / kind / color.filename()).c_str(), Imf::globalThreadCount());
            const Imath::Box2i window = file.dataWindow();
            const int width = window.max.x - window.min.x + 1, height = window.max.y - window.min.y + 1;
            Imf::Array2D<Imf::Rgba> pixels(height, width);
            file.setFrameBuffer(&pixels[0][0], 1, width);
            file.readPixels(window.min.y, window.max.y);
        }
        const auto& [info, pixels] = images.at(index++);
        Imf::RgbaOutputFile out((scratch / color.filename()).c_str(), ExrImageHeader(info, Imf::PIZ_COMPRESSION),
                                Imf::WRITE_RGBA, Imf::globalThreadCount());
        out.setFrameBuffer(&(*pixels)[0][0], 1, info.width);
        out.writePixels(static_cast<int>(info.height));
    }
    return Seconds(start);
}

// The plain way of writing the same table: one fprintf per value.
void WriteTableWithFprintf(const Tensor<double>& tensor, uint64_t channel, const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "w");
    std::fprintf(file, "c_y/x");
    for (uint64_t x = 0; x < tensor.width; ++x) std::fprintf(file, ",x%d", static_cast<int>(x));
    for (uint64_t y = 0; y < tensor.height; ++y) {
        std::fprintf(file, "\nc%03d_y%04d", static_cast<int>(channel), static_cast<int>(y));
        for (uint64_t x = 0; x < tensor.width; ++x) std::fprintf(file, ",%f", tensor.At(channel, x, y));
    }
    std::fclose(file);
}

uint64_t CsvBytes(const fs::path& folder) {
    uint64_t bytes = 0;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        if (entry.path().extension() == ".csv") bytes += entry.file_size();
    }
    return bytes;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app("pipeline_bench: speed and memory of the inference tool");
    std::string scene, bin, work;
    app.add_option("scene", scene, "A scene from scenegen (with scene.ini)")->required();
    app.add_option("--bin", bin, "Folder of the built programs")->required();
    app.add_option("--work", work, "Scratch folder")->required();
    CLI11_PARSE(app, argc, argv);

    const fs::path root(scene), scratch(work);
    const std::string config = (root / "scene.ini").string(), tool = (fs::path(bin) / "inference_tool").string();
    fs::create_directories(scratch);
    Imf::setGlobalThreadCount(static_cast<int>(ExrThreadCount(std::thread::hardware_concurrency())));

    // 1. End to end, and the stages.
    const ChildRun whole = BestOf(2, {tool, "--config", config, "--output_path", (scratch / "e2e").string()});
    // Every figure that the whole run is set against is the best of two, as the whole run is.
    const Stages stages = BestStagesOfTwo(config, scratch / "stages", "kpss");
    const double device_megabytes = softgpu_peak_resource_bytes() / 1e6;
    const double frames = stages.frames;
    ExrImageInfo first_output;
    Imf::Array2D<Imf::Rgba> pixels;
    ReadExrImage(Frames(scratch / "e2e").front().string(), first_output, pixels);
    ExrImageInfo first_input;
    ReadExrImage(Frames(root / "color").front().string(), first_input, pixels);
    const double output_megapixels = frames * first_output.width * first_output.height / 1e6;

    // 2. The EXR floor and the upscaler's own time.
    const double floor = std::min(ExrFloor(root, scratch / "e2e", scratch), ExrFloor(root, scratch / "e2e", scratch));
    // The whole run is set against every frame's device time; the
    // throughput figures against the steady one.
    const double upscaler = stages.gpu;
    const double steady_upscaler = SteadyDeviceSeconds(stages);
    // 3. The peer: oiiotool resizing the same inputs.
    fs::create_directories(scratch / "peer");
    double peer = 0;
    const std::string size = std::to_string(first_output.width) + "x" + std::to_string(first_output.height);
    for (const fs::path& input : Frames(root / "color")) {
        peer += RunChild({"oiiotool", input.string(), "--resize", size, "--compression", "piz", "-o",
                          (scratch / "peer" / input.filename()).string()})
                    .seconds;
    }

    std::printf("\nspeed: %.0f frames of %ux%u to %ux%u\n", frames, first_input.width, first_input.height,
                first_output.width, first_output.height);
    std::printf("  %-44s %10.3f fps\n", "end to end", frames / whole.seconds);
    std::printf(
        "  per frame, ms: decode %.1f, textures and uploads %.1f, upscale on the device %.1f (median %.1f), "
        "readback %.1f, EXR write %.1f\n",
        1e3 * stages.decode / frames, 1e3 * stages.record / frames, 1e3 * stages.gpu / frames,
        1e3 * steady_upscaler / frames, 1e3 * stages.readback / frames, 1e3 * stages.write / frames);
    std::printf("  whole run %.2f s; EXR floor %.2f s; upscaler on the device %.2f s; oiiotool %.2f s\n", whole.seconds,
                floor, upscaler, peer);
    const double floor_ratio = whole.seconds / (floor + upscaler);
    Report("tool / (EXR floor + upscaler)", floor_ratio, "x", "<= 1.1", floor_ratio <= 1.1);
    Report("tool / oiiotool --resize", whole.seconds / peer, "x", "< 1", whole.seconds < peer);
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    const double per_core = output_megapixels / steady_upscaler / cores;
    Report("kpss upscaler, output MP/s per core", per_core, "MP/s", ">= 25", per_core >= 25);
    const Stages splat = BestStagesOfTwo(config, scratch / "splat", "splat");
    const double splat_per_core = output_megapixels / SteadyDeviceSeconds(splat) / cores;
    Report("splat upscaler, output MP/s per core", splat_per_core, "MP/s", ">= 25", splat_per_core >= 25);

    // 4. Dump speed: the tool's CSV writer against one fprintf per value.
    Tensor<double> tensor(4, first_output.height, first_output.width);
    std::mt19937 random(1);
    std::uniform_real_distribution<double> value(-2.0, 8.0);
    for (double& v : tensor.values) v = static_cast<float>(value(random));
    std::streambuf* console = std::cout.rdbuf(nullptr);
    auto start = Clock::now();
    const std::string output_directory = scratch.string();
    DumpTensorAsFp64(tensor, 0, 0, DumpRequest{.output_directory = output_directory}, "bench");
    const double tool_csv = Seconds(start);
    std::cout.rdbuf(console);
    start = Clock::now();
    for (uint64_t c = 0; c < 4; ++c) {
        WriteTableWithFprintf(tensor, c, (scratch / ("fprintf_" + std::to_string(c) + ".csv")).string());
    }
    const double fprintf_csv = Seconds(start);
    bool identical = true;
    for (uint64_t c = 0; c < 4; ++c) {
        std::ifstream a(scratch / "sequence_dump" / "step_0" / "bench" / ("C_00" + std::to_string(c) + ".csv"));
        std::ifstream b(scratch / ("fprintf_" + std::to_string(c) + ".csv"));
        std::stringstream text_a, text_b;
        text_a << a.rdbuf();
        text_b << b.rdbuf();
        identical &= text_a.str() == text_b.str();
    }
    const double megabytes = CsvBytes(scratch / "sequence_dump") / 1e6;
    std::printf("\ndumps:\n");
    std::printf("  %-44s %10.1f MB/s (fprintf writer %.1f MB/s, files %s)\n", "CSV writer", megabytes / tool_csv,
                megabytes / fprintf_csv, identical ? "byte-identical" : "DIFFERENT");
    Report("CSV writer / fprintf writer", fprintf_csv / tool_csv, "x", ">= 3, same bytes",
           identical && fprintf_csv / tool_csv >= 3);
    const ChildRun plain =
        BestOf(1, {tool, "--config", config, "--output_path", (scratch / "plain").string(), "--max_frames", "4"});
    const ChildRun dumping = BestOf(1, {tool, "--config", config, "--output_path", (scratch / "dumped").string(),
                                        "--max_frames", "4", "--do_dump", "--do_dump_output_as_tensor"});
    const double dump_megabytes = CsvBytes(scratch / "dumped" / "sequence_dump") / 1e6;
    std::printf("  %-44s %10.1f MB/s (%.0f MB of CSV over 4 frames)\n", "--do_dump with the output as tensor",
                dump_megabytes / std::max(1e-3, dumping.seconds - plain.seconds), dump_megabytes);

    // 5. Memory in two parts. On a real GPU the device's resources live in
    // video memory; the software device keeps them in the process, so the
    // host side is the process's peak less the device's resources at peak.
    // A frame as the tool queues it: colour, motion and depth in half
    // precision as decoded. On the device the depth is 32-bit floats.
    const double input_pixels = static_cast<double>(first_input.width) * first_input.height;
    const double frame_bytes = input_pixels * (8 + 4 + 2), device_frame_bytes = input_pixels * (8 + 4 + 4);
    const double output_bytes = static_cast<double>(first_output.width) * first_output.height * 8;
    const ChildRun all =
        BestOf(1, {tool, "--config", config, "--output_path", (scratch / "all").string(), "--load_all_frames"});
    std::printf("\nmemory, host side (process peak less the device's resources at peak, %.1f MB):\n", device_megabytes);
    for (const auto& [label, run, queued] : {std::tuple{"default queue (10 frames)", whole, std::min(10.0, frames)},
                                             std::tuple{"--load_all_frames", all, frames}}) {
        const double budget = (queued * frame_bytes + output_bytes) / 1e6;
        const double host = run.peak_megabytes - device_megabytes;
        std::printf("  %-44s %10.1f MB peak, %.1f MB host side; decoded frames and output %.1f MB\n", label,
                    run.peak_megabytes, host, budget);
        Report(std::string("host side / (decoded frames + output), ") + label, host / budget, "x", "<= 1.25",
               host / budget <= 1.25);
    }
    // What a frame needs on the device besides the library's state: its
    // inputs and output, each as a texture and a staging buffer.
    const double library_megabytes = stages.library_bytes / 1e6;
    const double needed = library_megabytes + 2 * (device_frame_bytes + output_bytes) / 1e6;
    std::printf(
        "\nmemory, device side: %.1f MB at peak, %.2f x what the run needs (%.1f MB: the library's state, "
        "%.1f MB, and each input and the output as a texture and a staging buffer)\n",
        device_megabytes, device_megabytes / needed, needed, library_megabytes);
    Report("device resources at peak", device_megabytes, "MB", "<= 100", device_megabytes <= 100);
    return missed_targets == 0 ? 0 : 1;
}
