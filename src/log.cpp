// The process-wide diagnostic log and the monotonic clock.
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

#include "brindle.hpp"
#include "log.hpp"

namespace brindle {

bool rolling = false;

namespace {

// Guards logFile, logOn's changes and `rolling`. Lives for the whole process.
std::mutex logMutex;
// The file of the last logOpen, or null for standard error.
FILE* logFile = nullptr;
// False from logClose until the next logOpen. Read without the lock by
// logEnabled. Like logFile it is set before any code runs, so that a host
// whose own static initialisers close the log finds it already in place.
std::atomic<bool> logOn{true};

// Where lines go now, or null; the caller holds logMutex.
FILE* logStream() {
    if (!logOn.load(std::memory_order_relaxed)) return nullptr;
    return logFile != nullptr ? logFile : stderr;
}

void closeLogFile() {
    if (logFile != nullptr) std::fclose(logFile);
    logFile = nullptr;
}

}  // namespace

void log(const char* format, ...) {
    std::lock_guard<std::mutex> lock(logMutex);
    FILE* const stream = logStream();
    if (stream == nullptr) return;
    if (rolling) {
        std::fputs("\n", stream);
        rolling = false;
    }
    std::fputs("*** ", stream);
    va_list args;
    va_start(args, format);
    std::vfprintf(stream, format, args);
    va_end(args);
    std::fputs("\n", stream);
    std::fflush(stream);
}

void logRolling(const char* format, ...) {
    std::lock_guard<std::mutex> lock(logMutex);
    FILE* const stream = logStream();
    if (stream == nullptr) return;
    if (rolling) std::fputs("\r\x1b[K", stream);
    rolling = true;
    std::fputs("--- ", stream);
    va_list args;
    va_start(args, format);
    std::vfprintf(stream, format, args);
    va_end(args);
    std::fflush(stream);
}

void logStopRolling() {
    std::lock_guard<std::mutex> lock(logMutex);
    FILE* const stream = logStream();
    if (stream == nullptr) return;
    if (rolling) {
        rolling = false;
        std::fputs("\n", stream);
    }
    std::fflush(stream);
}

void logOpen(const char* path) {
    FILE* file = std::fopen(path, "w");
    if (file == nullptr) {
        const int error = errno;
        log("could not open %s for writing: %s", path, std::strerror(error));
        return;
    }
    std::lock_guard<std::mutex> lock(logMutex);
    closeLogFile();
    logFile = file;
    logOn.store(true, std::memory_order_relaxed);
}

void logClose() {
    // The lock is taken although the host promises that nobody else logs now:
    // it costs nothing and keeps a stray worker line from writing to a closed file.
    std::lock_guard<std::mutex> lock(logMutex);
    closeLogFile();
    logOn.store(false, std::memory_order_relaxed);
}

bool logEnabled() { return logOn.load(std::memory_order_relaxed); }

uint64_t ustclock_get() {
    struct timespec now;
    if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) std::exit(1);
    // Captured once, by whichever thread reads the clock first.
    static const time_t baseSeconds = now.tv_sec;
    return static_cast<uint64_t>(now.tv_sec - baseSeconds) * 1000000000ull +
           static_cast<uint64_t>(now.tv_nsec);
}

}  // namespace brindle
