#include "output_file.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <random>
#include <utility>

#include "command_line.hpp"

namespace orvtool {

namespace {

std::string reason() {
    return std::strerror(errno);
}

// ---- The temporaries of this run ------------------------------------------

// Every temporary that exists and is not yet in place. The lock is held
// while one is created, renamed or removed, so that the signal thread never
// sees a name half-way: a temporary it removes is one that nobody will
// rename afterwards. Never destroyed: a signal may come during exit.
struct Temporaries {
    std::mutex lock;
    std::vector<std::string> paths;  // guarded by lock

    void forget(const std::string& path) {
        paths.erase(std::remove(paths.begin(), paths.end(), path), paths.end());
    }
};

Temporaries& temporaries() {
    static Temporaries* const all = new Temporaries;
    return *all;
}

[[noreturn]] void removeTemporariesAndDie(int signalNumber) {
    Temporaries& all = temporaries();
    // Held until the end: no temporary may be created after the clean-up.
    all.lock.lock();
    for (const std::string& path : all.paths)
        unlink(path.c_str());
    // The conventional end for a signal: its default action, so that the
    // caller's shell sees "killed by SIGINT", not an exit status.
    signal(signalNumber, SIG_DFL);
    raise(signalNumber);  // pending: this thread blocks it
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signalNumber);
    pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    _exit(128 + signalNumber);  // not reached
}

// ---- Targets -----------------------------------------------------------------

enum class TargetKind { fresh, replace, discard };

struct Target {
    TargetKind kind = TargetKind::fresh;
    std::string path;     // with symbolic links resolved
    struct stat info {};  // of the file to replace
};

const char* kindOf(mode_t mode) {
    if (S_ISDIR(mode))
        return "a directory";
    if (S_ISFIFO(mode))
        return "a FIFO";
    if (S_ISCHR(mode))
        return "a character device";
    if (S_ISBLK(mode))
        return "a block device";
    if (S_ISSOCK(mode))
        return "a socket";
    return "not a regular file";
}

bool isDevNull(const struct stat& info) {
    struct stat null {};
    return S_ISCHR(info.st_mode) && stat("/dev/null", &null) == 0 && null.st_dev == info.st_dev &&
           null.st_ino == info.st_ino;
}

bool isDevNull(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && isDevNull(info);
}

Target examineTarget(const std::string& target, bool overwrite) {
    if (target == "-")
        throw UsageError(
            "'-': standard output cannot take the output, which needs a file to seek in and to "
            "rename into place when complete; name a file, or /dev/null to discard it");
    if (target.empty() || target.back() == '/')
        throw ToolError("'" + target + "' names no file");
    struct stat link {};
    if (lstat(target.c_str(), &link) != 0) {
        if (errno != ENOENT)
            throw ToolError("cannot use " + target + ": " + reason());
        return {TargetKind::fresh, target, {}};
    }
    Target found{TargetKind::replace, target, {}};
    if (S_ISLNK(link.st_mode)) {
        char* resolved = realpath(target.c_str(), nullptr);
        if (!resolved)
            throw ToolError(target + " is a symbolic link that leads nowhere (" + reason() + ")");
        found.path = resolved;
        std::free(resolved);
    }
    if (stat(found.path.c_str(), &found.info) != 0)
        throw ToolError("cannot use " + target + ": " + reason());
    if (isDevNull(found.info))
        return {TargetKind::discard, "/dev/null", {}};
    if (!S_ISREG(found.info.st_mode))
        throw ToolError(target + " is " + kindOf(found.info.st_mode) +
                        "; an output must be a regular file, or /dev/null to discard it");
    if (!overwrite)
        throw ToolError(target + " exists; use -y to overwrite");
    if (access(found.path.c_str(), W_OK) != 0)
        throw ToolError("cannot overwrite " + target + ": " + reason());
    return found;
}

std::string directoryOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string baseNameOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// ---- Identities ----------------------------------------------------------------

// A file that exists is known by device and inode; a name not created yet
// by its directory's real path and its last component.
struct Identity {
    bool exists = false;
    dev_t device = 0;
    ino_t inode = 0;
    std::string resolvedName;

    bool same(const Identity& other) const {
        if (exists != other.exists)
            return false;
        return exists ? device == other.device && inode == other.inode
                      : resolvedName == other.resolvedName;
    }
};

std::optional<Identity> identityOf(const std::string& path) {
    struct stat info {};
    if (path == "-" ? fstat(STDIN_FILENO, &info) == 0 : stat(path.c_str(), &info) == 0)
        return Identity{true, info.st_dev, info.st_ino, ""};
    if (errno != ENOENT)
        return std::nullopt;
    char* directory = realpath(directoryOf(path).c_str(), nullptr);
    if (!directory)
        return std::nullopt;
    Identity identity;
    identity.resolvedName = std::string(directory) + "/" + baseNameOf(path);
    std::free(directory);
    return identity;
}

// "out.orv.k3Zq0b.part" beside the target. The name is cut so that the
// suffix always fits into a file name.
std::string temporaryName(const std::string& finalPath) {
    static constexpr char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    static constexpr size_t nameMax = 255;
    std::random_device random;
    std::string suffix = ".";
    for (int i = 0; i < 6; ++i)
        suffix += alphabet[random() % (sizeof alphabet - 1)];
    suffix += ".part";
    const std::string base = baseNameOf(finalPath).substr(0, nameMax - suffix.size());
    const size_t slash = finalPath.find_last_of('/');
    const std::string directory =
        slash == std::string::npos ? "" : finalPath.substr(0, slash + 1);
    return directory + base + suffix;
}

// rename() that fails with EEXIST instead of replacing `to`. Filesystems
// without an atomic way fall back to a check just before.
int renameNoReplace(const std::string& from, const std::string& to) {
    if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS)
        return -1;
    struct stat existing {};
    if (lstat(to.c_str(), &existing) == 0) {
        errno = EEXIST;
        return -1;
    }
    return rename(from.c_str(), to.c_str());
}

// A rename is durable once its directory is on the disk too; failing that
// is no reason to fail the run, whose data is already safe.
void syncDirectoryOf(const std::string& path) {
    const int directory = open(directoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory >= 0) {
        fsync(directory);
        close(directory);
    }
}

}  // namespace

OutputCleanup::OutputCleanup() {
    sigemptyset(&endingSignals);
    for (const int signalNumber : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction current {};
        if (sigaction(signalNumber, nullptr, &current) == 0 && current.sa_handler == SIG_IGN)
            continue;
        sigaddset(&endingSignals, signalNumber);
    }
    pthread_sigmask(SIG_BLOCK, &endingSignals, nullptr);
    temporaries();  // built before a signal can need it
    const auto waitForSignal = [](void* self) -> void* {
        const sigset_t& signals = static_cast<OutputCleanup*>(self)->endingSignals;
        int signalNumber = 0;
        while (sigwait(&signals, &signalNumber) != 0) {
        }
        // From here on the process ends by the signal; the end of main
        // must not cancel the clean-up half-way.
        pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
        removeTemporariesAndDie(signalNumber);
    };
    running = pthread_create(&thread, nullptr, waitForSignal, this) == 0;
}

OutputCleanup::~OutputCleanup() {
    // sigwait is a cancellation point: the thread ends where it waits.
    if (running && pthread_cancel(thread) == 0)
        pthread_join(thread, nullptr);
}

void checkOutputs(const std::vector<NamedPath>& inputs, const std::vector<NamedPath>& outputs,
                  bool overwrite) {
    // The same file twice is the plainer mistake; it is named first.
    std::vector<std::pair<const NamedPath*, Identity>> seen;
    for (const NamedPath& input : inputs)
        if (const auto identity = identityOf(input.path); identity && identity->exists)
            seen.emplace_back(&input, *identity);
    for (const NamedPath& output : outputs) {
        const auto identity = identityOf(output.path);
        if (!identity || (identity->exists && isDevNull(output.path)))
            continue;  // a name that cannot be created says why later; /dev/null is no file
        for (const auto& [other, otherIdentity] : seen)
            if (identity->same(otherIdentity))
                throw UsageError(output.role + " " + output.path + " is the same file as " +
                                 other->role + " " + other->path);
        seen.emplace_back(&output, *identity);
    }
    for (const NamedPath& output : outputs)
        examineTarget(output.path, overwrite);
}

OutputFile::OutputFile(const std::string& target, bool overwrite)
    : targetName(target), overwrite(overwrite) {
    const Target examined = examineTarget(target, overwrite);
    finalPath = examined.path;
    if (examined.kind == TargetKind::discard) {
        discarding = true;
        writePath = finalPath;
        return;
    }
    Temporaries& all = temporaries();
    for (int attempt = 0; fd < 0; ++attempt) {
        writePath = temporaryName(finalPath);
        std::lock_guard<std::mutex> hold(all.lock);
        // 0666: the kernel takes the umask away, as for any new file.
        fd = open(writePath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0)
            all.paths.push_back(writePath);
        else if (errno != EEXIST || attempt == 100)
            throw ToolError("cannot create " + target + ": " + reason());
    }
    // The replacement keeps the permissions of the file it replaces, and its
    // owner when run by root (nobody else can give a file away).
    if (examined.kind == TargetKind::replace &&
        ((geteuid() == 0 && fchown(fd, examined.info.st_uid, examined.info.st_gid) != 0) ||
         fchmod(fd, examined.info.st_mode & 0777) != 0)) {
        const std::string why = reason();
        removeTemporary();  // no destructor runs for a constructor that throws
        throw ToolError("cannot give " + target + " its permissions: " + why);
    }
}

OutputFile::~OutputFile() {
    if (!done && !discarding)
        removeTemporary();
}

void OutputFile::removeTemporary() {
    if (fd >= 0)
        close(std::exchange(fd, -1));
    std::lock_guard<std::mutex> hold(temporaries().lock);
    unlink(writePath.c_str());
    temporaries().forget(writePath);
}

void OutputFile::write(std::span<const uint8_t> bytes) {
    if (discarding)
        return;
    size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t step = ::write(fd, bytes.data() + written, bytes.size() - written);
        if (step < 0 && errno == EINTR)
            continue;
        if (step <= 0)
            throw ToolError("cannot write " + targetName + ": " + reason());
        written += static_cast<size_t>(step);
    }
}

void OutputFile::commit() {
    if (discarding) {
        done = true;
        return;
    }
    // A full disk may show only now, when delayed blocks are allocated.
    if (fsync(fd) != 0)
        throw ToolError("cannot write " + targetName + ": " + reason());
    close(std::exchange(fd, -1));
    {
        std::lock_guard<std::mutex> hold(temporaries().lock);
        const int result = overwrite ? rename(writePath.c_str(), finalPath.c_str())
                                     : renameNoReplace(writePath, finalPath);
        if (result != 0) {
            if (errno == EEXIST)
                throw ToolError(targetName + " exists; use -y to overwrite");
            throw ToolError("cannot put " + targetName + " in place: " + reason());
        }
        temporaries().forget(writePath);
        done = true;
    }
    syncDirectoryOf(finalPath);
}

std::string OutputFile::keepPartial() {
    if (discarding)
        return finalPath;
    if (fd >= 0)
        close(std::exchange(fd, -1));
    std::lock_guard<std::mutex> hold(temporaries().lock);
    const std::string partial = finalPath + ".partial";
    const bool moved = renameNoReplace(writePath, partial) == 0;
    temporaries().forget(writePath);
    done = true;
    return moved ? partial : writePath;
}

}  // namespace orvtool
