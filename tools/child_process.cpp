#include "child_process.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

extern char** environ;

namespace orvtool {

namespace {

std::string systemError(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

// Frees the spawn records however start-up ends.
struct SpawnRecords {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    SpawnRecords() {
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attributes);
    }
    ~SpawnRecords() {
        posix_spawnattr_destroy(&attributes);
        posix_spawn_file_actions_destroy(&actions);
    }
};

}  // namespace

size_t readFully(int fd, void* data, size_t size, const std::string& what) {
    auto* bytes = static_cast<unsigned char*>(data);
    size_t done = 0;
    while (done < size) {
        const ssize_t got = ::read(fd, bytes + done, size - done);
        if (got == 0)
            break;
        if (got < 0) {
            if (errno == EINTR)
                continue;
            throw ToolError(systemError("cannot read " + what));
        }
        done += static_cast<size_t>(got);
    }
    return done;
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv) : program(argv.at(0)) {
    FILE* errorFile = std::tmpfile();
    if (!errorFile)
        throw ToolError(
            systemError("cannot create a temporary file for " + program + "'s messages"));
    errorFd = dup(fileno(errorFile));
    std::fclose(errorFile);
    if (errorFd < 0)
        throw ToolError(systemError("cannot keep " + program + "'s messages"));
    fcntl(errorFd, F_SETFD, FD_CLOEXEC);

    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) {
        close(errorFd);
        throw ToolError(systemError("cannot create a pipe for " + program));
    }

    SpawnRecords records;
    posix_spawn_file_actions_addopen(&records.actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&records.actions, pipeFds[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&records.actions, errorFd, STDERR_FILENO);
    // The tool blocks the signals that end it (its clean-up thread takes
    // them); the child must feel them as usual.
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&records.attributes, &none);
    posix_spawnattr_setflags(&records.attributes, POSIX_SPAWN_SETSIGMASK);

    std::vector<char*> args;
    for (const std::string& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    const int result =
        posix_spawnp(&pid, program.c_str(), &records.actions, &records.attributes,
                                    args.data(), environ);
    close(pipeFds[1]);
    if (result != 0) {
        close(pipeFds[0]);
        close(errorFd);
        pid = -1;
        const std::string message = "cannot run " + program + ": " + std::strerror(result);
        if (result == ENOENT)
            throw ProgramMissing(message);
        throw ToolError(message);
    }
    outputFd = pipeFds[0];
}

ChildProcess::~ChildProcess() {
    stop();
    if (errorFd >= 0)
        close(errorFd);
}

void ChildProcess::stop() {
    if (outputFd >= 0) {
        close(outputFd);
        outputFd = -1;
    }
    if (pid > 0) {
        kill(pid, SIGTERM);
        while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        pid = -1;
    }
}

size_t ChildProcess::read(void* data, size_t size) {
    return readFully(outputFd, data, size, "the output of " + program);
}

std::string ChildProcess::readAll() {
    std::string text;
    char chunk[4096];
    size_t got;
    while ((got = read(chunk, sizeof chunk)) > 0)
        text.append(chunk, got);
    return text;
}

void ChildProcess::finish() {
    close(outputFd);
    outputFd = -1;
    int status = 0;
    pid_t waited;
    while ((waited = waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
    }
    pid = -1;
    if (waited < 0)
        throw ToolError(systemError("cannot wait for " + program));
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
        return;
    std::string how = WIFEXITED(status)
                          ? "failed (exit status " + std::to_string(WEXITSTATUS(status)) + ")"
                          : std::string("was killed by signal ") + strsignal(WTERMSIG(status));
    const std::string text = errorText();
    throw ToolError(program + " " + how + (text.empty() ? "" : ": " + text));
}

std::string ChildProcess::errorText() const {
    // The last few lines say what went wrong; earlier ones are usually banners.
    constexpr off_t keep = 2048;
    const off_t end = lseek(errorFd, 0, SEEK_END);
    if (end <= 0)
        return "";
    const off_t start = end > keep ? end - keep : 0;
    std::string text(static_cast<size_t>(end - start), '\0');
    const ssize_t got = pread(errorFd, text.data(), text.size(), start);
    text.resize(got > 0 ? static_cast<size_t>(got) : 0);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
        text.pop_back();
    if (start > 0) {
        const size_t newline = text.find('\n');
        text = "..." + (newline == std::string::npos ? text : text.substr(newline + 1));
    }
    // One line of our own: the program's lines side by side.
    for (size_t newline; (newline = text.find('\n')) != std::string::npos;)
        text.replace(newline, 1, "; ");
    return text;
}

ChildProcess::Messages ChildProcess::messages() const {
    Messages said;
    char chunk[1 << 16];
    off_t at = 0;
    bool firstEnded = false;
    for (ssize_t got; (got = pread(errorFd, chunk, sizeof chunk, at)) > 0; at += got) {
        for (ssize_t i = 0; i < got; ++i) {
            if (chunk[i] == '\n') {
                ++said.count;
                firstEnded = true;
            } else if (!firstEnded && said.first.size() < 1024) {
                said.first += chunk[i];
            }
        }
    }
    if (!firstEnded && !said.first.empty())
        ++said.count;  // a last line without its line end
    while (!said.first.empty() && (said.first.back() == '\r' || said.first.back() == ' '))
        said.first.pop_back();
    return said;
}

}  // namespace orvtool
