// The inference tool: replays a recorded scene through the upscaler library
// and writes one upscaled EXR image per frame.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <filesystem>
#include <iostream>
#include <memory>
#include <stdexcept>

#include "app/options.h"
#include "app/run_flow.h"
#include "run/temporary_files.h"

namespace {

constexpr int kFailure = -1;

// The one place where failures end up: one line on the error stream.
void ReportFailure() {
    try {
        throw;
    } catch (const std::filesystem::filesystem_error& error) {
        std::cerr << "Filesystem error: " << error.what() << std::endl;
    } catch (const std::runtime_error& error) {
        std::cerr << "Error: " << error.what() << std::endl;
    } catch (const std::exception& error) {
        std::cerr << "Exception: " << error.what() << std::endl;
    } catch (...) {
        std::cerr << "Unknown error" << std::endl;
    }
}

int Run(const OptionValues& values) {
    std::unique_ptr<InferenceRun> run;
    int exit_code = kFailure;
    try {
        run = std::make_unique<InferenceRun>(MakeRunSettings(values));
        InitRun(*run, values.scene);
        for (;;) {
            RunFrames(*run);
            if (!values.kb_loop) {
                break;
            }
            std::cout << "Press any key to re-run" << std::endl;
            std::getchar();
        }
        exit_code = 0;
    } catch (...) {
        ReportFailure();
    }
    run.reset();
    return exit_code;
}

}  // namespace

int main(int argc, char** argv) {
    RemoveTemporaryFilesOnSignals();
    CLI::App app;
    OptionValues values;
    DeclareOptions(app, values);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        return app.exit(error);
    }

    try {
        if (!SaveConfiguration(app, values)) {
            return kFailure;
        }
    } catch (...) {
        // The destination folder could not be resolved.
        ReportFailure();
        return kFailure;
    }

    ProcessAdapterSettings() = values.adapter;
    return Run(values);
}
