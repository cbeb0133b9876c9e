#pragma once

// Helpers shared by the tests: temporary folders, small EXR files written
// channel by channel, and running the built programs.
#include <ImfRgba.h>

#include <csignal>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace test {

namespace fs = std::filesystem;

// A fresh folder below the system's temporary folder, removed with the object.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const fs::path& path() const { return path_; }
    fs::path operator/(const std::string& name) const { return path_ / name; }

private:
    fs::path path_;
};

// One channel of a test image: name and row-major values.
struct Channel {
    std::string name;
    std::vector<float> values;
};

// Writes an EXR of half channels with the given data window origin.
void WriteChannels(const fs::path& path, int width, int height, const std::vector<Channel>& channels, int origin_x = 0,
                   int origin_y = 0);

// Writes an RGBA image where every pixel holds `pixel`.
void WriteUniform(const fs::path& path, int width, int height, const Imf::Rgba& pixel);

void WriteText(const fs::path& path, const std::string& text);

// What `body` prints on standard output. The capture ends however `body`
// ends, so that a failure inside it cannot leave the test binary capturing.
std::string CapturedStdout(const std::function<void()>& body);
std::string CapturedStderr(const std::function<void()>& body);
std::string ReadText(const fs::path& path);

struct ProgramResult {
    int exit_code = 0;
    int signal = 0;  // the signal that ended the program, if one did
    std::string out;
    std::string err;
};

// Runs a program (found on the search path) with arguments and standard
// input `input`, in `working_dir` when given.
// `environment` holds NAME=value settings for the program only.
ProgramResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                         const std::string& input = {}, const fs::path& working_dir = {},
                         const std::vector<std::string>& environment = {});

ProgramResult RunTool(const std::vector<std::string>& args, const std::string& input = {},
                      const fs::path& working_dir = {}, const std::vector<std::string>& environment = {});

// A program started in the background, with its standard input from a pipe
// and its output captured in files. `prepare` runs in the child before the
// program starts (to set limits or signal dispositions); before it, the
// signals that end a program get their default actions.
class StartedProgram {
public:
    StartedProgram(const std::string& program, const std::vector<std::string>& args,
                   const std::function<void()>& prepare = {});
    ~StartedProgram();
    StartedProgram(const StartedProgram&) = delete;
    StartedProgram& operator=(const StartedProgram&) = delete;

    // Writes to the program's standard input; false when it cannot.
    bool Type(const std::string& text);
    void CloseInput();
    void Kill(int signal_number = SIGKILL);
    // Waits for the program to end and collects its exit code and output;
    // a program ended by a signal reports -1000.
    ProgramResult Wait();
    fs::path OutPath() const { return capture_ / "out"; }

private:
    TempDir capture_;
    int input_ = -1;
    int pid_ = -1;
};

// Runs a program with its largest file size limited to `bytes` and the
// signal of an exceeded limit ignored, so that its writes fail instead.
ProgramResult RunWithFileSizeLimit(const std::string& program, const std::vector<std::string>& args, uint64_t bytes);

// Runs a program that prompts for keys: waits for `prompt` on its standard
// output, answers it `presses` times with a line end, waits for the prompt
// once more and then stops the program. Fails the test on a 120 s wait.
// `environment` holds NAME=value settings for the program only.
ProgramResult RunInteractively(const std::string& program, const std::vector<std::string>& args,
                               const std::string& prompt, int presses,
                               const std::vector<std::string>& environment = {});

// The companion programs, built beside the tool.
std::string BuiltProgram(const std::string& name);

// Runs scenegen into `folder` with `args`; returns the tool's options for the
// scene's configuration, with output into `folder`/out.
std::vector<std::string> GenerateScene(const fs::path& folder, const std::vector<std::string>& args = {});

// Every file below `folder`, by relative path, with its bytes.
std::vector<std::pair<std::string, std::string>> FilesWithContents(const fs::path& folder);

// Lines of `text` that start with `prefix`.
std::vector<std::string> LinesStartingWith(const std::string& text, const std::string& prefix);

}  // namespace test
