// A file opened for positioned reads: every read names its offset, so any
// number of threads may read one file at once without a shared position.
#pragma once

#include <cstdint>
#include <string>

namespace brindle {

class PositionedFile {
public:
    // Opens a regular file for reading. Throws OrvException (code 2) with
    // "cannot open PATH: <reason>", or "PATH is not a regular file" for
    // devices, pipes and directories (whose sizes say nothing).
    explicit PositionedFile(const std::string& path);
    ~PositionedFile();
    PositionedFile(const PositionedFile&) = delete;
    PositionedFile& operator=(const PositionedFile&) = delete;

    // The size when opened.
    uint64_t size() const { return fileSize; }
    bool holds(uint64_t offset, uint64_t count) const {
        return offset <= fileSize && count <= fileSize - offset;
    }

    // Reads exactly `count` bytes at `offset` into dst. Throws OrvException:
    // "offset N: WHAT of C bytes reaches beyond the end of the file at offset
    // S" (code 13) when the file does not hold them, "error while reading
    // WHAT: <reason>" (code 4) when the system fails. Safe from any thread.
    void read(uint64_t offset, void* dst, uint64_t count, const char* what) const;

private:
    int fd = -1;
    uint64_t fileSize = 0;
};

}  // namespace brindle
