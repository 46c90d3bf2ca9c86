// Packages a finished slice as one Hap frame: one texture section, or a
// multiple-image section holding the YCoCg and the BC4 alpha sections.
#pragma once

#include <cstdint>

#include "orvenc_frame.hpp"
#include "orvwriter.hpp"

namespace brindle {

class OrvSliceWriter {
public:
    virtual ~OrvSliceWriter() = default;
    // Exactly the number of bytes write() appends for the slice.
    virtual uint64_t size(const OrvEncSlice& slice) const = 0;
    virtual void write(const OrvEncSlice& slice, OrvIOSink& sink) const = 0;
};

// Stateless; serves any number of slices and threads.
class OrvHapWriter : public OrvSliceWriter {
public:
    uint64_t size(const OrvEncSlice& slice) const override;
    void write(const OrvEncSlice& slice, OrvIOSink& sink) const override;

    // Bytes of a section with `dataSize` bytes of data: 4- or 8-byte header.
    uint64_t sectionSize(uint64_t dataSize) const;
    void writeTexture(const OrvEncTexture& texture, OrvIOSink& sink) const;
    void writeSectionHeader(uint8_t type, uint32_t dataSize, OrvIOSink& sink) const;
    uint8_t mapPixelFormat(uint32_t texFmt) const;         // low nibble
    uint8_t mapCompressionMethod(uint32_t compression) const;  // high nibble
};

}  // namespace brindle
