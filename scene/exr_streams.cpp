#include "scene/exr_streams.h"

#include <Iex.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <system_error>

#include "run/path_text.h"
#include "run/stdio_file.h"

#ifdef _WIN32
#include <io.h>
#include <share.h>
#else
#include <unistd.h>
#endif

namespace {

[[noreturn]] void Refuse(const std::string& path, const std::string& reason) {
    throw Iex::InputExc("Cannot read image file \"" + path + "\". " + reason + ".");
}

std::string ErrorText(int error) { return std::generic_category().message(error); }

// Opens `path` for reading without waiting on a pipe and keeps it only when
// it is a regular file.
std::FILE* OpenRegularFile(const std::string& path) {
#ifdef _WIN32
    int descriptor = -1;
    if (_wsopen_s(&descriptor, PathFromUtf8(path).c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT, _SH_DENYNO, 0) != 0) {
        Refuse(path, ErrorText(errno));
    }
    struct _stat64 status;
    const bool regular = _fstat64(descriptor, &status) == 0 && (status.st_mode & _S_IFMT) == _S_IFREG;
    std::FILE* file = regular ? _fdopen(descriptor, "rb") : nullptr;
    if (file == nullptr) _close(descriptor);
#else
    const int descriptor = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (descriptor < 0) Refuse(path, ErrorText(errno));
    struct stat status;
    const bool regular = fstat(descriptor, &status) == 0 && S_ISREG(status.st_mode);
    if (!regular) close(descriptor);
    std::FILE* file = regular ? BlockingFile(descriptor, "rb") : nullptr;
#endif
    if (file == nullptr) Refuse(path, regular ? ErrorText(errno) : "Not a regular file");
    return file;
}

}  // namespace

RegularFileInputStream::RegularFileInputStream(const std::string& path)
    : Imf::IStream(path.c_str()), file_(OpenRegularFile(path)) {}

RegularFileInputStream::~RegularFileInputStream() { std::fclose(file_); }

bool RegularFileInputStream::read(char c[], int n) {
    const size_t wanted = n > 0 ? static_cast<size_t>(n) : 0;
    const size_t got = std::fread(c, 1, wanted, file_);
    if (got == wanted) return true;
    if (std::ferror(file_)) Iex::throwErrnoExc();
    throw Iex::InputExc("Early end of file: read " + std::to_string(got) + " out of " + std::to_string(wanted) +
                        " requested bytes.");
}

uint64_t RegularFileInputStream::tellg() {
    const int64_t position = FilePosition(file_);
    if (position < 0) Iex::throwErrnoExc();
    return static_cast<uint64_t>(position);
}

void RegularFileInputStream::seekg(uint64_t position) {
    if (SeekFile(file_, position) != 0) Iex::throwErrnoExc();
}

void RegularFileInputStream::clear() { std::clearerr(file_); }
