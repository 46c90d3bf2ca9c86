#include "orvwriter.hpp"

#include <sys/types.h>

#include <cassert>
#include <cerrno>
#include <cstring>
#include <string>

#include "brindle.hpp"

namespace brindle {

namespace {

// A section past the last slot would overwrite the first section's bytes.
void requireFreeSlot(uint32_t sectionsEnded, uint32_t slots) {
    if (sectionsEnded >= slots) throw OrvException("too many sections", ORV_ERR_UNKNOWN);
}

// `prefix` followed by the platform's text for `error`.
[[noreturn]] void throwSystemError(const char* prefix, int error, uint32_t code) {
    throw OrvException(std::string(prefix) + std::strerror(error), code);
}

// Room for one more entry, growing geometrically; throws std::bad_alloc.
template <typename T>
void reserveOneMore(std::vector<T>& index) {
    if (index.size() == index.capacity()) index.reserve(2 * index.size() + 16);
}

}  // namespace

// ---- FileSink -------------------------------------------------------------

void FileSink::write(size_t size, const void* data) {
    if (size == 0) return;  // nothing to write, and `data` may then be null
    if (std::fwrite(data, 1, size, file) != size)
        throwSystemError("error while writing: ", errno, ORV_ERR_IO);
    bytesWritten += size;
}

// ---- Opening and closing ------------------------------------------------------

OrvWriter::~OrvWriter() = default;

void OrvWriter::open(const std::string& path, unsigned slots) {
    if (file != nullptr) throw OrvException("writer already opened", ORV_ERR_UNKNOWN);
    file = std::fopen(path.c_str(), "wb");
    if (file == nullptr)
        throwSystemError("failed to open file for writing: ", errno, ORV_ERR_OPEN_FILE);
    firstFailure.clear();
    log("opened %s for writing", path.c_str());
    try {
        writeHeader(slots);
    } catch (...) {
        // A writer whose header failed is left closed: nobody else would
        // release the handle, and nothing may be appended to a headless file.
        std::fclose(file);
        file = nullptr;
        throw;
    }
}

void OrvWriter::writeHeader(unsigned slots) {
    writeRaw(sizeof kOrvMagic, kOrvMagic);
    writeU32(kOrvVersion);
    writeU32(slots);
    sectionTableOffset = currentOffset();
    numSlots = slots;
    for (unsigned slot = 0; slot < slots; ++slot) {
        writeU8(ORV_SECTION_NONE);
        writeU64(kOrvUnusedSlotOffset);
        writeU64(kOrvUnusedSlotSize);
    }
    flush();
}

void OrvWriter::close() {
    if (file == nullptr) return;
    // Every section end flushes, so bytes still buffered here belong to a
    // section that never ended, whose failure was reported already. close()
    // has no caller to tell, so a failure is logged, not raised.
    if (std::fclose(file) != 0)
        log("OrvWriter::close(): error while writing: %s", std::strerror(errno));
    file = nullptr;
}

// ---- Sections -----------------------------------------------------------------

void OrvWriter::beginSection(OrvSectionType type) {
    if (sectionType != ORV_SECTION_NONE)
        throw OrvException("missing call to endSection", ORV_ERR_UNKNOWN);
    sectionOffset = currentOffset();
    sectionType = type;
}

void OrvWriter::endSection() {
    if (sectionType == ORV_SECTION_NONE)
        throw OrvException("missing call to beginSection", ORV_ERR_UNKNOWN);
    // Checked before the index is appended, so that a refused end writes nothing.
    requireFreeSlot(numSections, numSlots);
    if (sectionType == ORV_SECTION_VIDEO) updateVideoHeader();
    sectionSize = currentOffset() - sectionOffset;
    updateHeader();
    ++numSections;
    sectionType = ORV_SECTION_NONE;
}

void OrvWriter::updateHeader() {
    requireFreeSlot(numSections, numSlots);
    const uint64_t resumeOffset = currentOffset();
    seek(sectionTableOffset + kOrvTableEntrySize * numSections);
    writeU8(static_cast<uint8_t>(sectionType));
    writeU64(sectionOffset);
    writeU64(sectionSize);
    seek(resumeOffset);
    flush();
}

// ---- Positions and bytes ----------------------------------------------------------

uint64_t OrvWriter::currentOffset() {
    if (file == nullptr) throw OrvException("not opened for writing", ORV_ERR_UNKNOWN);
    const off_t offset = ftello(file);
    if (offset < 0) throwSystemError("failed to tell write offset: ", errno, ORV_ERR_UNKNOWN);
    return static_cast<uint64_t>(offset);
}

void OrvWriter::seek(uint64_t offset) {
    // A seek pushes out the buffered bytes first; flushing here reports a
    // failure of those bytes as the write error it is, not as a seek error.
    flush();
    // A failed seek leaves the position unknown: whatever came next would
    // land in the wrong place.
    if (fseeko(file, static_cast<off_t>(offset), SEEK_SET) != 0)
        fail("Failed to seek: ", errno, ORV_ERR_UNKNOWN);
}

void OrvWriter::writeRaw(size_t size, const void* data) {
    if (file == nullptr) throw OrvException("not opened for writing", ORV_ERR_IO);
    refuseIfBroken(ORV_ERR_IO);
    if (size == 0) return;
    if (std::fwrite(data, 1, size, file) != size) fail("error while writing: ", errno, ORV_ERR_IO);
}

void OrvWriter::fail(const char* prefix, int error, uint32_t code) {
    const std::string message = std::string(prefix) + std::strerror(error);
    if (firstFailure.empty()) firstFailure = message;
    throw OrvException(message, code);
}

void OrvWriter::refuseIfBroken(uint32_t code) const {
    if (!firstFailure.empty()) throw OrvException(firstFailure, code);
}

void OrvWriter::writeU8(uint8_t value) { writeRaw(1, &value); }

void OrvWriter::writeU16(uint16_t value) {
    const uint8_t bytes[2] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8)};
    writeRaw(sizeof bytes, bytes);
}

void OrvWriter::writeU32(uint32_t value) {
    uint8_t bytes[4];
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
    writeRaw(sizeof bytes, bytes);
}

void OrvWriter::writeU64(uint64_t value) {
    uint8_t bytes[8];
    for (int i = 0; i < 8; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
    writeRaw(sizeof bytes, bytes);
}

void OrvWriter::flush() {
    if (file == nullptr) throw OrvException("not opened for writing", ORV_ERR_UNKNOWN);
    refuseIfBroken(ORV_ERR_UNKNOWN);
    if (std::fflush(file) != 0) fail("error while writing: ", errno, ORV_ERR_UNKNOWN);
}

// ---- Video sections -------------------------------------------------------------

void OrvWriter::writeVideoHeader(const OrvVideoHeader& header) {
    if (header.codec != kOrvVideoCodec) throw OrvException("bad video header codec", ORV_ERR_UNKNOWN);
    // The flags of a video header must have the format's bits set.
    if ((header.flags & kOrvVideoFlags) != kOrvVideoFlags)
        throw OrvException("bad video header flags", ORV_ERR_UNKNOWN);
    if (header.width == 0 || header.height == 0)
        throw OrvException("bad video header dimensions", ORV_ERR_UNKNOWN);
    writeU16(header.codec);
    writeU16(header.flags);
    writeU16(header.width);
    writeU16(header.height);
    // Each denominator is stored before its numerator.
    writeU64(header.timebaseDen);
    writeU64(header.timebaseNum);
    writeU64(header.fpsDen);
    writeU64(header.fpsNum);
    indexFieldsOffset = currentOffset();
    writeU64(0);  // frame data size, patched by updateVideoHeader
    writeU32(0);  // frame count, patched likewise
    frameDataOffset = currentOffset();
    frameSizes.clear();
    frameOffsets.clear();
    framePts.clear();
}

void OrvWriter::writeFrame(const OrvFrameWriter& frame) {
    const uint64_t offset = currentOffset();  // refuses a closed writer
    // The sink writes to the file directly, past writeRaw's check.
    refuseIfBroken(ORV_ERR_IO);
    // Room for the index entry comes first: once the frame's bytes are in
    // the file, indexing them cannot fail.
    reserveOneMore(frameOffsets);
    reserveOneMore(framePts);
    reserveOneMore(frameSizes);
    frameOffsets.push_back(offset);
    try {
        framePts.push_back(static_cast<uint64_t>(frame.pts()));
        FileSink sink(file);
        frame.write(sink);
        frameSizes.push_back(static_cast<uint32_t>(sink.bytesWritten));
    } catch (const std::exception& error) {
        dropUnfinishedFrame(error.what());
        throw;
    } catch (...) {
        dropUnfinishedFrame("unknown error");
        throw;
    }
}

void OrvWriter::dropUnfinishedFrame(const char* reason) {
    // Only frames written whole are indexed; the three arrays stay equal in
    // length. Bytes of the broken frame stay in the frame data.
    frameOffsets.resize(frameSizes.size());
    framePts.resize(frameSizes.size());
    // The stream's error flag tells a failed write of the sink from a
    // failure of the frame itself, after which the file is still sound.
    if (std::ferror(file) && firstFailure.empty()) firstFailure = reason;
}

void OrvWriter::updateVideoHeader() {
    assert(frameSizes.size() == frameOffsets.size());
    assert(frameSizes.size() == framePts.size());
    const uint64_t end = currentOffset();
    seek(indexFieldsOffset);
    writeU64(end - frameDataOffset);
    writeU32(static_cast<uint32_t>(frameSizes.size()));
    seek(end);
    for (uint32_t size : frameSizes) writeU32(size);
    for (uint64_t offset : frameOffsets) writeU64(offset);
    for (uint64_t pts : framePts) writeU64(pts);
}

// ---- Audio sections -------------------------------------------------------------

void OrvWriter::writeAudioHeader(const OrvAudioHeader& header) { writeU8(header.codec); }

}  // namespace brindle
