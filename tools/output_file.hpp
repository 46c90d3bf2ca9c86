// Every file the tool writes goes through here, so that it never destroys
// anything it did not create in this run.
//
// An output is written to a new temporary file beside its target, created
// exclusively, and renamed into place only when the work has succeeded. A
// failure, or SIGINT, SIGTERM or SIGHUP, removes that temporary and nothing
// else. Targets are refused before any work when they are not regular files
// (except /dev/null, which discards), when they exist and overwriting was
// not asked for, and when they are the same file as an input or as another
// output. A symbolic link as target is followed: what it points to is
// replaced and the link stays.
#pragma once

#include <pthread.h>
#include <signal.h>
#include <sys/types.h>

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace orvtool {

// Hands SIGINT, SIGTERM and SIGHUP to a thread of its own, which removes
// the temporaries of this run and then ends the process by the same signal.
// Make one, first thing in main, before any other thread exists: every
// thread started later inherits the blocked signals, and child processes
// get them unblocked again. A signal that was ignored at start stays
// ignored (nohup). Its end stops the thread, so that the program ends with
// no thread of its own left.
class OutputCleanup {
public:
    OutputCleanup();
    ~OutputCleanup();
    OutputCleanup(const OutputCleanup&) = delete;
    OutputCleanup& operator=(const OutputCleanup&) = delete;

private:
    sigset_t endingSignals;
    pthread_t thread{};
    bool running = false;
};

// A file the command reads or writes, with what to call it in a message
// ("the input", "-o", "--log").
struct NamedPath {
    std::string role;
    std::string path;
};

// Checks every output before any work: that it may be written (see
// OutputFile) and that no output is the same file as an input or another
// output, by device and inode through links, or by resolved path for names
// that do not exist yet. Inputs that do not exist, or are not files, are
// left to fail where they are read. Throws UsageError for the same file
// twice, ToolError for a refused target.
void checkOutputs(const std::vector<NamedPath>& inputs, const std::vector<NamedPath>& outputs,
                  bool overwrite);

class OutputFile {
public:
    // Refuses the target as checkOutputs does, then creates the temporary
    // (mode 0666 less the umask for a new file, the mode of the file it will
    // replace otherwise). Throws ToolError, UsageError for "-".
    OutputFile(const std::string& target, bool overwrite);
    // Removes the temporary unless it was committed or kept.
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Where the work writes: the temporary, or /dev/null.
    const std::string& path() const { return writePath; }
    // The name the user gave, for messages.
    const std::string& target() const { return targetName; }
    bool discards() const { return discarding; }

    // The whole content, through the temporary's own descriptor.
    void write(std::span<const uint8_t> bytes);
    // Flushes the temporary to the disk and renames it into place (never
    // over a file that appeared meanwhile, unless overwriting). Whatever
    // wrote to path() must have closed it. Throws ToolError.
    void commit();
    // For a failed run that the user wants to look into: moves the
    // temporary to TARGET.partial unless that exists, and returns the name
    // it is kept under.
    std::string keepPartial();

private:
    void removeTemporary();

    std::string targetName;
    std::string finalPath;  // the target with symbolic links resolved
    std::string writePath;
    bool overwrite = false;
    bool discarding = false;
    bool done = false;  // committed or kept: nothing to remove
    int fd = -1;
};

}  // namespace orvtool
