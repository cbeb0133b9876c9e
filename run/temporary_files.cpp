#include "run/temporary_files.h"

#include <array>
#include <atomic>
#include <csignal>
#include <cstring>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <time.h>
#include <unistd.h>
#endif

namespace {

using Char = std::filesystem::path::value_type;

enum SlotState : int { kFree, kFilling, kRegistered };

// Writers run on several threads at once (the dump writers), each with one
// file open at a time, so a few dozen slots are plenty.
constexpr size_t kSlots = 256;
constexpr size_t kLongestPath = 4096;

struct Slot {
    std::atomic<int> state{kFree};
    Char path[kLongestPath];
};

std::array<Slot, kSlots> slots;

// Once a signal is being handled, no new temporary file is begun; the
// handler waits for those being created to be registered and exist, so that
// none appears after it has removed the others.
std::atomic<bool> ending{false};
std::atomic<int> creating{0};

void WaitBriefly() {
#ifdef _WIN32
    Sleep(1);
#else
    const timespec millisecond{0, 1000000};
    nanosleep(&millisecond, nullptr);
#endif
}

void RemovePath(const Char* path) {
#ifdef _WIN32
    _wunlink(path);
#else
    unlink(path);
#endif
}

extern "C" void RemoveAndReraise(int signal_number) {
    ending.store(true);
    // Bounded: the thread that took the signal may itself be creating one.
    for (int wait = 0; wait < 200 && creating.load() > 0; ++wait) WaitBriefly();
    for (Slot& slot : slots) {
        if (slot.state.load(std::memory_order_acquire) == kRegistered) RemovePath(slot.path);
    }
    std::signal(signal_number, SIG_DFL);
    std::raise(signal_number);
}

// A signal this process was started with ignored (a hang-up under nohup,
// Ctrl+C for a job in the background) stays ignored.
void HandleUnlessIgnored(int signal_number) {
    if (std::signal(signal_number, RemoveAndReraise) == SIG_IGN) std::signal(signal_number, SIG_IGN);
}

}  // namespace

void RemoveTemporaryFilesOnSignals() {
    static_assert(std::atomic<int>::is_always_lock_free, "the signal handler reads the slots without locks");
    HandleUnlessIgnored(SIGINT);
    HandleUnlessIgnored(SIGTERM);
#ifdef SIGHUP
    HandleUnlessIgnored(SIGHUP);
#endif
}

int RegisterTemporaryFile(const std::filesystem::path& path) {
    const std::filesystem::path::string_type& text = path.native();
    if (text.size() >= kLongestPath) return -1;
    for (size_t index = 0; index < kSlots; ++index) {
        int expected = kFree;
        if (!slots[index].state.compare_exchange_strong(expected, kFilling, std::memory_order_acquire)) continue;
        std::memcpy(slots[index].path, text.c_str(), (text.size() + 1) * sizeof(Char));
        slots[index].state.store(kRegistered, std::memory_order_release);
        return static_cast<int>(index);
    }
    return -1;
}

void ForgetTemporaryFile(int slot) {
    if (slot >= 0 && static_cast<size_t>(slot) < kSlots) slots[static_cast<size_t>(slot)].state.store(kFree);
}

bool BeginTemporaryFile() {
    creating.fetch_add(1);
    if (!ending.load()) return true;
    creating.fetch_sub(1);
    return false;
}

void EndTemporaryFile() { creating.fetch_sub(1); }
