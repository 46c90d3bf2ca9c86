#include "positioned_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "brindle.hpp"

namespace brindle {

PositionedFile::PositionedFile(const std::string& path) {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        throw OrvException("cannot open " + path + ": " + std::strerror(errno), ORV_ERR_OPEN_FILE);
    struct stat status;
    if (fstat(fd, &status) != 0) {
        const int error = errno;
        ::close(fd);
        throw OrvException("cannot open " + path + ": " + std::strerror(error), ORV_ERR_OPEN_FILE);
    }
    if (!S_ISREG(status.st_mode)) {
        ::close(fd);
        throw OrvException(path + " is not a regular file", ORV_ERR_OPEN_FILE);
    }
    fileSize = static_cast<uint64_t>(status.st_size);
}

PositionedFile::~PositionedFile() { ::close(fd); }

void PositionedFile::read(uint64_t offset, void* dst, uint64_t count, const char* what) const {
    if (!holds(offset, count))
        throw OrvException(
            "offset " + std::to_string(offset) + ": " + what + " of " + std::to_string(count) +
                " bytes reaches beyond the end of the file at offset " + std::to_string(fileSize),
            ORV_ERR_UNKNOWN);
    uint8_t* out = static_cast<uint8_t*>(dst);
    while (count > 0) {
        const ssize_t got = ::pread(fd, out, count, static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0)
            throw OrvException(
                std::string("error while reading ") + what + ": " + std::strerror(errno),
                ORV_ERR_IO);
        // The file shrank since it was opened.
        if (got == 0)
            throw OrvException(std::string("error while reading ") + what + ": the file ends early",
                               ORV_ERR_IO);
        out += got;
        offset += static_cast<uint64_t>(got);
        count -= static_cast<uint64_t>(got);
    }
}

}  // namespace brindle
