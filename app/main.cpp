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

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace {

constexpr int kFailure = -1;

// Every frame decodes and encodes images of the same sizes, in buffers that
// the EXR library makes and frees file by file. By default glibc's malloc
// hands a freed block of a few hundred kilobytes or more back to the system,
// and the next file faults every page of it in again: a few percent of a
// run. Freed memory is kept for reuse instead, up to blocks of the largest
// size the allocator allows on its heap; elsewhere the system's heap decides.
// All threads share one arena: with one per thread, what the loader or a
// worker frees stays in its own arena, where no other thread's allocation
// can reuse it (about 3.5 MB more at the peak of a 960x540 run). The threads
// allocate a few large blocks per frame, so sharing the arena's lock costs
// nothing measurable.
void KeepFreedMemoryForReuse() {
#if defined(__GLIBC__)
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    mallopt(M_TRIM_THRESHOLD, 64 << 20);
    mallopt(M_ARENA_MAX, 1);
#endif
}

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
    KeepFreedMemoryForReuse();
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
