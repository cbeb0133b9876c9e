#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>

// A file that appears under its final name only when it is complete. It is
// written under a private temporary name beside the final one and renamed
// over the final name once every byte has been written, flushed and closed
// without error. Until then the final name keeps what it held before; a file
// that is abandoned (an exception, a full disk, a signal) has its temporary
// file removed.
//
// The temporary file is created new, exclusively and without following links,
// under a name no other writer uses (it ends in ".tmp", so that it never looks
// like a frame): nothing planted at a predictable name can redirect the bytes,
// and two runs into one folder never share a temporary file.
//
// A final name that is a device, a pipe or a socket (for example
// /dev/stdout) is written directly instead, since it cannot be replaced; one
// that is a directory cannot be created.
class AtomicFile {
public:
    enum class Mode { kBinary, kText };

    // `context` ends every error message, for example " during tensor dump".
    AtomicFile(std::filesystem::path final_path, Mode mode, std::string context = {});
    ~AtomicFile();
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;

    // Creates the temporary file; false when it cannot be created.
    bool TryOpen();
    // Up to `attempts` tries, each failed one followed by `wait`; then throws
    // "<path>: unable to create file<context>".
    void Open(int attempts = 1, std::chrono::milliseconds wait = {});

    // A failed write throws "<path>: unable to write file<context> (<reason>)"
    // and leaves the file failed: it can then never be committed. Tell and
    // Seek never throw; their failures surface at the next write or commit.
    void Write(const void* data, size_t bytes);
    void Write(std::string_view text) { Write(text.data(), text.size()); }
    uint64_t Tell();
    void Seek(uint64_t position);

    // Flushes and closes the temporary file, then renames it over the final
    // name. Throws, after removing the temporary file, when any step failed.
    void Commit();

    const std::filesystem::path& final_path() const { return final_path_; }

private:
    bool OpenTemporary();
    bool OpenDirectly();
    void Remember(const char* action, int error);
    [[noreturn]] void Fail(const char* action, int error);
    void Discard();

    std::filesystem::path final_path_;
    std::filesystem::path temporary_path_;  // empty while none exists
    Mode mode_;
    std::string context_;
    std::FILE* file_ = nullptr;
    int signal_slot_ = -1;  // the temporary file's entry in the table of files to remove on a signal
    std::string failure_;   // the first failure's message; empty while all is well
};

// Writes `contents` as the whole of `path`, through an AtomicFile.
void WriteWholeFile(const std::filesystem::path& path, std::string_view contents, AtomicFile::Mode mode);
