// A program run as a child process with an argument vector (no shell, so
// any byte may appear in a path): its standard output comes back on a pipe,
// its standard error is kept for the failure message and for a caller that
// wants to know what it complained about, its standard input is /dev/null.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "command_line.hpp"

namespace orvtool {

// The program is not installed (not found on PATH).
class ProgramMissing : public ToolError {
public:
    using ToolError::ToolError;
};

class ChildProcess {
public:
    // Starts argv[0], looked up on PATH. Throws ProgramMissing when it is not
    // there, ToolError for any other reason it cannot start.
    explicit ChildProcess(const std::vector<std::string>& argv);
    // A child still running is stopped (its pipe closed, then SIGTERM) and
    // reaped, so that no early return leaves a process behind.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Reads until `size` bytes have arrived or the output ends; returns the
    // count read. Throws ToolError when reading fails or the tool is
    // interrupted.
    size_t read(void* data, size_t size);
    std::string readAll();

    // Waits for the child to exit. Throws ToolError with the program's name,
    // how it ended and the last lines of its standard error unless it exited
    // with status 0.
    void finish();

    // What the program has said on its standard error: how many lines, and
    // the first. A program asked to report errors only (ffmpeg -v error)
    // says nothing when all is well.
    struct Messages {
        uint64_t count = 0;
        std::string first;
    };
    Messages messages() const;

private:
    void stop();
    std::string errorText() const;

    std::string program;
    pid_t pid = -1;
    int outputFd = -1;
    int errorFd = -1;  // an unlinked temporary file: a pipe could fill and block the child
};

// Reads from a file descriptor until `size` bytes have arrived or the input
// ends; returns the count read. Throws ToolError naming `what` when reading
// fails.
size_t readFully(int fd, void* data, size_t size, const std::string& what);

}  // namespace orvtool
