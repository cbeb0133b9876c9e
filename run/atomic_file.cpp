#include "run/atomic_file.h"

#include <fcntl.h>

#include <atomic>
#include <cerrno>
#include <random>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "run/path_text.h"
#include "run/stdio_file.h"
#include "run/temporary_files.h"

#ifdef _WIN32
#include <io.h>
#include <process.h>
#include <share.h>
#include <sys/stat.h>
#else
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

// Names of temporary files are unique within this process by a counter and
// across processes by the process id and a random number drawn once.
std::string UniqueSuffix() {
    static std::atomic<uint64_t> counter{0};
    static const uint32_t process_random = [] {
        try {
            return std::random_device{}();
        } catch (...) {
            return 0u;  // the exclusive creation still keeps names apart
        }
    }();
#ifdef _WIN32
    const long long process = _getpid();
#else
    const long long process = getpid();
#endif
    char text[64];
    std::snprintf(text, sizeof text, ".%lld-%08x-%llu.tmp", process, process_random,
                  static_cast<unsigned long long>(counter.fetch_add(1)));
    return text;
}

// A temporary name beside `final_path`. The final name's beginning keeps it
// recognisable; it is cut so that the whole name stays within every file
// system's limit on one name.
fs::path TemporaryNameFor(const fs::path& final_path) {
    std::u8string start = final_path.filename().u8string().substr(0, 64);
    while (!start.empty() && (start.back() & 0xC0) == 0x80) start.pop_back();  // no cut UTF-8 character
    if (!start.empty() && (start.back() & 0x80) != 0) start.pop_back();
    fs::path name(u8"." + start);
    name += UniqueSuffix();
    return final_path.parent_path() / name;
}

// Creates `path` as a new file that only this process holds: it fails on any
// existing name, a link or a pipe included, instead of opening it.
std::FILE* CreateExclusively(const fs::path& path, AtomicFile::Mode mode) {
    const bool text = mode == AtomicFile::Mode::kText;
#ifdef _WIN32
    int descriptor = -1;
    const int flags = _O_WRONLY | _O_CREAT | _O_EXCL | _O_NOINHERIT | (text ? _O_TEXT : _O_BINARY);
    if (_wsopen_s(&descriptor, path.c_str(), flags, _SH_DENYRW, _S_IREAD | _S_IWRITE) != 0) return nullptr;
    std::FILE* file = _wfdopen(descriptor, text ? L"w" : L"wb");
    if (file == nullptr) _close(descriptor);
#else
    const int descriptor = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (descriptor < 0) return nullptr;
    std::FILE* file = fdopen(descriptor, text ? "w" : "wb");
    if (file == nullptr) close(descriptor);
#endif
    return file;
}

// Opens an existing device, pipe or socket for writing at its end. A pipe
// without a reader fails at once instead of waiting for one.
std::FILE* OpenExisting(const fs::path& path, AtomicFile::Mode mode) {
    const bool text = mode == AtomicFile::Mode::kText;
#ifdef _WIN32
    return _wfopen(path.c_str(), text ? L"a" : L"ab");
#else
    const int descriptor = open(path.c_str(), O_WRONLY | O_APPEND | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    return descriptor < 0 ? nullptr : BlockingFile(descriptor, text ? "a" : "ab");
#endif
}

// Whether `path` names something that cannot be replaced by a rename: a
// device, a pipe, a socket, or one of the names of this process's standard
// streams, which are links into /proc.
bool WrittenDirectly(const fs::path& path) {
    std::error_code error;
    const fs::file_status status = fs::status(path, error);
    if (fs::exists(status) && !fs::is_regular_file(status) && !fs::is_directory(status)) return true;
#ifndef _WIN32
    if (fs::is_symlink(fs::symlink_status(path, error))) {
        const fs::path target = fs::read_symlink(path, error);
        return !error && target.string().starts_with("/proc/");
    }
#endif
    return false;
}

}  // namespace

AtomicFile::AtomicFile(fs::path final_path, Mode mode, std::string context)
    : final_path_(std::move(final_path)), mode_(mode), context_(std::move(context)) {}

AtomicFile::~AtomicFile() { Discard(); }

bool AtomicFile::TryOpen() {
    Discard();
    failure_.clear();
    std::error_code error;
    if (fs::is_directory(final_path_, error)) return false;
    return WrittenDirectly(final_path_) ? OpenDirectly() : OpenTemporary();
}

bool AtomicFile::OpenTemporary() {
    // A name taken by something else (another run's file, a planted link) is
    // left alone; the next unique name is tried instead.
    for (int attempt = 0; attempt < 100; ++attempt) {
        const fs::path candidate = TemporaryNameFor(final_path_);
        if (!BeginTemporaryFile()) return false;  // the process is ending on a signal
        // Registered before it exists, so that no moment passes in which a
        // signal would leave it behind.
        signal_slot_ = RegisterTemporaryFile(candidate);
        file_ = CreateExclusively(candidate, mode_);
        const int error = errno;
        EndTemporaryFile();
        if (file_ != nullptr) {
            temporary_path_ = candidate;
            return true;
        }
        ForgetTemporaryFile(signal_slot_);
        signal_slot_ = -1;
        if (error != EEXIST) return false;
    }
    return false;
}

bool AtomicFile::OpenDirectly() {
    file_ = OpenExisting(final_path_, mode_);
    return file_ != nullptr;
}

void AtomicFile::Open(int attempts, std::chrono::milliseconds wait) {
    for (int attempt = 0; attempt < attempts; ++attempt) {
        if (TryOpen()) return;
        if (wait.count() > 0) std::this_thread::sleep_for(wait);
    }
    throw std::runtime_error(PathToUtf8(final_path_) + ": unable to create file" + context_);
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
    const int64_t position = FilePosition(file_);
    if (position < 0) Remember("write", errno);
    return position < 0 ? 0 : static_cast<uint64_t>(position);
}

void AtomicFile::Seek(uint64_t position) {
    if (file_ != nullptr && SeekFile(file_, position) != 0) Remember("write", errno);
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
    if (temporary_path_.empty()) return;  // written directly

    std::error_code error;
    fs::rename(temporary_path_, final_path_, error);
    if (error) {
        const fs::path temporary = temporary_path_;
        Discard();
        throw fs::filesystem_error("unable to replace the file" + context_, temporary, final_path_, error);
    }
    temporary_path_.clear();
    ForgetTemporaryFile(signal_slot_);
    signal_slot_ = -1;
}

void AtomicFile::Remember(const char* action, int error) {
    // The first failure is the one worth reporting; later calls (a library
    // that goes on writing after a failed write) repeat it.
    if (failure_.empty()) {
        failure_ = PathToUtf8(final_path_) + ": unable to " + action + " file" + context_ + " (" +
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
    if (!temporary_path_.empty()) {
        std::error_code ignored;
        fs::remove(temporary_path_, ignored);
        temporary_path_.clear();
    }
    ForgetTemporaryFile(signal_slot_);
    signal_slot_ = -1;
}

void WriteWholeFile(const fs::path& path, std::string_view contents, AtomicFile::Mode mode) {
    AtomicFile file(path, mode);
    file.Open();
    file.Write(contents);
    file.Commit();
}
