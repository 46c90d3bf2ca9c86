#include "orv_file_reader.hpp"

#include <algorithm>
#include <bit>
#include <climits>
#include <cstdio>
#include <cstring>
#include <numeric>

#include "dxt_encoder_simd.hpp"

namespace brindle {

// The index arrays and the WAV samples are read straight into memory.
static_assert(std::endian::native == std::endian::little,
              "the reader takes little-endian values straight from the file");

namespace {

uint64_t le(const uint8_t* p, int bytes) {
    uint64_t value = 0;
    for (int i = 0; i < bytes; ++i) value |= uint64_t{p[i]} << (8 * i);
    return value;
}

std::string str(uint64_t value) { return std::to_string(value); }

[[noreturn]] void fail(uint64_t at, const std::string& what) {
    throw OrvException("offset " + str(at) + ": " + what, ORV_ERR_UNKNOWN);
}

[[noreturn]] void refuseOpen(const std::string& what) {
    throw OrvException(what, ORV_ERR_OPEN_FILE);
}

// Bytes as a C-like string literal, so that a damaged tag shows what it holds.
std::string quoted(const uint8_t* bytes, size_t count) {
    std::string text = "\"";
    for (size_t i = 0; i < count; ++i) {
        const uint8_t byte = bytes[i];
        if (byte >= 0x20 && byte < 0x7F && byte != '"' && byte != '\\') {
            text += static_cast<char>(byte);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            text += escaped;
        }
    }
    return text + "\"";
}

// Offsets computed from stored fields may be anything; they clamp instead of
// wrapping around.
uint64_t addClamped(uint64_t a, uint64_t b) { return b > UINT64_MAX - a ? UINT64_MAX : a + b; }

uint64_t blocksOver(uint64_t pixels) { return (pixels + 3) / 4; }

const char* sectionName(OrvSectionKind_enum kind) {
    switch (kind) {
        case ORV_SECTION_KIND_VIDEO:
            return "video section";
        case ORV_SECTION_KIND_AUDIO:
            return "audio section";
        case ORV_SECTION_KIND_OTHER:
            return "section";
    }
    return "section";
}

OrvSectionKind_enum kindOfType(uint8_t type) {
    switch (type) {
        case ORV_SECTION_VIDEO:
            return ORV_SECTION_KIND_VIDEO;
        case ORV_SECTION_AUDIO:
            return ORV_SECTION_KIND_AUDIO;
        default:
            return ORV_SECTION_KIND_OTHER;
    }
}

DxtRowDecodeFn rowDecoder(OrvPixFmt_enum format, bool bgra) {
    const DxtRowDecoders& d = dxtRowDecoders();
    switch (format) {
        case ORV_PIX_FMT_DXT1:
            return bgra ? d.bc1Bgra : d.bc1Rgba;
        case ORV_PIX_FMT_DXT5:
            return bgra ? d.bc3Bgra : d.bc3Rgba;
        case ORV_PIX_FMT_YCOCG_DXT5:
            return bgra ? d.ycocgBgra : d.ycocgRgba;
        case ORV_PIX_FMT_YCOCG_DXT5_ALPHA:
            return bgra ? d.ycocgAlphaBgra : d.ycocgAlphaRgba;
    }
    return nullptr;
}

}  // namespace

// ---- Opening ----------------------------------------------------------------------

OrvFileReader::OrvFileReader(const std::string& path) : file(path) {
    if (file.size() < kOrvFileHeaderSize)
        refuseOpen("not an ORV file: " + str(file.size()) + " bytes, shorter than the " +
                   str(kOrvFileHeaderSize) + "-byte file header");
    uint8_t header[kOrvFileHeaderSize];
    file.read(0, header, sizeof header, "file header");
    if (std::memcmp(header, kOrvMagic, sizeof kOrvMagic) != 0)
        refuseOpen("not an ORV file: offset 0: magic: expected \"ORVC\", found " +
                   quoted(header, sizeof kOrvMagic));
    const uint64_t version = le(header + 4, 4), slots = le(header + 8, 4);
    if (version != kOrvVersion)
        refuseOpen("offset 4: version: expected 1, found " + str(version) +
                   "; this reader knows only version 1");
    if (slots != kOrvSlotCount)
        refuseOpen("offset 8: slot count: expected " + str(kOrvSlotCount) + ", found " +
                   str(slots));
    const uint64_t tableEnd = kOrvFileHeaderSize + kOrvTableEntrySize * kOrvSlotCount;
    if (file.size() < tableEnd)
        refuseOpen("file of " + str(file.size()) +
                   " bytes ends inside the section table, which "
                   "ends at offset " +
                   str(tableEnd));
    parseTable();
    checkLayout();
    for (Section& section : sectionList) {
        if (!section.failure.empty()) continue;
        try {
            if (section.kind == ORV_SECTION_KIND_VIDEO) parseVideo(section);
            if (section.kind == ORV_SECTION_KIND_AUDIO) parseAudio(section);
        } catch (const OrvException& error) {
            if (error.code != ORV_ERR_UNKNOWN) throw;  // a failed read, not a damaged section
            section.failure = error.what();
            section.video.reset();
            section.audio.reset();
        }
    }
}

void OrvFileReader::addProblem(const std::string& where, uint64_t at, const std::string& what) {
    problems.push_back((where.empty() ? "" : where + ": ") + "offset " + str(at) + ": " + what);
}

void OrvFileReader::parseTable() {
    uint8_t table[kOrvTableEntrySize * kOrvSlotCount];
    file.read(kOrvFileHeaderSize, table, sizeof table, "section table");
    bool sawUnused = false;
    for (uint32_t slot = 0; slot < kOrvSlotCount; ++slot) {
        const uint8_t* entry = table + kOrvTableEntrySize * slot;
        const uint64_t at = kOrvFileHeaderSize + kOrvTableEntrySize * slot;
        const std::string where = "slot " + str(slot);
        const uint8_t type = entry[0];
        const uint64_t offset = le(entry + kOrvTableEntryOffsetAt, 8);
        const uint64_t size = le(entry + kOrvTableEntrySizeAt, 8);
        if (type == ORV_SECTION_NONE) {
            if (offset != kOrvUnusedSlotOffset || size != kOrvUnusedSlotSize)
                addProblem(where, at,
                           "unused slot (type 0) holds offset " + str(offset) + " and size " +
                               str(size) + ", expected offset 0xFFFFFFFFFFFFFFFF and size 0");
            sawUnused = true;
            continue;
        }
        if (sawUnused)
            addProblem(where, at,
                       "used slot after an unused one: used slots must be contiguous from slot 0");
        Section section;
        section.slot = slot;
        section.type = type;
        section.offset = offset;
        section.size = size;
        section.kind = kindOfType(type);
        section.name = std::string(sectionName(section.kind)) + " in slot " + str(slot);
        if (section.kind == ORV_SECTION_KIND_OTHER)
            addProblem(where, at,
                       "section type: expected 2 (video) or 3 (audio), found " + str(type));
        sectionList.push_back(std::move(section));
    }
}

// Sections follow the table and each other in the order they were begun,
// which need not be slot order. Sections that overlap are refused: each
// would be read as a whole of its own, so slots aliasing one section would
// multiply the memory the file's bytes justify.
void OrvFileReader::checkLayout() {
    std::vector<Section*> byOffset;
    for (Section& section : sectionList) byOffset.push_back(&section);
    std::stable_sort(byOffset.begin(), byOffset.end(),
                     [](const Section* a, const Section* b) { return a->offset < b->offset; });
    const uint64_t tableEnd = kOrvFileHeaderSize + kOrvTableEntrySize * kOrvSlotCount;
    uint64_t expected = tableEnd;
    const Section* previous = nullptr;
    for (Section* section : byOffset) {
        const std::string where = "slot " + str(section->slot);
        if (section->offset < expected) {
            if (previous)
                refuseOpen("offset " + str(section->offset) + ": the " + section->name +
                           " overlaps the " + previous->name + ", which ends at offset " +
                           str(expected));
            section->failure = "offset " + str(section->offset) +
                               ": section starts inside the file header and section table, which "
                               "end at offset " +
                               str(tableEnd);
        } else if (section->offset > expected) {
            addProblem(where, section->offset,
                       "section start: expected " + str(expected) +
                           (previous ? " (the end of the " + previous->name + ")"
                                     : std::string(" (right after the section table)")) +
                           ", found " + str(section->offset) + ", leaving a gap of " +
                           str(section->offset - expected) + " bytes");
        }
        if (!file.holds(section->offset, section->size) && section->failure.empty())
            section->failure =
                "offset " + str(section->offset) + ": section of " + str(section->size) +
                " bytes reaches beyond the end of the file at offset " + str(file.size());
        const uint64_t end = addClamped(section->offset, section->size);
        if (end > expected) {
            expected = end;
            previous = section;
        }
    }
    if (file.size() > expected)
        addProblem("", expected,
                   str(file.size() - expected) + " bytes follow the end of the last section");
}

void OrvFileReader::parseVideo(Section& section) {
    const uint64_t at = section.offset;
    if (section.size < kOrvVideoHeaderSize)
        fail(at, "section of " + str(section.size) + " bytes is shorter than the " +
                     str(kOrvVideoHeaderSize) + "-byte video header");
    uint8_t header[kOrvVideoHeaderSize];
    file.read(at, header, sizeof header, "video header");
    auto video = std::make_unique<VideoSection>();
    VideoSection& v = *video;
    v.codec = static_cast<uint16_t>(le(header, 2));
    v.flags = static_cast<uint16_t>(le(header + 2, 2));
    v.width = static_cast<uint32_t>(le(header + kOrvVideoWidthAt, 2));
    v.height = static_cast<uint32_t>(le(header + kOrvVideoHeightAt, 2));
    v.timebaseDen = le(header + kOrvVideoTimebaseDenAt, 8);
    v.timebaseNum = le(header + kOrvVideoTimebaseNumAt, 8);
    v.fpsDen = le(header + kOrvVideoFpsDenAt, 8);
    v.fpsNum = le(header + kOrvVideoFpsNumAt, 8);
    v.frameDataSize = le(header + kOrvVideoFrameDataSizeAt, 8);
    v.frameCount = static_cast<uint32_t>(le(header + kOrvVideoFrameCountAt, 4));
    if (v.codec != kOrvVideoCodec) fail(at, "codec: expected 0, found " + str(v.codec));
    if (v.flags != kOrvVideoFlags)
        addProblem(section.name, at + 2, "flags: expected 7, found " + str(v.flags));
    if (v.width == 0) fail(at + kOrvVideoWidthAt, "width: expected non-zero, found 0");
    if (v.height == 0) fail(at + kOrvVideoHeightAt, "height: expected non-zero, found 0");
    const auto validTerm = [](uint64_t t) { return t >= 1 && t <= INT64_MAX; };
    if (!validTerm(v.timebaseNum) || !validTerm(v.timebaseDen))
        addProblem(section.name, at + kOrvVideoTimebaseDenAt,
                   "time base " + str(v.timebaseNum) + "/" + str(v.timebaseDen) +
                       ": expected a numerator and a denominator from 1 to " + str(INT64_MAX));

    const uint64_t room = section.size - kOrvVideoHeaderSize;
    if (v.frameDataSize > room)
        fail(at + kOrvVideoFrameDataSizeAt, "frame data of " + str(v.frameDataSize) +
                                                " bytes reaches beyond the section's " +
                                                str(section.size) + " bytes");
    const uint64_t n = v.frameCount;
    const uint64_t indexBytes = kOrvIndexEntrySize * n;
    if (indexBytes > room - v.frameDataSize)
        fail(at + kOrvVideoFrameCountAt, "frame count " + str(n) + " needs a frame index of " +
                                             str(indexBytes) + " bytes, the section holds " +
                                             str(room - v.frameDataSize) + " after its frame data");
    if (indexBytes != room - v.frameDataSize)
        addProblem(section.name, at,
                   "section size in the table is " + str(section.size) + ", expected 52 + " +
                       str(v.frameDataSize) + " bytes of frame data + 20 x " + str(n) +
                       " frames = " + str(kOrvVideoHeaderSize + v.frameDataSize + indexBytes));
    v.frameDataAt = at + kOrvVideoHeaderSize;
    v.indexAt = v.frameDataAt + v.frameDataSize;

    // The index lies within the section, which lies within the file: these
    // sizes are backed by the file's bytes.
    v.frameSizes.resize(n);
    v.frameOffsets.resize(n);
    v.framePts.resize(n);
    file.read(v.indexAt, v.frameSizes.data(), kOrvIndexSizeBytes * n, "frame sizes");
    file.read(v.indexAt + kOrvIndexSizeBytes * n, v.frameOffsets.data(), kOrvIndexOffsetBytes * n,
              "frame offsets");
    file.read(v.indexAt + (kOrvIndexSizeBytes + kOrvIndexOffsetBytes) * n, v.framePts.data(),
              kOrvIndexPtsBytes * n, "frame pts");
    v.ptsOrder.resize(n);
    std::iota(v.ptsOrder.begin(), v.ptsOrder.end(), 0u);
    std::stable_sort(v.ptsOrder.begin(), v.ptsOrder.end(),
                     [&v](uint32_t a, uint32_t b) { return v.framePts[a] < v.framePts[b]; });
    section.video = std::move(video);

    if (n == 0) {
        v.layoutFailure = "the section holds no frame";
        return;
    }
    // The first frame's head and its first slice's section headers: a few
    // small reads, whatever the frame's size.
    try {
        const FrameHead head = readFrameHead(section, 0);
        const uint64_t sliceAt = head.at + head.sliceOffsets[0];
        const HapFrameBytes read = [this, sliceAt](uint64_t pos, uint8_t* dst, uint64_t count) {
            file.read(sliceAt + pos, dst, count, "Hap section header");
        };
        const HapSlice slice = parseHapSliceHeaders(read, head.sliceSize(0), sliceAt);
        v.layout = StreamLayout{head.sizes, head.grid, slice.planes, *pixFmtOfPlanes(slice.planes),
                                slice.compression};
    } catch (const OrvException& error) {
        if (error.code != ORV_ERR_UNKNOWN) throw;
        v.layoutFailure = std::string("frame 0: ") + error.what();
    }
}

void OrvFileReader::parseAudio(Section& section) {
    const uint64_t at = section.offset;
    if (section.size < kOrvAudioHeaderSize + kWavHeaderSize)
        fail(at, "section of " + str(section.size) +
                     " bytes is shorter than the audio header and "
                     "the " +
                     str(kWavHeaderSize) + "-byte WAV header");
    uint8_t bytes[kOrvAudioHeaderSize + kWavHeaderSize];
    file.read(at, bytes, sizeof bytes, "audio and WAV headers");
    if (bytes[0] != kOrvAudioCodecWav) fail(at, "audio codec: expected 0, found " + str(bytes[0]));
    const uint8_t* wav = bytes + kOrvAudioHeaderSize;
    const uint64_t wavAt = at + kOrvAudioHeaderSize;
    const struct {
        uint64_t pos;
        const char* tag;
    } tags[] = {{kWavRiffTagAt, kWavRiffTag},
                {kWavWaveTagAt, kWavWaveTag},
                {kWavFmtTagAt, kWavFmtTag},
                {kWavDataTagAt, kWavDataTag}};
    for (const auto& t : tags)
        if (std::memcmp(wav + t.pos, t.tag, 4) != 0)
            fail(wavAt + t.pos, "tag: expected " +
                                    quoted(reinterpret_cast<const uint8_t*>(t.tag), 4) +
                                    ", found " + quoted(wav + t.pos, 4));
    const uint64_t fmtSize = le(wav + kWavFmtSizeAt, 4), format = le(wav + kWavFormatAt, 2),
                   channels = le(wav + kWavChannelsAt, 2), rate = le(wav + kWavSampleRateAt, 4),
                   byteRate = le(wav + kWavByteRateAt, 4),
                   blockAlign = le(wav + kWavBlockAlignAt, 2), bits = le(wav + kWavBitsAt, 2),
                   riffSize = le(wav + kWavRiffSizeAt, 4), dataSize = le(wav + kWavDataSizeAt, 4);
    if (fmtSize != kWavFmtChunkBodySize)
        fail(wavAt + kWavFmtSizeAt, "fmt chunk size: expected 16, found " + str(fmtSize));
    if (format != kWavFormatPcm || bits != kWavBitsPerSample)
        fail(wavAt + kWavFormatAt, "samples of format " + str(format) + " with " + str(bits) +
                                       " bits: expected 16-bit PCM (format 1)");
    if (channels == 0) fail(wavAt + kWavChannelsAt, "channel count: expected non-zero, found 0");
    const uint64_t frameBytes = channels * kWavBytesPerSample;
    // Stored fields, so the products wrap as the stored values did.
    if (blockAlign != static_cast<uint16_t>(frameBytes))
        addProblem(section.name, wavAt + kWavBlockAlignAt,
                   "block alignment: expected " + str(static_cast<uint16_t>(frameBytes)) +
                       ", found " + str(blockAlign));
    if (byteRate != static_cast<uint32_t>(rate * frameBytes))
        addProblem(section.name, wavAt + kWavByteRateAt,
                   "byte rate: expected " + str(static_cast<uint32_t>(rate * frameBytes)) +
                       ", found " + str(byteRate));
    const uint64_t dataBytes = section.size - sizeof bytes;
    if (dataSize > dataBytes)
        fail(wavAt + kWavDataSizeAt, "data size " + str(dataSize) +
                                         " reaches beyond the audio section, which holds " +
                                         str(dataBytes) + " bytes of samples");
    if (dataSize != dataBytes)
        addProblem(section.name, wavAt + kWavDataSizeAt,
                   "data size: expected " + str(dataBytes) +
                       " (the bytes after the WAV header), found " + str(dataSize));
    if (riffSize != static_cast<uint32_t>(dataBytes + kWavRiffSizeBeyondData))
        addProblem(section.name, wavAt + kWavRiffSizeAt,
                   "RIFF size: expected " +
                       str(static_cast<uint32_t>(dataBytes + kWavRiffSizeBeyondData)) + ", found " +
                       str(riffSize));
    if (dataBytes % frameBytes != 0)
        addProblem(section.name, wavAt + kWavHeaderSize,
                   str(dataBytes) + " bytes of samples are not a whole number of " +
                       str(frameBytes) + "-byte sample frames");
    auto audio = std::make_unique<AudioSection>();
    audio->sampleRate = static_cast<uint32_t>(rate);
    audio->numChannels = static_cast<uint32_t>(channels);
    audio->dataAt = wavAt + kWavHeaderSize;
    audio->numSamples = dataSize / frameBytes;
    section.audio = std::move(audio);
}

// ---- Sections ----------------------------------------------------------------------

const Section& OrvFileReader::section(uint32_t number, OrvSectionKind_enum kind) const {
    if (number >= sectionList.size())
        throw OrvException(
            "section " + str(number) + " of a file of " + str(sectionList.size()) + " sections",
            ORV_ERR_UNKNOWN_STREAM);
    const Section& section = sectionList[number];
    if (section.kind != kind)
        throw OrvException("section " + str(number) + " is the " + section.name + ", not " +
                               (kind == ORV_SECTION_KIND_AUDIO ? "an " : "a ") + sectionName(kind),
                           ORV_ERR_UNKNOWN_STREAM);
    if (!section.failure.empty())
        throw OrvException(section.name + ": " + section.failure, ORV_ERR_UNKNOWN);
    return section;
}

const VideoSection& OrvFileReader::video(uint32_t number) const {
    return *section(number, ORV_SECTION_KIND_VIDEO).video;
}

const AudioSection& OrvFileReader::audio(uint32_t number) const {
    return *section(number, ORV_SECTION_KIND_AUDIO).audio;
}

// ---- Time -----------------------------------------------------------------------------

int64_t OrvFileReader::framePts(uint32_t number, uint32_t frame) const {
    const VideoSection& v = video(number);
    if (frame >= v.frameCount)
        throw OrvException(
            "frame " + str(frame) + " of a video section of " + str(v.frameCount) + " frames",
            ORV_ERR_UNKNOWN);
    return v.framePts[frame];
}

uint32_t OrvFileReader::findFrame(uint32_t number, int64_t time) const {
    const VideoSection& v = video(number);
    // The first frame in pts order that is later than `time`; the one before
    // it is the last at or before it, the latest index entry among equals.
    const auto later = std::upper_bound(v.ptsOrder.begin(), v.ptsOrder.end(), time,
                                        [&v](int64_t t, uint32_t k) { return t < v.framePts[k]; });
    if (later == v.ptsOrder.begin())
        throw OrvException("no frame at or before time " + std::to_string(time), ORV_ERR_UNKNOWN);
    return *(later - 1);
}

// ---- Frame records ---------------------------------------------------------------------

FrameHead OrvFileReader::readFrameHead(const Section& section, uint32_t k,
                                       const StreamLayout* layout) const {
    const VideoSection& v = *section.video;
    if (k >= v.frameCount)
        throw OrvException(
            "frame " + str(k) + " of a video section of " + str(v.frameCount) + " frames",
            ORV_ERR_UNKNOWN);
    const uint64_t at = v.frameOffsets[k], size = v.frameSizes[k];
    const uint64_t dataEnd = v.frameDataAt + v.frameDataSize;
    if (at < v.frameDataAt || at > dataEnd || size > dataEnd - at)
        fail(at, "frame " + str(k) + " of " + str(size) +
                     " bytes lies outside the section's frame data, offsets " +
                     str(v.frameDataAt) + " to " + str(dataEnd));
    // Within the frame data, which lies within the file.
    const RecordBytes read = [this, at](uint64_t pos, void* dst, uint64_t n, const char* what) {
        file.read(at + pos, dst, n, what);
    };
    return parseFrameHead(read, at, size, v.width, v.height, layout);
}

HapSlice OrvFileReader::readSlice(const FrameHead& head, uint64_t i, Scratch& bytes) const {
    const uint64_t at = head.at + head.sliceOffsets[i];
    const uint64_t size = head.sliceSize(i);
    uint8_t* const data = bytes.get(size);
    file.read(at, data, size, "Hap frame");
    return parseHapSlice({data, size}, at);
}

// ---- Textures -----------------------------------------------------------------------------

TextureLayoutSize OrvFileReader::textureLayoutSize(uint32_t number, uint32_t layout) const {
    if (layout != ORV_TEXTURES_PER_SLICE && layout != ORV_TEXTURES_WHOLE_FRAME)
        throw OrvException("unknown texture layout " + str(layout), ORV_ERR_UNKNOWN);
    const StreamLayout& l = streamLayout(number);
    TextureLayoutSize size;
    for (uint32_t p = 0; p < l.planes.count; ++p) {
        if (layout == ORV_TEXTURES_PER_SLICE)
            size.bytes += sliceTextureBytes(l, p) * l.grid.count();
        else
            size.bytes += blocksOver(video(number).width) * blocksOver(video(number).height) *
                          texBlockBytes(l.planes.formats[p]);
    }
    size.count = l.planes.count * (layout == ORV_TEXTURES_PER_SLICE ? l.grid.count() : 1);
    return size;
}

OrvReaderTexture_st OrvFileReader::texture(uint32_t number, uint32_t layout, uint64_t index) const {
    const StreamLayout& l = streamLayout(number);
    const VideoSection& v = video(number);
    OrvReaderTexture_st t{};
    t.plane = static_cast<uint32_t>(index % l.planes.count);
    t.format = l.planes.formats[t.plane];  // OrvTextureFormat_enum shares OrvTexFmt's values
    const uint64_t bytes = texBlockBytes(l.planes.formats[t.plane]);
    if (layout == ORV_TEXTURES_WHOLE_FRAME) {
        t.blocksWide = static_cast<uint32_t>(blocksOver(v.width));
        t.blocksHigh = static_cast<uint32_t>(blocksOver(v.height));
        t.offset = t.plane == 0
                       ? 0
                       : uint64_t{t.blocksWide} * t.blocksHigh * texBlockBytes(l.planes.formats[0]);
    } else {
        const uint64_t slice = index / l.planes.count;
        t.slice = static_cast<uint32_t>(slice);
        t.x = static_cast<uint32_t>(slice % l.grid.numColumns) * l.sizes.sliceWidth;
        t.y = static_cast<uint32_t>(slice / l.grid.numColumns) * l.sizes.sliceHeight;
        t.blocksWide = l.sizes.sliceWidth / 4u;
        t.blocksHigh = l.sizes.sliceHeight / 4u;
        uint64_t sliceBytes = 0;
        for (uint32_t p = 0; p < l.planes.count; ++p) sliceBytes += sliceTextureBytes(l, p);
        t.offset = slice * sliceBytes + (t.plane == 0 ? 0 : sliceTextureBytes(l, 0));
    }
    t.size = uint64_t{t.blocksWide} * t.blocksHigh * bytes;
    return t;
}

const StreamLayout& OrvFileReader::streamLayout(uint32_t number) const {
    const Section& s = section(number, ORV_SECTION_KIND_VIDEO);
    if (!s.video->layout)
        throw OrvException(
            s.name + ": the layout of its frames is unknown: " + s.video->layoutFailure,
            ORV_ERR_UNKNOWN);
    return *s.video->layout;
}

void OrvFileReader::readTextures(uint32_t number, uint32_t frame, uint32_t layout,
                                 std::span<uint8_t> buffer) const {
    const TextureLayoutSize size = textureLayoutSize(number, layout);  // refuses unknown layouts
    const Section& s = section(number, ORV_SECTION_KIND_VIDEO);
    const StreamLayout& l = streamLayout(number);
    if (buffer.size() < size.bytes)
        throw OrvException("buffer of " + str(buffer.size()) + " bytes is smaller than the " +
                               str(size.bytes) + " bytes of a frame's textures",
                           ORV_ERR_INVALID_DIMENSIONS);
    const FrameHead head = readFrameHead(s, frame, &l);
    const uint64_t wholeWide = blocksOver(s.video->width), wholeHigh = blocksOver(s.video->height);
    const uint64_t sliceWide = l.sizes.sliceWidth / 4u, sliceHigh = l.sizes.sliceHeight / 4u;
    Scratch bytes, scratch;
    for (uint64_t i = 0; i < head.grid.count(); ++i) {
        const HapSlice slice = readSlice(head, i, bytes);
        checkSliceLayout(l, slice, i);
        for (uint32_t p = 0; p < l.planes.count; ++p) {
            const OrvReaderTexture_st place = texture(
                number, layout, layout == ORV_TEXTURES_PER_SLICE ? i * l.planes.count + p : p);
            const uint64_t expected = sliceTextureBytes(l, p);
            if (layout == ORV_TEXTURES_PER_SLICE) {
                unpackTexture(slice.textures[p], buffer.data() + place.offset, expected);
                continue;
            }
            // The slice's blocks go to their place in the whole texture;
            // columns and rows beyond the picture's blocks are dropped.
            const uint64_t bytesPerBlock = texBlockBytes(l.planes.formats[p]);
            const uint64_t column = i % head.grid.numColumns, row = i / head.grid.numColumns;
            const uint64_t x0 = column * sliceWide, y0 = row * sliceHigh;
            const uint64_t wide = std::min(sliceWide, wholeWide - x0);
            const uint64_t high = std::min(sliceHigh, wholeHigh - y0);
            uint8_t* const origin =
                buffer.data() + place.offset + (y0 * wholeWide + x0) * bytesPerBlock;
            if (wide == wholeWide && high == sliceHigh) {
                // The slice's rows are the whole texture's rows: straight in.
                unpackTexture(slice.textures[p], origin, expected);
                continue;
            }
            checkTextureClaim(slice.textures[p], expected);
            uint8_t* const blocks = scratch.get(expected);
            unpackTexture(slice.textures[p], blocks, expected);
            for (uint64_t y = 0; y < high; ++y)
                std::memcpy(origin + y * wholeWide * bytesPerBlock,
                            blocks + y * sliceWide * bytesPerBlock, wide * bytesPerBlock);
        }
    }
}

// ---- Records -------------------------------------------------------------------------------

uint64_t OrvFileReader::frameRecordSize(uint32_t number, uint32_t frame) const {
    const StreamLayout& l = streamLayout(number);
    return readFrameHead(section(number, ORV_SECTION_KIND_VIDEO), frame, &l).size;
}

uint64_t OrvFileReader::readFrameRecord(uint32_t number, uint32_t frame,
                                        std::span<uint8_t> buffer) const {
    const StreamLayout& l = streamLayout(number);
    const FrameHead head = readFrameHead(section(number, ORV_SECTION_KIND_VIDEO), frame, &l);
    if (buffer.size() < head.size)
        throw OrvException("buffer of " + str(buffer.size()) + " bytes is smaller than the " +
                               str(head.size) + " bytes of frame " + str(frame) + "'s record",
                           ORV_ERR_INVALID_DIMENSIONS);
    file.read(head.at, buffer.data(), head.size, "frame record");
    // The bytes handed out are the bytes checked, head included.
    checkFrameRecord(buffer.first(head.size), head.at, video(number).width,
                     video(number).height, l);
    return head.size;
}

// ---- Pixels ------------------------------------------------------------------------------

void OrvFileReader::decodeFrame(uint32_t number, uint32_t frame, uint32_t pixFmt, uint32_t origin,
                                uint8_t* pixels, size_t stride, size_t bufferSize) const {
    const Section& s = section(number, ORV_SECTION_KIND_VIDEO);
    const VideoSection& v = *s.video;
    if (pixFmt != ORV_SRC_PIX_FMT_RGBA32 && pixFmt != ORV_SRC_PIX_FMT_BGRA32)
        throw OrvException(
            "pixel format " + str(pixFmt) + ": the reader writes RGBA32 (1) or BGRA32 (3)",
            ORV_ERR_UNKNOWN_PIXEL_FORMAT);
    if (origin > 1) throw OrvException("bad origin " + str(origin), ORV_ERR_UNKNOWN);
    const uint64_t rowBytes = 4 * uint64_t{v.width};
    if (stride < rowBytes)
        throw OrvException(
            "stride " + str(stride) + " is smaller than a row of " + str(v.width) + " pixels",
            ORV_ERR_INVALID_DIMENSIONS);
    // Any stride: the product is checked, never wrapped.
    uint64_t needed = 0;
    if (__builtin_mul_overflow(uint64_t{stride}, uint64_t{v.height - 1}, &needed) ||
        __builtin_add_overflow(needed, rowBytes, &needed))
        throw OrvException("stride " + str(stride) + " makes a picture larger than any buffer",
                           ORV_ERR_INVALID_DIMENSIONS);
    if (bufferSize < needed)
        throw OrvException("buffer of " + str(bufferSize) + " bytes is smaller than the " +
                               str(needed) + " bytes of a picture",
                           ORV_ERR_INVALID_DIMENSIONS);
    const StreamLayout& l = streamLayout(number);
    const FrameHead head = readFrameHead(s, frame, &l);
    const DxtRowDecodeFn decode = rowDecoder(l.format, pixFmt == ORV_SRC_PIX_FMT_BGRA32);

    // Picture row y in the buffer; bottom-up pictures step backwards.
    const ptrdiff_t step =
        origin == 0 ? static_cast<ptrdiff_t>(stride) : -static_cast<ptrdiff_t>(stride);
    const auto rowAt = [&](uint64_t y) {
        return pixels + (origin == 0 ? y : v.height - 1 - y) * stride;
    };
    const uint64_t sliceWide = l.sizes.sliceWidth / 4u, sliceHigh = l.sizes.sliceHeight / 4u;
    const uint64_t wholeWide = blocksOver(v.width), wholeHigh = blocksOver(v.height);
    Scratch bytes, planes[2];
    // One block row of the slice's pixels, for blocks cut by the picture's edge.
    const auto edge = std::make_unique_for_overwrite<uint8_t[]>(64 * sliceWide);
    for (uint64_t i = 0; i < head.grid.count(); ++i) {
        const HapSlice slice = readSlice(head, i, bytes);
        checkSliceLayout(l, slice, i);
        const uint8_t* blocks[2] = {nullptr, nullptr};
        for (uint32_t p = 0; p < l.planes.count; ++p) {
            const uint64_t expected = sliceTextureBytes(l, p);
            checkTextureClaim(slice.textures[p], expected);
            uint8_t* const place = planes[p].get(expected);
            unpackTexture(slice.textures[p], place, expected);
            blocks[p] = place;
        }
        const uint64_t bytesPerBlock = texBlockBytes(l.planes.formats[0]);
        const uint64_t x0 = (i % head.grid.numColumns) * sliceWide,
                       y0 = (i / head.grid.numColumns) * sliceHigh;
        const uint64_t wide = std::min(sliceWide, wholeWide - x0);
        const uint64_t high = std::min(sliceHigh, wholeHigh - y0);
        const uint64_t pixelsWide = std::min(4 * wide, v.width - 4 * x0);
        for (uint64_t by = 0; by < high; ++by) {
            const uint8_t* colour = blocks[0] + by * sliceWide * bytesPerBlock;
            const uint8_t* alpha = blocks[1] ? blocks[1] + by * sliceWide * 8 : nullptr;
            const uint64_t top = 4 * (y0 + by);
            const uint64_t rows = std::min<uint64_t>(4, v.height - top);
            uint8_t* const first = rowAt(top) + 16 * x0;
            // Whole blocks straight into the picture, cut ones through `edge`.
            const uint64_t whole = rows == 4 ? pixelsWide / 4 : 0;
            decode(first, step, colour, alpha, static_cast<unsigned>(whole));
            if (whole * 4 == pixelsWide) continue;
            const uint64_t rest = wide - whole;
            decode(edge.get(), static_cast<ptrdiff_t>(16 * rest), colour + whole * bytesPerBlock,
                   alpha ? alpha + whole * 8 : nullptr, static_cast<unsigned>(rest));
            for (uint64_t y = 0; y < rows; ++y)
                std::memcpy(first + static_cast<ptrdiff_t>(y) * step + 16 * whole,
                            edge.get() + y * 16 * rest, 4 * (pixelsWide - 4 * whole));
        }
    }
}

// ---- Audio ------------------------------------------------------------------------------

namespace {

void checkSampleRange(const AudioSection& a, uint64_t first, uint64_t count) {
    if (first > a.numSamples || count > a.numSamples - first)
        throw OrvException("sample frames " + std::to_string(first) + " to " +
                               std::to_string(addClamped(first, count)) +
                               " lie outside the section's " + std::to_string(a.numSamples),
                           ORV_ERR_UNKNOWN);
}

}  // namespace

void OrvFileReader::readAudio(uint32_t number, uint64_t first, uint64_t count,
                              int16_t* samples) const {
    const AudioSection& a = audio(number);
    checkSampleRange(a, first, count);
    const uint64_t frameBytes = a.numChannels * kWavBytesPerSample;
    file.read(a.dataAt + first * frameBytes, samples, count * frameBytes, "WAV samples");
}

void OrvFileReader::readAudioFloat(uint32_t number, uint64_t first, uint64_t count,
                                   float* samples) const {
    const AudioSection& a = audio(number);
    checkSampleRange(a, first, count);
    // A bounded chunk of interleaved samples at a time, spread over the planes.
    constexpr uint64_t chunkFrames = 4096;
    std::vector<int16_t> chunk(std::min(count, chunkFrames) * a.numChannels);
    for (uint64_t done = 0; done < count;) {
        const uint64_t n = std::min(chunkFrames, count - done);
        readAudio(number, first + done, n, chunk.data());
        for (uint64_t k = 0; k < n; ++k)
            for (uint64_t c = 0; c < a.numChannels; ++c)
                samples[c * count + done + k] =
                    static_cast<float>(chunk[k * a.numChannels + c]) / 32768.0f;
        done += n;
    }
}

}  // namespace brindle
