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
#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>

namespace {

using Range = std::pair<uint64_t, uint64_t>;

struct State {
    std::mutex mutex;
    std::string failingPath;  // resolved
    std::vector<Range> badRanges;
    int readError = EIO;
    std::string limitedFolder;  // resolved, with a trailing '/'
    uint64_t budget = 0;
    int writeError = ENOSPC;
    std::map<int, bool> watched;  // descriptor -> true: failing reads, false: limited writes
    std::vector<std::pair<std::string, int>> opens;
    uint64_t refused = 0;
    int openLog = -1;
};

std::atomic<bool> g_active{false};  // any fault configured or any open being logged

template <typename F>
F Next(const char* name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

using OpenFn = int (*)(const char*, int, ...);
using OpenAtFn = int (*)(int, const char*, int, ...);
using ReadFn = ssize_t (*)(int, void*, size_t);
using PreadFn = ssize_t (*)(int, void*, size_t, off_t);
using WriteFn = ssize_t (*)(int, const void*, size_t);
using PwriteFn = ssize_t (*)(int, const void*, size_t, off_t);
using CloseFn = int (*)(int);
using FopenFn = FILE* (*)(const char*, const char*);

std::string Resolved(const std::string& path) {
    char buf[PATH_MAX];
    return realpath(path.c_str(), buf) != nullptr ? std::string(buf) : path;
}

std::string PathOfDescriptor(int fd) {
    char link[64], buf[PATH_MAX];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t n = readlink(link, buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

std::vector<Range> ParseRanges(const char* text) {
    std::vector<Range> ranges;
    while (text != nullptr && *text != '\0') {
        char* end = nullptr;
        const uint64_t first = std::strtoull(text, &end, 10);
        if (end == nullptr || *end != '-') break;
        const uint64_t last = std::strtoull(end + 1, &end, 10);
        ranges.emplace_back(first, last);
        text = (*end == ',') ? end + 1 : nullptr;
    }
    return ranges;
}

// The preloaded form takes its configuration from the environment, once.
void ConfigureFromEnvironment(State& s) {
    if (const char* reads = std::getenv("FERROWEN_FAULT_READS")) {
        const char* bar = std::strchr(reads, '|');
        if (bar != nullptr) {
            s.failingPath = Resolved(std::string(reads, bar));
            s.badRanges = ParseRanges(bar + 1);
        }
    }
    if (const char* error = std::getenv("FERROWEN_FAULT_READ_ERROR")) {
        s.readError = std::atoi(error);
    }
    if (const char* limit = std::getenv("FERROWEN_FAULT_WRITE_LIMIT")) {
        const char* bar = std::strchr(limit, '|');
        if (bar != nullptr) {
            s.limitedFolder = Resolved(std::string(limit, bar)) + "/";
            s.budget = std::strtoull(bar + 1, nullptr, 10);
        }
    }
    if (const char* error = std::getenv("FERROWEN_FAULT_WRITE_ERROR")) {
        s.writeError = std::atoi(error);
    }
    if (const char* log = std::getenv("FERROWEN_FAULT_OPEN_LOG")) {
        s.openLog = Next<OpenFn>("open")(log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    }
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

void NoteOpen(int fd, int flags) {
    if (fd < 0 || !g_active.load()) return;
    const int saved = errno;
    State& s = TheState();
    const std::string path = PathOfDescriptor(fd);
    std::lock_guard<std::mutex> lock(s.mutex);
    s.opens.emplace_back(path, flags);
    if (s.openLog >= 0) {
        const std::string line = std::to_string(flags) + "\t" + path + "\n";
        Next<WriteFn>("write")(s.openLog, line.data(), line.size());
    }
    if (!s.failingPath.empty() && path == s.failingPath) s.watched[fd] = true;
    const bool writable = (flags & O_ACCMODE) != O_RDONLY;
    if (writable && !s.limitedFolder.empty() && path.rfind(s.limitedFolder, 0) == 0) {
        s.watched[fd] = false;
    }
    errno = saved;
}

// How many of n bytes at offset may be read: -1 (and the error to give) when the read starts
// on a bad byte.
long long ReadableBytes(int fd, uint64_t offset, size_t n, int& error) {
    State& s = TheState();
    std::lock_guard<std::mutex> lock(s.mutex);
    const auto it = s.watched.find(fd);
    if (it == s.watched.end() || !it->second) return static_cast<long long>(n);
    uint64_t allowed = n;
    for (const Range& r : s.badRanges) {
        if (offset >= r.first && offset < r.second) {
            ++s.refused;
            error = s.readError;
            return -1;
        }
        if (r.first > offset && r.first - offset < allowed) allowed = r.first - offset;
    }
    return static_cast<long long>(allowed);
}

bool HasWriteBudget(int fd) {
    State& s = TheState();
    std::lock_guard<std::mutex> lock(s.mutex);
    const auto it = s.watched.find(fd);
    return it != s.watched.end() && !it->second;
}

// How many of n bytes may be written to a budgeted descriptor: -1 (with the error to give)
// when the budget is spent.
long long WritableBytes(size_t n, int& error) {
    State& s = TheState();
    std::lock_guard<std::mutex> lock(s.mutex);
    error = s.writeError;
    if (s.budget == 0) return -1;
    return static_cast<long long>(std::min<uint64_t>(n, s.budget));
}

void SpendBudget(ssize_t written) {
    if (written <= 0) return;
    State& s = TheState();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.budget -= std::min<uint64_t>(s.budget, static_cast<uint64_t>(written));
}

mode_t ModeArgument(int flags, va_list args) {
    return (flags & (O_CREAT | O_TMPFILE)) != 0 ? static_cast<mode_t>(va_arg(args, int)) : 0;
}

int FlagsOfFopenMode(const char* mode) {
    const bool plus = std::strchr(mode, '+') != nullptr;
    if (mode[0] == 'r') return plus ? O_RDWR : O_RDONLY;
    return plus ? O_RDWR : O_WRONLY;
}

bool HasBadRanges(int fd) {
    State& s = TheState();
    std::lock_guard<std::mutex> lock(s.mutex);
    const auto it = s.watched.find(fd);
    return it != s.watched.end() && it->second;
}

ssize_t GuardedRead(int fd, void* buf, size_t n, off_t offset, bool positioned) {
    if (g_active.load() && HasBadRanges(fd)) {
        const off_t at = positioned ? offset : lseek(fd, 0, SEEK_CUR);
        int error = EIO;
        const long long allowed =
            ReadableBytes(fd, static_cast<uint64_t>(at < 0 ? 0 : at), n, error);
        if (allowed < 0) {
            errno = error;
            return -1;
        }
        n = static_cast<size_t>(allowed);
    }
    static const ReadFn nextRead = Next<ReadFn>("read");
    static const PreadFn nextPread = Next<PreadFn>("pread64");
    return positioned ? nextPread(fd, buf, n, offset) : nextRead(fd, buf, n);
}

ssize_t GuardedWrite(int fd, const void* buf, size_t n, off_t offset, bool positioned) {
    const bool budgeted = g_active.load() && HasWriteBudget(fd);
    if (budgeted) {
        int error = ENOSPC;
        const long long allowed = WritableBytes(n, error);
        if (allowed < 0) {
            errno = error;
            return -1;
        }
        n = static_cast<size_t>(allowed);
    }
    static const WriteFn nextWrite = Next<WriteFn>("write");
    static const PwriteFn nextPwrite = Next<PwriteFn>("pwrite64");
    const ssize_t written = positioned ? nextPwrite(fd, buf, n, offset) : nextWrite(fd, buf, n);
    if (budgeted) SpendBudget(written);
    return written;
}

}  // namespace

extern "C" {

int open(const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const mode_t mode = ModeArgument(flags, args);
    va_end(args);
    static const OpenFn next = Next<OpenFn>("open");
    const int fd = next(path, flags, mode);
    NoteOpen(fd, flags);
    return fd;
}

int open64(const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const mode_t mode = ModeArgument(flags, args);
    va_end(args);
    static const OpenFn next = Next<OpenFn>("open64");
    const int fd = next(path, flags, mode);
    NoteOpen(fd, flags);
    return fd;
}

int openat(int dirfd, const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const mode_t mode = ModeArgument(flags, args);
    va_end(args);
    static const OpenAtFn next = Next<OpenAtFn>("openat");
    const int fd = next(dirfd, path, flags, mode);
    NoteOpen(fd, flags);
    return fd;
}

int openat64(int dirfd, const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const mode_t mode = ModeArgument(flags, args);
    va_end(args);
    static const OpenAtFn next = Next<OpenAtFn>("openat64");
    const int fd = next(dirfd, path, flags, mode);
    NoteOpen(fd, flags);
    return fd;
}

// The fortified forms a build with _FORTIFY_SOURCE calls instead.
int __open_2(const char* path, int flags) {
    return open(path, flags);
}
int __open64_2(const char* path, int flags) {
    return open64(path, flags);
}

FILE* fopen(const char* path, const char* mode) {
    static const FopenFn next = Next<FopenFn>("fopen");
    FILE* file = next(path, mode);
    if (file != nullptr) NoteOpen(fileno(file), FlagsOfFopenMode(mode));
    return file;
}

FILE* fopen64(const char* path, const char* mode) {
    static const FopenFn next = Next<FopenFn>("fopen64");
    FILE* file = next(path, mode);
    if (file != nullptr) NoteOpen(fileno(file), FlagsOfFopenMode(mode));
    return file;
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
    if (g_active.load()) {
        State& s = TheState();
        std::lock_guard<std::mutex> lock(s.mutex);
        s.watched.erase(fd);
    }
    static const CloseFn next = Next<CloseFn>("close");
    return next(fd);
}

}  // extern "C"

namespace ferrowen::test::faulty_io {

void FailReads(const std::string& path, std::vector<std::pair<uint64_t, uint64_t>> ranges,
               int error) {
    State& s = TheState();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.failingPath = Resolved(path);
    s.badRanges = std::move(ranges);
    s.readError = error;
    g_active = true;
}

void LimitWrites(const std::string& folder, uint64_t bytes, int error) {
    State& s = TheState();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.limitedFolder = Resolved(folder) + "/";
    s.budget = bytes;
    s.writeError = error;
    g_active = true;
}

std::vector<int> OpenFlagsOf(const std::string& path) {
    State& s = TheState();
    const std::string wanted = Resolved(path);
    std::lock_guard<std::mutex> lock(s.mutex);
    std::vector<int> flags;
    for (const auto& [opened, f] : s.opens) {
        if (opened == wanted) flags.push_back(f);
    }
    return flags;
}

uint64_t RefusedReads() {
    State& s = TheState();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.refused;
}

void Reset() {
    State& s = TheState();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.failingPath.clear();
    s.badRanges.clear();
    s.limitedFolder.clear();
    s.budget = 0;
    s.writeError = ENOSPC;
    s.watched.clear();
    s.opens.clear();
    s.refused = 0;
    // Open recording stays on in a test binary: it is what the read-only proof looks at.
    g_active = true;
}

}  // namespace ferrowen::test::faulty_io
