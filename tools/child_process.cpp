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

volatile sig_atomic_t interruptSeen = 0;

void onInterrupt(int) {
    interruptSeen = 1;
}

std::string systemError(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

// Frees the spawn records however start-up ends.
struct SpawnRecords {
    posix_spawn_file_actions_t actions;
    SpawnRecords() { posix_spawn_file_actions_init(&actions); }
    ~SpawnRecords() { posix_spawn_file_actions_destroy(&actions); }
};

}  // namespace

bool interrupted() {
    return interruptSeen != 0;
}

size_t readFully(int fd, void* data, size_t size, const std::string& what) {
    auto* bytes = static_cast<unsigned char*>(data);
    size_t done = 0;
    while (done < size) {
        if (interrupted())
            throw ToolError("interrupted");
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

void installInterruptHandler() {
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: a blocking read must return EINTR
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
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

    std::vector<char*> args;
    for (const std::string& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    const int result =
        posix_spawnp(&pid, program.c_str(), &records.actions, nullptr, args.data(), environ);
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
    return text;
}

}  // namespace orvtool
