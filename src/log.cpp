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

// Guards logStream and `rolling`. Lives for the whole process.
std::mutex logMutex;
FILE* logStream = stderr;
// Whether logStream is set; written under logMutex, read without it.
std::atomic<bool> logOn{true};

void closeUnlessStandardError(FILE* stream) {
    if (stream != nullptr && stream != stderr) std::fclose(stream);
}

}  // namespace

void log(const char* format, ...) {
    std::lock_guard<std::mutex> lock(logMutex);
    if (logStream == nullptr) return;
    if (rolling) {
        std::fputs("\n", logStream);
        rolling = false;
    }
    std::fputs("*** ", logStream);
    va_list args;
    va_start(args, format);
    std::vfprintf(logStream, format, args);
    va_end(args);
    std::fputs("\n", logStream);
    std::fflush(logStream);
}

void logRolling(const char* format, ...) {
    std::lock_guard<std::mutex> lock(logMutex);
    if (logStream == nullptr) return;
    if (rolling) std::fputs("\r\x1b[K", logStream);
    rolling = true;
    std::fputs("--- ", logStream);
    va_list args;
    va_start(args, format);
    std::vfprintf(logStream, format, args);
    va_end(args);
    std::fflush(logStream);
}

void logStopRolling() {
    std::lock_guard<std::mutex> lock(logMutex);
    if (logStream == nullptr) return;
    if (rolling) {
        rolling = false;
        std::fputs("\n", logStream);
    }
    std::fflush(logStream);
}

void logOpen(const char* path) {
    FILE* file = std::fopen(path, "w");
    if (file == nullptr) {
        const int error = errno;
        log("could not open %s for writing: %s", path, std::strerror(error));
        return;
    }
    std::lock_guard<std::mutex> lock(logMutex);
    closeUnlessStandardError(logStream);
    logStream = file;
    logOn.store(true, std::memory_order_relaxed);
}

void logClose() {
    // The lock is taken although the host promises that nobody else logs now:
    // it costs nothing and keeps a stray worker line from writing to a closed file.
    std::lock_guard<std::mutex> lock(logMutex);
    closeUnlessStandardError(logStream);
    logStream = nullptr;
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
