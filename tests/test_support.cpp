#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <Imath/half.h>
#include <ImfChannelList.h>
#include <ImfFrameBuffer.h>
#include <ImfHeader.h>
#include <ImfOutputFile.h>
#include <ImfRgbaFile.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace test {

TempDir::TempDir() {
    std::random_device device;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const fs::path candidate = fs::temp_directory_path() / ("orfa_test_" + std::to_string(device()));
        if (fs::create_directory(candidate)) {
            path_ = candidate;
            return;
        }
    }
    throw std::runtime_error("cannot create a temporary folder");
}

TempDir::~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

void WriteChannels(const fs::path& path, int width, int height, const std::vector<Channel>& channels, int origin_x,
                   int origin_y) {
    Imf::Header header(Imath::Box2i({0, 0}, {width - 1, height - 1}),
                       Imath::Box2i({origin_x, origin_y}, {origin_x + width - 1, origin_y + height - 1}));
    std::vector<std::vector<Imath::half>> halves;
    for (const Channel& channel : channels) {
        header.channels().insert(channel.name, Imf::Channel(Imf::HALF));
        halves.emplace_back(channel.values.begin(), channel.values.end());
    }
    Imf::FrameBuffer buffer;
    for (size_t i = 0; i < channels.size(); ++i) {
        buffer.insert(channels[i].name,
                      Imf::Slice::Make(Imf::HALF, halves[i].data(), header.dataWindow(), sizeof(Imath::half),
                                       sizeof(Imath::half) * static_cast<size_t>(width)));
    }
    Imf::OutputFile file(path.c_str(), header);
    file.setFrameBuffer(buffer);
    file.writePixels(height);
}

void WriteUniform(const fs::path& path, int width, int height, const Imf::Rgba& pixel) {
    const size_t count = static_cast<size_t>(width) * static_cast<size_t>(height);
    WriteChannels(path, width, height,
                  {{"R", std::vector<float>(count, pixel.r)},
                   {"G", std::vector<float>(count, pixel.g)},
                   {"B", std::vector<float>(count, pixel.b)},
                   {"A", std::vector<float>(count, pixel.a)}});
}

void WriteText(const fs::path& path, const std::string& text) {
    std::ofstream file(path, std::ios::binary);
    file << text;
}

std::string ReadText(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

namespace {

std::string ShellQuoted(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    return quoted + "'";
}

}  // namespace

ProgramResult RunProgram(const std::string& program, const std::vector<std::string>& args, const std::string& input,
                         const fs::path& working_dir, const std::vector<std::string>& environment) {
    TempDir capture;
    const fs::path out = capture / "out", err = capture / "err", in = capture / "in";
    WriteText(in, input);
    std::string command;
    if (!working_dir.empty()) {
        command += "cd " + ShellQuoted(working_dir.string()) + " && ";
    }
    for (const std::string& setting : environment) {
        command += "export " + ShellQuoted(setting) + "; ";
    }
    command += ShellQuoted(program);
    for (const std::string& arg : args) {
        command += " " + ShellQuoted(arg);
    }
    command += " <" + ShellQuoted(in.string()) + " >" + ShellQuoted(out.string()) + " 2>" + ShellQuoted(err.string());
    const int status = std::system(command.c_str());
    ProgramResult result;
    result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1000;
    result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    result.out = ReadText(out);
    result.err = ReadText(err);
    return result;
}

namespace {

// What `body` writes while a capture runs; the capture ends however `body` ends.
std::string Captured(void (*start)(), std::string (*end)(), const std::function<void()>& body) {
    start();
    try {
        body();
    } catch (...) {
        end();
        throw;
    }
    return end();
}

}  // namespace

std::string CapturedStdout(const std::function<void()>& body) {
    return Captured(testing::internal::CaptureStdout, testing::internal::GetCapturedStdout, body);
}

std::string CapturedStderr(const std::function<void()>& body) {
    return Captured(testing::internal::CaptureStderr, testing::internal::GetCapturedStderr, body);
}

ProgramResult RunTool(const std::vector<std::string>& args, const std::string& input, const fs::path& working_dir,
                      const std::vector<std::string>& environment) {
    return RunProgram(INFERENCE_TOOL_PATH, args, input, working_dir, environment);
}

namespace {

size_t CountOccurrences(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++count;
    return count;
}

// Polls `path` until it holds `count` copies of `part`; false after 120 s.
bool WaitForText(const fs::path& path, const std::string& part, size_t count) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (CountOccurrences(ReadText(path), part) < count) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

}  // namespace

StartedProgram::StartedProgram(const std::string& program, const std::vector<std::string>& args,
                               const std::function<void()>& prepare) {
    int keys[2];
    if (pipe(keys) != 0) throw std::runtime_error("pipe failed");
    const fs::path out = capture_ / "out", err = capture_ / "err";
    pid_ = fork();
    if (pid_ == 0) {
        dup2(keys[0], 0);
        close(keys[1]);
        const int out_fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err_fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out_fd, 1);
        dup2(err_fd, 2);
        for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) signal(signal_number, SIG_DFL);
        if (prepare) prepare();
        std::vector<char*> argv = {const_cast<char*>(program.c_str())};
        for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(keys[0]);
    input_ = keys[1];
}

StartedProgram::~StartedProgram() {
    if (pid_ > 0) {
        Kill();
        Wait();
    }
    if (input_ >= 0) close(input_);
}

bool StartedProgram::Type(const std::string& text) {
    return write(input_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

void StartedProgram::Kill(int signal_number) {
    if (pid_ > 0) kill(pid_, signal_number);
}

ProgramResult StartedProgram::Wait() {
    ProgramResult result;
    int status = 0;
    if (pid_ > 0) waitpid(pid_, &status, 0);
    pid_ = -1;
    result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1000;
    result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    result.out = ReadText(capture_ / "out");
    result.err = ReadText(capture_ / "err");
    return result;
}

ProgramResult RunWithFileSizeLimit(const std::string& program, const std::vector<std::string>& args, uint64_t bytes) {
    StartedProgram started(program, args, [bytes] {
        signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{bytes, bytes};
        setrlimit(RLIMIT_FSIZE, &limit);
    });
    return started.Wait();
}

ProgramResult RunInteractively(const std::string& program, const std::vector<std::string>& args,
                               const std::string& prompt, int presses, const std::vector<std::string>& environment) {
    StartedProgram started(program, args, [&environment] {
        for (const std::string& setting : environment) putenv(const_cast<char*>(setting.c_str()));
    });
    for (int press = 0; press <= presses; ++press) {
        if (!WaitForText(started.OutPath(), prompt, static_cast<size_t>(press) + 1)) {
            ADD_FAILURE() << "no prompt " << press + 1 << " from " << program;
            break;
        }
        if (press < presses && !started.Type("\n")) ADD_FAILURE() << "cannot press a key";
    }
    started.Kill();
    return started.Wait();
}

std::string BuiltProgram(const std::string& name) {
    return (fs::path(INFERENCE_TOOL_PATH).parent_path() / name).string();
}

std::vector<std::string> GenerateScene(const fs::path& folder, const std::vector<std::string>& args) {
    std::vector<std::string> all = {folder.string()};
    all.insert(all.end(), args.begin(), args.end());
    const ProgramResult result = RunProgram(BuiltProgram("scenegen"), all);
    if (result.exit_code != 0) throw std::runtime_error("scenegen failed: " + result.err);
    return {"--config", (folder / "scene.ini").string(), "--output_path", (folder / "out").string()};
}

std::vector<std::pair<std::string, std::string>> FilesWithContents(const fs::path& folder) {
    std::vector<std::pair<std::string, std::string>> files;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        if (entry.is_regular_file()) {
            files.emplace_back(entry.path().lexically_relative(folder).string(), ReadText(entry.path()));
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

std::vector<std::string> LinesStartingWith(const std::string& text, const std::string& prefix) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) {
        if (line.rfind(prefix, 0) == 0) {
            lines.push_back(line);
        }
    }
    return lines;
}

std::vector<std::string> MakeScene(const fs::path& scene, const SceneLayout& layout) {
    for (const char* folder : {"color", "velocity", "depth", "jitter", "exposure", "mask"}) {
        fs::create_directories(scene / folder);
    }
    const size_t count = static_cast<size_t>(layout.width) * static_cast<size_t>(layout.height);
    for (int frame = 0; frame < layout.frames; ++frame) {
        char name[32];
        std::snprintf(name, sizeof name, "%04d.exr", frame);
        std::vector<float> red(count), green(count), blue(count);
        for (size_t i = 0; i < count; ++i) {
            red[i] = static_cast<float>((i + static_cast<size_t>(frame) * 7) % 16) / 16.0f;
            green[i] = static_cast<float>(i % 5) / 5.0f;
            blue[i] = 0.25f;
        }
        WriteChannels(scene / "color" / name, layout.width, layout.height,
                      {{"R", red}, {"G", green}, {"B", blue}, {"A", std::vector<float>(count, 1.0f)}});
        WriteUniform(scene / "velocity" / name, layout.width, layout.height, Imf::Rgba(0.5f, 0.25f, 1.0f, 1.0f));
        if (layout.depth) {
            WriteUniform(scene / "depth" / name, layout.width, layout.height, Imf::Rgba(0.5f, 0.0f, 0.0f, 1.0f));
        }
        WriteUniform(scene / "jitter" / name, 1, 1, Imf::Rgba(0.25f, 0.125f, 2.0f, 1.0f));
        if (layout.exposure) {
            WriteUniform(scene / "exposure" / name, 1, 1, Imf::Rgba(1.5f, 0.0f, 0.0f, 1.0f));
        }
        for (int mask_frame : layout.mask_frames) {
            if (mask_frame == frame) {
                WriteUniform(scene / "mask" / name, layout.width, layout.height, Imf::Rgba(255.0f, 0.0f, 0.0f, 1.0f));
            }
        }
    }
    std::vector<std::string> args = {
        "--scene_path", scene.string(),  "--noaa_name", "color",         "--velocity_name",
        "velocity",     "--jitter_name", "jitter",      "--output_path", (scene / "out").string()};
    if (layout.depth) {
        args.insert(args.end(), {"--depth_name", "depth"});
    }
    if (layout.exposure) {
        args.insert(args.end(), {"--exposure_name", "exposure"});
    }
    if (!layout.mask_frames.empty()) {
        args.insert(args.end(), {"--responsive_mask_name", "mask"});
    }
    return args;
}

}  // namespace test
