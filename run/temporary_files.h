#pragma once

#include <filesystem>

// The temporary files this process has open, so that a signal that ends it
// (Ctrl+C, SIGTERM, SIGHUP) can remove them before the process goes. The
// table is fixed in size and read by the signal handler without locks.

// Installs the handlers: each removes every registered file, then raises the
// signal again with its default action, so that the process ends as the
// signal would have ended it and the shell sees which signal it was.
void RemoveTemporaryFilesOnSignals();

// Registers `path`; returns the slot to forget it by, or -1 when the table is
// full or the path too long to hold (the file is then merely not removed on a
// signal).
int RegisterTemporaryFile(const std::filesystem::path& path);
void ForgetTemporaryFile(int slot);

// Brackets the registration and creation of a temporary file. Begin is false
// once a signal is ending the process: no file is to be created then.
bool BeginTemporaryFile();
void EndTemporaryFile();
