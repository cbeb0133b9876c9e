#pragma once

#include <ImfIO.h>

#include <cstdio>
#include <string>

#include "run/atomic_file.h"

// The EXR library's input stream over a regular file. Opening anything else
// (a pipe, a device, a socket, a folder) is refused at once, by a check on
// the opened file itself, so that nothing can be swapped in between the
// check and the read and a pipe cannot hold the run waiting.
class RegularFileInputStream : public Imf::IStream {
public:
    // `path` is UTF-8 text. Throws the EXR library's input error when the
    // file cannot be opened or is not a regular file.
    explicit RegularFileInputStream(const std::string& path);
    ~RegularFileInputStream() override;
    RegularFileInputStream(const RegularFileInputStream&) = delete;
    RegularFileInputStream& operator=(const RegularFileInputStream&) = delete;

    bool read(char c[], int n) override;
    uint64_t tellg() override;
    void seekg(uint64_t position) override;
    void clear() override;

private:
    std::FILE* file_ = nullptr;
};

// The EXR library's output stream, into a file that is whole or absent.
class AtomicExrStream : public Imf::OStream {
public:
    AtomicExrStream(const std::string& path, AtomicFile& file) : Imf::OStream(path.c_str()), file_(file) {}
    void write(const char c[], int n) override { file_.Write(c, static_cast<size_t>(n)); }
    uint64_t tellp() override { return file_.Tell(); }
    void seekp(uint64_t position) override { file_.Seek(position); }

private:
    AtomicFile& file_;
};
