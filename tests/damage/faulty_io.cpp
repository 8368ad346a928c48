// The C library's file calls, passed through unless a fault is configured (see faulty_io.h).
// Every definition below takes the place of the C library's for the whole process; each finds
// the next definition (the C library's, or a sanitizer's in front of it) through RTLD_NEXT.
#include "faulty_io.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>

namespace {

using Range = std::pair<uint64_t, uint64_t>;

// What Reset forgets.
struct Faults {
    std::string failingPath;  // resolved
    std::vector<Range> badRanges;
    int readError = EIO;
    unsigned readDelayMs = 0;   // every read of the failing path waits this long first
    std::string limitedFolder;  // resolved, with a trailing '/'
    uint64_t budget = 0;
    int writeError = ENOSPC;
    std::map<int, bool> watched;  // descriptor -> true: failing reads, false: limited writes
    std::vector<std::pair<std::string, int>> opens;
    uint64_t refused = 0;
};

struct State : Faults {
    std::mutex mutex;
    int openLog = -1;
};

std::atomic<bool> g_active{false};  // any fault configured or any open being logged

template <typename F>
F Next(const char* name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

using OpenFn = int (*)(const char*, int, ...);
using OpenAtFn = int (*)(int, const char*, int, ...);
using FopenFn = FILE* (*)(const char*, const char*);

std::string Resolved(const std::string& path) {
    char buf[PATH_MAX];
    return realpath(path.c_str(), buf) != nullptr ? std::string(buf) : path;
}

// "PATH|REST" split at the bar; false without one.
bool SplitAtBar(const char* text, std::string& path, const char*& rest) {
    const char* bar = text != nullptr ? std::strchr(text, '|') : nullptr;
    if (bar == nullptr) return false;
    path = Resolved(std::string(text, bar));
    rest = bar + 1;
    return true;
}

// The preloaded form takes its configuration from the environment, once.
void ConfigureFromEnvironment(State& s) {
    const char* rest = nullptr;
    if (SplitAtBar(std::getenv("FERROWEN_FAULT_READS"), s.failingPath, rest)) {
        for (char* end = nullptr; *rest != '\0'; rest = end + 1) {  // FIRST-END,FIRST-END...
            const uint64_t first = std::strtoull(rest, &end, 10);
            if (*end != '-') break;
            s.badRanges.emplace_back(first, std::strtoull(end + 1, &end, 10));
            if (*end != ',') break;
        }
    }
    if (SplitAtBar(std::getenv("FERROWEN_FAULT_WRITE_LIMIT"), s.limitedFolder, rest)) {
        s.limitedFolder += "/";
        s.budget = std::strtoull(rest, nullptr, 10);
    }
    if (const char* error = std::getenv("FERROWEN_FAULT_READ_ERROR"))
        s.readError = std::atoi(error);
    if (const char* delay = std::getenv("FERROWEN_FAULT_READ_DELAY_MS"))
        s.readDelayMs = static_cast<unsigned>(std::atoi(delay));
    if (const char* error = std::getenv("FERROWEN_FAULT_WRITE_ERROR"))
        s.writeError = std::atoi(error);
    if (const char* log = std::getenv("FERROWEN_FAULT_OPEN_LOG"))
        s.openLog = Next<OpenFn>("open")(log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    g_active = !s.failingPath.empty() || !s.limitedFolder.empty() || s.openLog >= 0;
}

// Never destroyed: calls keep arriving from other objects' destructors at exit.
State& TheState() {
    static State* state = [] {
        auto* s = new State;
        ConfigureFromEnvironment(*s);
        return s;
    }();
    return *state;
}

// Preloaded, the library reads its settings as it is loaded, before the program opens anything.
__attribute__((constructor)) void ReadSettingsAtLoad() {
    TheState();
}

// Runs f on the state under its lock.
template <typename F>
auto Locked(F f) {
    State& s = TheState();
    std::lock_guard<std::mutex> lock(s.mutex);
    return f(s);
}

int NoteOpen(int fd, int flags) {
    if (fd < 0 || !g_active.load()) return fd;
    const int saved = errno;
    char link[64], buf[PATH_MAX];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t n = readlink(link, buf, sizeof buf - 1);
    const std::string path(buf, static_cast<size_t>(std::max<ssize_t>(n, 0)));
    Locked([&](State& s) {
        s.opens.emplace_back(path, flags);
        if (s.openLog >= 0) {
            const std::string line = std::to_string(flags) + "\t" + path + "\n";
            static const auto nextWrite = Next<ssize_t (*)(int, const void*, size_t)>("write");
            nextWrite(s.openLog, line.data(), line.size());
        }
        if (!s.failingPath.empty() && path == s.failingPath) s.watched[fd] = true;
        const bool writable = (flags & O_ACCMODE) != O_RDONLY;
        if (writable && !s.limitedFolder.empty() && path.rfind(s.limitedFolder, 0) == 0)
            s.watched[fd] = false;
    });
    errno = saved;
    return fd;
}

// What the descriptor is watched for: true failing reads, false limited writes.
std::optional<bool> WatchOf(int fd) {
    if (!g_active.load()) return std::nullopt;
    return Locked([fd](State& s) {
        const auto it = s.watched.find(fd);
        return it == s.watched.end() ? std::nullopt : std::optional<bool>(it->second);
    });
}

ssize_t GuardedRead(int fd, void* buf, size_t n, off_t offset, bool positioned) {
    if (WatchOf(fd) == true) {
        // A read that starts on a bad byte fails; one that runs into a bad range is cut short.
        const uint64_t at = std::max<off_t>(positioned ? offset : lseek(fd, 0, SEEK_CUR), 0);
        const bool refused = Locked([&](State& s) {
            for (const Range& r : s.badRanges) {
                if (at >= r.first && at < r.second) {
                    ++s.refused;
                    errno = s.readError;
                    return true;
                }
                if (r.first > at) n = static_cast<size_t>(std::min<uint64_t>(n, r.first - at));
            }
            return false;
        });
        if (refused) return -1;
        const unsigned delayMs = Locked([](State& s) { return s.readDelayMs; });
        if (delayMs != 0) usleep(delayMs * 1000);  // a slow device: a scan can be caught running
    }
    static const auto nextRead = Next<ssize_t (*)(int, void*, size_t)>("read");
    static const auto nextPread = Next<ssize_t (*)(int, void*, size_t, off_t)>("pread64");
    return positioned ? nextPread(fd, buf, n, offset) : nextRead(fd, buf, n);
}

// A budgeted write takes what is left of the budget, and fails with the error once none is.
ssize_t GuardedWrite(int fd, const void* buf, size_t n, off_t offset, bool positioned) {
    const bool budgeted = WatchOf(fd) == false;
    const bool spent = budgeted && Locked([&](State& s) {
                           n = static_cast<size_t>(std::min<uint64_t>(n, s.budget));
                           if (s.budget == 0) errno = s.writeError;
                           return s.budget == 0;
                       });
    if (spent) return -1;
    static const auto nextWrite = Next<ssize_t (*)(int, const void*, size_t)>("write");
    static const auto nextPwrite = Next<ssize_t (*)(int, const void*, size_t, off_t)>("pwrite64");
    const ssize_t written = positioned ? nextPwrite(fd, buf, n, offset) : nextWrite(fd, buf, n);
    if (budgeted && written > 0)
        Locked([&](State& s) { s.budget -= std::min<uint64_t>(s.budget, uint64_t(written)); });
    return written;
}

}  // namespace

// open, open64, openat and openat64: the next definition's descriptor, noted. The mode
// argument is passed only when the flags create a file.
#define FERROWEN_OPEN_LIKE(name, Fn, params, args)         \
    int name params {                                      \
        mode_t mode = 0;                                   \
        if (flags & (O_CREAT | O_TMPFILE)) {               \
            va_list list;                                  \
            va_start(list, flags);                         \
            mode = static_cast<mode_t>(va_arg(list, int)); \
            va_end(list);                                  \
        }                                                  \
        static const Fn next = Next<Fn>(#name);            \
        return NoteOpen(next args, flags);                 \
    }

// fopen and fopen64, noted with the flags their mode stands for.
#define FERROWEN_FOPEN_LIKE(name)                                                               \
    FILE* name(const char* path, const char* mode) {                                            \
        static const FopenFn next = Next<FopenFn>(#name);                                       \
        FILE* file = next(path, mode);                                                          \
        const bool plus = std::strchr(mode, '+') != nullptr;                                    \
        if (file) NoteOpen(fileno(file), plus ? O_RDWR : mode[0] == 'r' ? O_RDONLY : O_WRONLY); \
        return file;                                                                            \
    }

extern "C" {

FERROWEN_OPEN_LIKE(open, OpenFn, (const char* path, int flags, ...), (path, flags, mode))
FERROWEN_OPEN_LIKE(open64, OpenFn, (const char* path, int flags, ...), (path, flags, mode))
FERROWEN_OPEN_LIKE(openat, OpenAtFn, (int dirfd, const char* path, int flags, ...),
                   (dirfd, path, flags, mode))
FERROWEN_OPEN_LIKE(openat64, OpenAtFn, (int dirfd, const char* path, int flags, ...),
                   (dirfd, path, flags, mode))
FERROWEN_FOPEN_LIKE(fopen)
FERROWEN_FOPEN_LIKE(fopen64)

// The fortified forms a build with _FORTIFY_SOURCE calls instead.
int __open_2(const char* path, int flags) {
    return open(path, flags);
}
int __open64_2(const char* path, int flags) {
    return open64(path, flags);
}

ssize_t read(int fd, void* buf, size_t n) {
    return GuardedRead(fd, buf, n, 0, false);
}
ssize_t pread(int fd, void* buf, size_t n, off_t offset) {
    return GuardedRead(fd, buf, n, offset, true);
}
ssize_t pread64(int fd, void* buf, size_t n, off_t offset) {
    return GuardedRead(fd, buf, n, offset, true);
}
ssize_t write(int fd, const void* buf, size_t n) {
    return GuardedWrite(fd, buf, n, 0, false);
}
ssize_t pwrite(int fd, const void* buf, size_t n, off_t offset) {
    return GuardedWrite(fd, buf, n, offset, true);
}
ssize_t pwrite64(int fd, const void* buf, size_t n, off_t offset) {
    return GuardedWrite(fd, buf, n, offset, true);
}

int close(int fd) {
    if (g_active.load()) Locked([fd](State& s) { return s.watched.erase(fd); });
    static const auto next = Next<int (*)(int)>("close");
    return next(fd);
}

}  // extern "C"

namespace ferrowen::test::faulty_io {

void FailReads(const std::string& path, std::vector<std::pair<uint64_t, uint64_t>> ranges,
               int error) {
    const std::string resolved = Resolved(path);
    Locked([&](State& s) {
        s.failingPath = resolved;
        s.badRanges = std::move(ranges);
        s.readError = error;
    });
    g_active = true;
}

void LimitWrites(const std::string& folder, uint64_t bytes, int error) {
    const std::string resolved = Resolved(folder) + "/";
    Locked([&](State& s) {
        s.limitedFolder = resolved;
        s.budget = bytes;
        s.writeError = error;
    });
    g_active = true;
}

std::vector<int> OpenFlagsOf(const std::string& path) {
    const std::string wanted = Resolved(path);
    return Locked([&](State& s) {
        std::vector<int> flags;
        for (const auto& [opened, f] : s.opens)
            if (opened == wanted) flags.push_back(f);
        return flags;
    });
}

uint64_t RefusedReads() {
    return Locked([](State& s) { return s.refused; });
}

void Reset() {
    Locked([](State& s) { static_cast<Faults&>(s) = Faults{}; });
    // Open recording stays on in a test binary: it is what the read-only proof looks at.
    g_active = true;
}

}  // namespace ferrowen::test::faulty_io
