// The reader behind orv_reader.h: parses an ORV file's header, section table,
// section headers and frame indexes when opened, and reads frames and
// samples on demand with positioned reads. Immutable after construction, so
// any number of threads may read through one instance at once; every read
// keeps its buffers to itself.
//
// Failures are thrown as OrvException. Problems that do not stop reading
// (values liborv would not write, such as other flags, gaps between
// sections, WAV sizes that disagree) are only listed, for verify().
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "brindle.hpp"
#include "frame_record.hpp"
#include "hap_slice.hpp"
#include "orv_format.hpp"
#include "orv_reader.h"
#include "positioned_file.hpp"

namespace brindle {

struct VideoSection {
    uint16_t codec = 0;
    uint16_t flags = 0;
    uint32_t width = 0;
    uint32_t height = 0;
    uint64_t timebaseNum = 0, timebaseDen = 0, fpsNum = 0, fpsDen = 0;
    uint64_t frameDataSize = 0;
    uint32_t frameCount = 0;
    uint64_t frameDataAt = 0;  // file offset of the first frame byte
    uint64_t indexAt = 0;      // file offset of the frame index
    std::vector<uint32_t> frameSizes;
    std::vector<uint64_t> frameOffsets;
    std::vector<int64_t> framePts;
    std::vector<uint32_t> ptsOrder;  // frame numbers by pts, ties by index order
    std::optional<StreamLayout> layout;
    std::string layoutFailure;  // why there is no layout, when there is none
};

struct AudioSection {
    uint32_t sampleRate = 0;
    uint32_t numChannels = 0;
    uint64_t dataAt = 0;  // file offset of the first sample byte
    uint64_t numSamples = 0;
};

struct Section {
    uint32_t slot = 0;
    uint8_t type = 0;
    uint64_t offset = 0;
    uint64_t size = 0;
    OrvSectionKind_enum kind = ORV_SECTION_KIND_OTHER;
    std::string name;     // "video section in slot 0"
    std::string failure;  // why its header cannot be read; empty when it can
    std::unique_ptr<VideoSection> video;
    std::unique_ptr<AudioSection> audio;
};

// The count of a frame's textures in a layout, and the bytes they take.
struct TextureLayoutSize {
    uint64_t count = 0;
    uint64_t bytes = 0;
};

class OrvFileReader {
public:
    // Throws OrvException: code 2 when the file is no ORV file this reader
    // can open (with the reason), code 4 for a failed read.
    explicit OrvFileReader(const std::string& path);

    const std::vector<Section>& sections() const { return sectionList; }
    // The section numbered `section`, which must be of `kind` and sound.
    const Section& section(uint32_t section, OrvSectionKind_enum kind) const;
    const VideoSection& video(uint32_t section) const;
    const AudioSection& audio(uint32_t section) const;

    int64_t framePts(uint32_t section, uint32_t frame) const;
    uint32_t findFrame(uint32_t section, int64_t time) const;

    // The first frame's layout of a video section; throws when it is unknown.
    const StreamLayout& streamLayout(uint32_t section) const;
    // Layouts are OrvTextureLayout_enum values; others are refused.
    TextureLayoutSize textureLayoutSize(uint32_t section, uint32_t layout) const;
    // Texture `index` (below the layout's count) of every frame.
    OrvReaderTexture_st texture(uint32_t section, uint32_t layout, uint64_t index) const;
    void readTextures(uint32_t section, uint32_t frame, uint32_t layout,
                      std::span<uint8_t> buffer) const;
    void decodeFrame(uint32_t section, uint32_t frame, uint32_t pixFmt, uint32_t origin,
                     uint8_t* pixels, size_t stride, size_t bufferSize) const;
    // The size of frame `frame`'s stored record, once its place and head
    // are found sound.
    uint64_t frameRecordSize(uint32_t section, uint32_t frame) const;
    // The stored record into `buffer` (at least its size), checked as
    // readTextures checks it; returns its size.
    uint64_t readFrameRecord(uint32_t section, uint32_t frame, std::span<uint8_t> buffer) const;

    void readAudio(uint32_t section, uint64_t first, uint64_t count, int16_t* samples) const;
    void readAudioFloat(uint32_t section, uint64_t first, uint64_t count, float* samples) const;

    // Every problem of the file through `report`: the header's and table's,
    // then section by section, frames in file order; returns their count.
    uint64_t verify(const std::function<void(const std::string&)>& report) const;

    // ---- Shared with verify ----------------------------------------------------

    // The head of frame k of a sound video section; throws OrvException
    // (code 13) when its place or head is damaged, or when its sizes differ
    // from `layout`'s, if given.
    FrameHead readFrameHead(const Section& section, uint32_t k,
                            const StreamLayout* layout = nullptr) const;
    // The Hap frame of slice i of a frame, read into `bytes` and parsed.
    HapSlice readSlice(const FrameHead& head, uint64_t i, Scratch& bytes) const;

    const PositionedFile& bytes() const { return file; }
    const std::vector<std::string>& openProblems() const { return problems; }

private:
    void parseTable();
    void checkLayout();
    void parseVideo(Section& section);
    void parseAudio(Section& section);
    void addProblem(const std::string& where, uint64_t at, const std::string& what);

    PositionedFile file;
    std::vector<Section> sectionList;
    // Problems found while opening that do not stop reading.
    std::vector<std::string> problems;
};

}  // namespace brindle
