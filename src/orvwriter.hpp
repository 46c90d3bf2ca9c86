// Writes the ORV container: the file header with its section table, the
// sections, the frames of a video section and their index, and the patches
// that complete a section when it ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "orv_format.hpp"

namespace brindle {

struct OrvVideoHeader {
    uint16_t codec = 0;
    uint16_t flags = 0;
    uint16_t width = 0;
    uint16_t height = 0;
    uint64_t timebaseNum = 0;
    uint64_t timebaseDen = 0;
    uint64_t fpsNum = 0;
    uint64_t fpsDen = 0;
};

struct OrvAudioHeader {
    uint8_t codec = 0;
};

// A byte sink: write consumes exactly `size` bytes or throws.
class OrvIOSink {
public:
    virtual ~OrvIOSink() = default;
    virtual void write(size_t size, const void* data) = 0;
};

// Appends to the writer's file (not owned) and counts what it wrote.
class FileSink : public OrvIOSink {
public:
    explicit FileSink(FILE* file) : file(file) {}
    // Throws "error while writing: <reason>" (code 4) on a short write.
    void write(size_t size, const void* data) override;

    FILE* file;
    uint64_t bytesWritten = 0;
};

// A frame that writes its own record.
class OrvFrameWriter {
public:
    virtual ~OrvFrameWriter() = default;
    virtual int64_t pts() const = 0;
    virtual uint32_t frameNumber() const = 0;
    virtual void write(OrvIOSink& sink) const = 0;
};

// Used by one thread at a time: the host's thread, or the active video
// stream's writer thread while it runs. It has no lock.
class OrvWriter {
public:
    OrvWriter() = default;
    ~OrvWriter();  // releases the index only; the session closes the file
    OrvWriter(const OrvWriter&) = delete;
    OrvWriter& operator=(const OrvWriter&) = delete;

    void open(const std::string& path, unsigned numSlots);
    void writeHeader(unsigned numSlots);
    void close();

    void beginSection(OrvSectionType type);
    // Refuses with "too many sections" (13) when every slot is used.
    void endSection();

    uint64_t currentOffset();
    void seek(uint64_t offset);
    void writeRaw(size_t size, const void* data);
    void writeData(size_t size, const void* data) { writeRaw(size, data); }
    void writeU8(uint8_t value);
    void writeU16(uint16_t value);
    void writeU32(uint32_t value);
    void writeU64(uint64_t value);
    void flush();

    void writeVideoHeader(const OrvVideoHeader& header);
    // Appends one frame record and its index entry. A frame whose write
    // fails leaves no index entry.
    void writeFrame(const OrvFrameWriter& frame);
    void writeAudioHeader(const OrvAudioHeader& header);
    void updateVideoHeader();
    void updateHeader();

    bool isOpen() const { return file != nullptr; }
    uint32_t sectionCount() const { return numSections; }

private:
    // Records the first failure of the file and throws `prefix` + the
    // platform's text for `error` with `code`.
    [[noreturn]] void fail(const char* prefix, int error, uint32_t code);
    // Throws the first failure's text with `code` once the file has failed.
    void refuseIfBroken(uint32_t code) const;
    void dropUnfinishedFrame(const char* reason);

    FILE* file = nullptr;
    // The text of the first failed write, flush or seek; empty while the
    // file is sound. stdio drops its buffered bytes when a flush fails, so a
    // later flush can succeed with bytes missing: after a failure no write,
    // flush or seek is let through, and no patch or section end can pass
    // for success over lost bytes.
    std::string firstFailure;
    uint64_t sectionTableOffset = 0;
    uint64_t indexFieldsOffset = 0;
    uint64_t frameDataOffset = 0;
    std::vector<uint32_t> frameSizes;
    std::vector<uint64_t> frameOffsets;
    std::vector<uint64_t> framePts;
    uint32_t numSections = 0;
    uint32_t numSlots = 0;
    uint32_t sectionType = ORV_SECTION_NONE;
    uint64_t sectionOffset = 0;
    uint64_t sectionSize = 0;
};

}  // namespace brindle
