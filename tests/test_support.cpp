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

// What the child does before the program starts: move to `working_dir`
// when given and take the NAME=value settings of `environment`.
std::function<void()> Preparation(const fs::path& working_dir, const std::vector<std::string>& environment) {
    return [working_dir, environment] {
        if (!working_dir.empty() && chdir(working_dir.c_str()) != 0) _exit(127);
        for (const std::string& setting : environment) putenv(const_cast<char*>(setting.c_str()));
    };
}

}  // namespace

ProgramResult RunProgram(const std::string& program, const std::vector<std::string>& args, const std::string& input,
                         const fs::path& working_dir, const std::vector<std::string>& environment) {
    StartedProgram started(program, args, Preparation(working_dir, environment));
    started.Type(input);
    started.CloseInput();
    return started.Wait();
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
    // Close-on-exec, so that a program started later does not hold this one's input open.
    if (pipe2(keys, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    signal(SIGPIPE, SIG_IGN);  // a program that stops reading makes Type fail, not the test end
    const fs::path out = capture_ / "out", err = capture_ / "err";
    pid_ = fork();
    if (pid_ == 0) {
        dup2(keys[0], 0);
        close(keys[1]);
        const int out_fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err_fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out_fd, 1);
        dup2(err_fd, 2);
        for (int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) signal(signal_number, SIG_DFL);
        if (prepare) prepare();
        std::vector<char*> argv = {const_cast<char*>(program.c_str())};
        for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        execvp(program.c_str(), argv.data());
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
    CloseInput();
}

void StartedProgram::CloseInput() {
    if (input_ >= 0) close(input_);
    input_ = -1;
}

bool StartedProgram::Type(const std::string& text) {
    return text.empty() || write(input_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
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
    StartedProgram started(program, args, Preparation({}, environment));
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

}  // namespace test
