#pragma once

// The few calls on C files whose form differs between Windows and the rest,
// in one place for the tool's readers and writers.
#include <cstdint>
#include <cstdio>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>
#endif

// Seeks to a 64-bit position from the start; 0 on success.
inline int SeekFile(std::FILE* file, uint64_t position) {
#ifdef _WIN32
    return _fseeki64(file, static_cast<long long>(position), SEEK_SET);
#else
    return fseeko(file, static_cast<off_t>(position), SEEK_SET);
#endif
}

// The 64-bit position, or -1.
inline int64_t FilePosition(std::FILE* file) {
#ifdef _WIN32
    return _ftelli64(file);
#else
    return ftello(file);
#endif
}

#ifndef _WIN32
// A descriptor opened with O_NONBLOCK (so that opening a pipe never waits)
// made blocking again and wrapped in a C file with `mode`; the descriptor is
// closed and nullptr returned when either step fails.
inline std::FILE* BlockingFile(int descriptor, const char* mode) {
    const int flags = fcntl(descriptor, F_GETFL);
    std::FILE* file =
        flags >= 0 && fcntl(descriptor, F_SETFL, flags & ~O_NONBLOCK) == 0 ? fdopen(descriptor, mode) : nullptr;
    if (file == nullptr) close(descriptor);
    return file;
}
#endif
