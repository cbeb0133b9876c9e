#include "run/atomic_file.h"

#include <cerrno>
#include <stdexcept>
#include <system_error>
#include <thread>

namespace fs = std::filesystem;

namespace {

std::FILE* OpenForWriting(const fs::path& path, AtomicFile::Mode mode) {
    const bool text = mode == AtomicFile::Mode::kText;
#ifdef _WIN32
    return _wfopen(path.c_str(), text ? L"w" : L"wb");
#else
    return std::fopen(path.c_str(), text ? "w" : "wb");
#endif
}

int SeekTo(std::FILE* file, uint64_t position) {
#ifdef _WIN32
    return _fseeki64(file, static_cast<long long>(position), SEEK_SET);
#else
    return fseeko(file, static_cast<off_t>(position), SEEK_SET);
#endif
}

int64_t PositionOf(std::FILE* file) {
#ifdef _WIN32
    return _ftelli64(file);
#else
    return ftello(file);
#endif
}

std::string Utf8(const fs::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

}  // namespace

AtomicFile::AtomicFile(fs::path final_path, Mode mode, std::string context)
    : final_path_(std::move(final_path)),
      temporary_path_(TemporaryPathOf(final_path_)),
      mode_(mode),
      context_(std::move(context)) {}

AtomicFile::~AtomicFile() { Discard(); }

fs::path AtomicFile::TemporaryPathOf(const fs::path& final_path) {
    fs::path temporary = final_path;
    temporary += ".tmp";
    return temporary;
}

bool AtomicFile::TryOpen() {
    Discard();
    failure_.clear();
    file_ = OpenForWriting(temporary_path_, mode_);
    created_ = file_ != nullptr;
    return created_;
}

void AtomicFile::Open(int attempts, std::chrono::milliseconds wait) {
    for (int attempt = 0; attempt < attempts; ++attempt) {
        if (TryOpen()) return;
        if (wait.count() > 0) std::this_thread::sleep_for(wait);
    }
    throw std::runtime_error(Utf8(final_path_) + ": unable to create file" + context_);
}

void AtomicFile::Write(const void* data, size_t bytes) {
    if (file_ == nullptr) Fail("write", EBADF);
    if (bytes > 0 && std::fwrite(data, 1, bytes, file_) != bytes) Fail("write", errno);
}

// Telling and seeking never throw: a library may call them where it cannot
// let an exception pass (the EXR library asks for the position in its file
// object's destructor). A failure is remembered instead, and the next write
// or the commit reports it.
uint64_t AtomicFile::Tell() {
    if (file_ == nullptr) return 0;
    const int64_t position = PositionOf(file_);
    if (position < 0) Remember("write", errno);
    return position < 0 ? 0 : static_cast<uint64_t>(position);
}

void AtomicFile::Seek(uint64_t position) {
    if (file_ != nullptr && SeekTo(file_, position) != 0) Remember("write", errno);
}

void AtomicFile::Commit() {
    if (file_ == nullptr) Fail("write", EBADF);
    // Both the flush and the close can report a write that failed late, for
    // example the last buffered bytes on a full disk.
    const bool flushed = std::fflush(file_) == 0 && !std::ferror(file_);
    const int flush_error = errno;
    const bool closed = std::fclose(file_) == 0;
    const int close_error = errno;
    file_ = nullptr;
    if (!flushed) Fail("write", flush_error);
    if (!closed) Fail("write", close_error);

    std::error_code error;
    fs::rename(temporary_path_, final_path_, error);
    if (error) {
        Discard();
        throw fs::filesystem_error("unable to replace the file" + context_, temporary_path_, final_path_, error);
    }
    created_ = false;
}

void AtomicFile::Remember(const char* action, int error) {
    // The first failure is the one worth reporting; later calls (a library
    // that goes on writing after a failed write) repeat it.
    if (failure_.empty()) {
        failure_ = Utf8(final_path_) + ": unable to " + action + " file" + context_ + " (" +
                   std::generic_category().message(error) + ")";
    }
    Discard();
}

void AtomicFile::Fail(const char* action, int error) {
    Remember(action, error);
    throw std::runtime_error(failure_);
}

void AtomicFile::Discard() {
    if (file_ != nullptr) {
        std::fclose(file_);
        file_ = nullptr;
    }
    if (created_) {
        std::error_code ignored;
        fs::remove(temporary_path_, ignored);
        created_ = false;
    }
}
