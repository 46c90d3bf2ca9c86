// The library's reader (orv_reader.h) on files assembled byte by byte here,
// independently of the encoder: what it reports of sections, time and audio;
// textures per slice and stitched, and pictures equal to the scalar block
// decoders', for every format, coder and origin; one table of damage and bad
// calls, each with its exact refusal or verification problem; hostile files
// in bounded memory; one handle read from four threads at once; and every
// byte flipped or cut.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "harness.hpp"
#include "orv_reader.h"
#include "test_support.hpp"

using namespace orvtest;
using std::to_string;

namespace {

// Texture formats of each output format's planes, and their block sizes.
std::vector<uint32_t> planesOf(uint32_t format) {
    return std::vector<std::vector<uint32_t>>{{bc1}, {ycocg}, {bc3}, {ycocg, bc4}}[format];
}
uint32_t blockBytes(uint32_t texFormat) { return texFormat == bc1 || texFormat == bc4 ? 8 : 16; }

// A video of `frames` frames of random blocks: a 10x7 picture on a 2x2 grid
// of 8x4 slices (the right column and the bottom row reach past it).
struct Clip {
    uint32_t format, compression;
    std::vector<std::vector<Bytes>> blocks;  // [frame][slice * planes + plane]

    Clip(uint32_t format, uint32_t compression, int frames, uint32_t seed = 1)
        : format(format), compression(compression), blocks(frames) {
        std::mt19937 random(seed);
        const auto planes = planesOf(format);
        for (auto& frame : blocks)
            for (uint32_t i = 0; i < 4 * planes.size(); ++i) {
                frame.emplace_back(2 * blockBytes(planes[i % planes.size()]));
                for (uint8_t& byte : frame.back()) byte = static_cast<uint8_t>(random());
            }
    }
    Bytes record(size_t k) const {
        std::vector<Bytes> haps;
        for (uint32_t s = 0; s < 4; ++s)
            haps.push_back(format == 3 ? alphaHapFrame(compression, blocks[k][2 * s], blocks[k][2 * s + 1])
                                       : textureSection(planesOf(format)[0], compression, blocks[k][s]));
        return frameRecord(10, 7, 8, 4, haps);
    }
    Bytes section(const std::vector<int64_t>& pts) const {
        std::vector<Bytes> records;
        for (size_t k = 0; k < blocks.size(); ++k) records.push_back(record(k));
        return videoSection(records, pts, 10, 7);
    }
    // The whole-frame textures: slice blocks in their places, the blocks
    // past 3 x 2 dropped.
    Bytes whole(size_t k) const {
        const auto planes = planesOf(format);
        Bytes out;
        for (size_t p = 0; p < planes.size(); ++p)
            for (uint32_t y = 0; y < 2; ++y)
                for (uint32_t x = 0; x < 3; ++x) {
                    const Bytes& texture = blocks[k][(y * 2 + x / 2) * planes.size() + p];
                    const size_t size = blockBytes(planes[p]);
                    out.insert(out.end(), texture.begin() + x % 2 * size,
                               texture.begin() + (x % 2 + 1) * size);
                }
        return out;
    }
};

// The reference file: the clip's video (frames at pts 30, 10, 30, 20) and a
// stereo audio section after it.
const std::vector<int64_t> clipPts = {30, 10, 30, 20};
const std::vector<int16_t> stereo = {0, -1, 32767, -32768, 1234, -4321, 7, 8};
Bytes referenceFile(const Clip& clip) {
    const std::vector<int64_t> pts(clipPts.begin(), clipPts.begin() + clip.blocks.size());
    return assemble({{2, clip.section(pts)}, {3, audioSection(2, 48000, stereo)}});
}

}  // namespace

// ---- What a file holds -----------------------------------------------------------------

TEST(Structure, SectionsInfoTimeAndAudioReadAsStored) {
    const Bytes bytes = referenceFile(Clip(ORV_PIX_FMT_YCOCG_DXT5_ALPHA, snappyCoded, 4));
    const ImageReader reader(bytes);
    uint32_t count = 0;
    ASSERT_EQ(orvReaderGetNumSections(reader.handle, &count), ORV_ERR_NONE);
    ASSERT_EQ(count, 2u);
    for (uint32_t i = 0; i < 2; ++i) {
        OrvReaderSection_st s{};
        EXPECT_EQ(orvReaderGetSection(reader.handle, i, &s), ORV_ERR_NONE);
        EXPECT_EQ(
            std::tuple(s.slot, s.kind, s.storedType, s.offset, s.size),
            std::tuple(i, ORV_SECTION_KIND_VIDEO + i, 2 + i, slotAt(bytes, i).offset, slotAt(bytes, i).size));
    }
    const OrvReaderVideoInfo_st v = reader.video(0);
    EXPECT_EQ((std::vector<uint64_t>{v.width, v.height, v.sliceWidth, v.sliceHeight, v.numColumns, v.numRows,
                                     v.frameCount, v.timebaseNum, v.timebaseDen, v.fpsNum, v.fpsDen}),
              (std::vector<uint64_t>{10, 7, 8, 4, 2, 2, 4, 1, 90000, 30000, 1001}));
    EXPECT_EQ(std::pair(v.format, v.compression),
              std::pair(int32_t{ORV_PIX_FMT_YCOCG_DXT5_ALPHA}, int32_t{snappyCoded}));
    OrvReaderAudioInfo_st a{};
    ASSERT_EQ(orvReaderGetAudioInfo(reader.handle, 1, &a), ORV_ERR_NONE);
    EXPECT_EQ(std::tuple(a.sampleRate, a.numChannels, a.bitsPerSample, a.numSamples),
              std::tuple(48000u, 2u, 16u, uint64_t{4}));
    for (uint32_t k = 0; k < 4; ++k) EXPECT_EQ(reader.pts(0, k), clipPts[k]);
    // In pts order the frames are 1 (10), 3 (20), 0 (30), 2 (30): among equal
    // pts the later index entry is the later frame.
    const std::pair<int64_t, uint32_t> shown[] = {{10, 1}, {19, 1}, {20, 3},
                                                  {29, 3}, {30, 2}, {INT64_MAX, 2}};
    for (const auto& [time, expected] : shown) {
        uint32_t frame = 99;
        EXPECT_EQ(orvReaderFindFrame(reader.handle, 0, time, &frame), ORV_ERR_NONE) << time;
        EXPECT_EQ(frame, expected) << time;
    }
    std::vector<int16_t> samples(4);
    ASSERT_EQ(orvReaderReadAudio(reader.handle, 1, 1, 2, samples.data()), ORV_ERR_NONE);
    EXPECT_EQ(samples, std::vector<int16_t>(stereo.begin() + 2, stereo.begin() + 6));
    std::vector<float> planar(8);
    ASSERT_EQ(orvReaderReadAudioFloat(reader.handle, 1, 0, 4, planar.data()), ORV_ERR_NONE);
    for (size_t i = 0; i < 8; ++i) EXPECT_EQ(planar[(i % 2) * 4 + i / 2], stereo[i] / 32768.0f) << i;
}

TEST(Frames, TexturesPerSliceAndWholeAndPixelsEqualTheScalarDecodeForEveryFormatCoderAndOrigin) {
    for (uint32_t format = 0; format < 4; ++format)
        for (uint32_t compression : everyCoder) {
            SCOPED_TRACE("format " + to_string(format) + ", coder " + to_string(compression));
            const Clip clip(format, compression, 2, format * 3 + compression);
            const ImageReader reader(referenceFile(clip));
            const auto planes = planesOf(format);
            uint64_t sliceBytes = 0, offset = 0, wholeBytes = 0;
            const auto layout = reader.textureLayout(0, ORV_TEXTURES_PER_SLICE, &sliceBytes);
            ASSERT_EQ(layout.size(), 4 * planes.size());
            for (size_t i = 0; i < layout.size(); offset += layout[i++].size) {
                const OrvReaderTexture_st& t = layout[i];
                const uint64_t slice = i / planes.size(), plane = i % planes.size();
                EXPECT_EQ((std::vector<uint64_t>{t.format, t.slice, t.plane, t.x, t.y, t.blocksWide,
                                                 t.blocksHigh, t.offset, t.size}),
                          (std::vector<uint64_t>{planes[plane], slice, plane, slice % 2 * 8, slice / 2 * 4, 2,
                                                 1, offset, 2u * blockBytes(planes[plane])}));
            }
            EXPECT_EQ(sliceBytes, offset);
            const auto whole = reader.textureLayout(0, ORV_TEXTURES_WHOLE_FRAME, &wholeBytes);
            EXPECT_EQ(
                std::tuple(whole.size(), whole.back().blocksWide, whole.back().blocksHigh,
                           whole.back().offset, wholeBytes),
                std::tuple(planes.size(), 3u, 2u, planes.size() == 2 ? 6u * 16 : 0u, clip.whole(0).size()));
            for (int k = 0; k < 2; ++k) {
                EXPECT_EQ(reader.record(0, k), clip.record(k));
                Bytes stored;
                for (const Bytes& texture : clip.blocks[k]) append(stored, texture);
                EXPECT_EQ(reader.textures(0, k, ORV_TEXTURES_PER_SLICE), stored);
                EXPECT_EQ(reader.textures(0, k, ORV_TEXTURES_WHOLE_FRAME), clip.whole(k));
                // Frame 0 as BGRA bottom-up, frame 1 as RGBA top-down, with 12
                // bytes between rows that stay untouched. The vector decoders'
                // groups of blocks are checked on long rows in test_dxt_simd.
                const Bytes expected = scalarPicture(clip.whole(k), format, 10, 7);
                Bytes padded(52 * 6 + 40, 0xEE);
                ASSERT_EQ(orvReaderDecodeFrame(reader.handle, 0, k,
                                               k == 0 ? ORV_SRC_PIX_FMT_BGRA32 : ORV_SRC_PIX_FMT_RGBA32,
                                               1 - k, padded.data(), 52, padded.size()),
                          ORV_ERR_NONE)
                    << reader.message();
                for (size_t i = 0; i < padded.size(); ++i) {
                    const size_t y = k == 0 ? 6 - i / 52 : i / 52, x = i % 52 / 4, c = i % 4;
                    ASSERT_EQ(padded[i],
                              x < 10 ? expected[(y * 10 + x) * 4 + (c == 3 || k == 1 ? c : 2 - c)] : 0xEE)
                        << x << "," << y << " channel " << c;
                }
            }
            EXPECT_EQ(reader.problems(), std::vector<std::string>{});
        }
}

// ---- Damage and bad calls ------------------------------------------------------------------

namespace {

using Call = std::function<OrvError_enum(OrvReader*)>;
const Call verify = nullptr;  // the expected text is one of the problems verification reports
const Call videoInfo = [](OrvReader* r) { OrvReaderVideoInfo_st i; return orvReaderGetVideoInfo(r, 0, &i); };
const Call audioInfo = [](OrvReader* r) { OrvReaderAudioInfo_st i; return orvReaderGetAudioInfo(r, 1, &i); };
Call texturesOf(uint32_t frame, uint64_t size = 1 << 16) {
    return [=](OrvReader* r) {
        Bytes b(size);
        return orvReaderReadTextures(r, 0, frame, ORV_TEXTURES_PER_SLICE, b.data(), size);
    };
}
Call pixelsOf(uint32_t frame, uint32_t pixFmt = ORV_SRC_PIX_FMT_RGBA32, size_t stride = 40,
              size_t size = 280) {
    return [=](OrvReader* r) {
        Bytes b(std::max<size_t>(size, 1));
        return orvReaderDecodeFrame(r, 0, frame, pixFmt, 0, b.data(), stride, size);
    };
}
std::function<void(Bytes&)> poked(uint64_t offset, int width, uint64_t value) {
    return [=](Bytes& b) { poke(b, offset, value, width); };
}
std::function<void(Bytes&)> oneFrame(const Bytes& hap) {
    return [hap](Bytes& b) { b = oneFrameFile(8, 4, 8, 4, {hap}); };
}

}  // namespace

TEST(Damage, EachDamageAndEachBadCallGivesItsCodeAndMessageOrItsProblem) {
    // Four frames of LZ4-coded BC1, and where each part lies.
    const Bytes base = referenceFile(Clip(ORV_PIX_FMT_DXT1, lz4Coded, 4));
    const uint64_t videoSize = slotAt(base, 0).size, audio = slotAt(base, 1).offset, wav = audio + 1,
                   end = base.size();
    const uint64_t index = 284 + 52 + readLE(base, 284 + 40, 8), offsets = index + 16;
    const uint64_t record0 = readLE(base, offsets, 8), record1 = readLE(base, offsets + 8, 8);
    const uint64_t recordSize = record1 - record0, slice1 = record1 + readLE(base, record1 + 10, 4);
    const std::string v = "video section in slot 0: offset ", a = "audio section in slot 1: offset ",
                      f1 = "video section in slot 0, frame 1: offset ", s1 = "offset " + to_string(slice1),
                      oneFrameSlice = "video section in slot 0, frame 0, slice 0: offset 350: ";
    const auto unchanged = [](Bytes&) {};
    const OrvError_enum unknown = ORV_ERR_UNKNOWN, openFile = ORV_ERR_OPEN_FILE,
                        tooSmall = ORV_ERR_INVALID_DIMENSIONS;
    const Bytes block = bc1Block(0xF800, 0xF800, 0);
    Bytes wrongPair = textureSection(bc1, none, block), mixed = textureSection(ycocg, none, Bytes(16));
    append(wrongPair, textureSection(bc4, none, block));
    append(mixed, textureSection(bc4, lz4Coded, block));
    const struct {
        std::function<void(Bytes&)> damage;
        Call call;
        OrvError_enum code;
        std::string expected;
    } cases[] = {
        // The file header and the section table, refused at the open.
        {[](Bytes& b) { b.resize(11); }, videoInfo, openFile,
         "not an ORV file: 11 bytes, shorter than the 12-byte file header"},
        {poked(3, 1, 'X'), videoInfo, openFile,
         "not an ORV file: offset 0: magic: expected \"ORVC\", found \"ORVX\""},
        {poked(4, 4, 2), videoInfo, openFile,
         "offset 4: version: expected 1, found 2; this reader knows only version 1"},
        {poked(8, 4, 17), videoInfo, openFile, "offset 8: slot count: expected 16, found 17"},
        {[](Bytes& b) { b.resize(200); }, videoInfo, openFile,
         "file of 200 bytes ends inside the section table, which ends at offset 284"},
        // Slots aliasing the video section would each be read whole.
        {[](Bytes& b) { std::copy_n(b.begin() + 12, 17, b.begin() + 29); }, videoInfo, openFile,
         "offset 284: the video section in slot 1 overlaps the video section in slot 0, which ends at offset " +
             to_string(audio)},
        {poked(12 + 17 * 5 + 1, 8, 0), verify, unknown,
         "slot 5: offset 97: unused slot (type 0) holds offset 0 and size 0, expected offset 0xFFFFFFFFFFFFFFFF and size 0"},
        {[](Bytes& b) {
             std::copy_n(b.begin() + 29, 17, b.begin() + 63), poke(b, 29, 0, 1), poke(b, 30, UINT64_MAX, 8),
                 poke(b, 38, 0, 8);
         },
         verify, unknown,
         "slot 3: offset 63: used slot after an unused one: used slots must be contiguous from slot 0"},
        {poked(29, 1, 5), verify, unknown,
         "slot 1: offset 29: section type: expected 2 (video) or 3 (audio), found 5"},
        {[](Bytes& b) { b.insert(b.end(), 3, 0); }, verify, unknown,
         "offset " + to_string(end) + ": 3 bytes follow the end of the last section"},
        {poked(21, 8, videoSize - 4), verify, unknown,
         "slot 1: offset " + to_string(audio) + ": section start: expected " + to_string(audio - 4) +
             " (the end of the video section in slot 0), found " + to_string(audio) +
             ", leaving a gap of 4 bytes"},
        {poked(30, 8, 100), verify, unknown,
         "audio section in slot 1: offset 100: section starts inside the file header and section table, which end at offset 284"},
        {[](Bytes& b) { b.pop_back(); }, audioInfo, unknown,
         a + to_string(audio) + ": section of " + to_string(end - audio) +
             " bytes reaches beyond the end of the file at offset " + to_string(end - 1)},
        // The video section's header and index.
        {poked(284, 2, 1), videoInfo, unknown, v + "284: codec: expected 0, found 1"},
        {poked(286, 2, 5), verify, unknown, v + "286: flags: expected 7, found 5"},
        {poked(288, 2, 0), videoInfo, unknown, v + "288: width: expected non-zero, found 0"},
        {[](Bytes& b) { poke(b, 292, 0, 8), poke(b, 300, 0, 8); }, verify, unknown,
         v + "292: time base 0/0: expected a numerator and a denominator from 1 to 9223372036854775807"},
        {poked(332, 4, 5), videoInfo, unknown,
         v + "332: frame count 5 needs a frame index of 100 bytes, the section holds 80 after its frame data"},
        {poked(324, 8, UINT64_MAX), videoInfo, unknown,
         v + "324: frame data of 18446744073709551615 bytes reaches beyond the section's " +
             to_string(videoSize) + " bytes"},
        {[](Bytes& b) {
             b = assemble({{2, Clip(ORV_PIX_FMT_DXT1, none, 1).section({0})}}),
             poke(b, 21, slotAt(b, 0).size + 4, 8), b.insert(b.end(), 4, 0);
         },
         verify, unknown,
         v + "284: section size in the table is 182, expected 52 + 106 bytes of frame data + 20 x 1 frames = 178"},
        {poked(offsets + 8, 8, index), texturesOf(1), unknown,
         "offset " + to_string(index) + ": frame 1 of " + to_string(recordSize) +
             " bytes lies outside the section's frame data, offsets 336 to " + to_string(index)},
        {poked(index, 4, recordSize + 1), verify, unknown,
         v + "324: frame data size is " + to_string(index - 336) + ", but the frame sizes add up to " +
             to_string(index - 336 + 1)},
        // Frame records. The first frame gives every frame's layout.
        {poked(record0 + 1, 1, 2), pixelsOf(0), unknown,
         "video section in slot 0: the layout of its frames is unknown: frame 0: offset " +
             to_string(record0) + ": frame record marker: expected 0x0300, found 0x0200"},
        {poked(record1, 1, 1), verify, unknown,
         f1 + to_string(record1) + ": frame record marker: expected 0x0300, found 0x0301"},
        {poked(record1 + 4, 2, 8), texturesOf(1), unknown,
         "offset " + to_string(record1 + 2) + ": frame size 10x8 differs from the section's 10x7"},
        {poked(record1 + 6, 2, 6), texturesOf(1), unknown,
         "offset " + to_string(record1 + 6) + ": slice size 6x4: expected non-zero multiples of 4"},
        // A record is checked as its textures would be, head and payloads.
        {poked(record1 + 6, 2, 12),
         [](OrvReader* r) { uint64_t size = 0; return orvReaderReadFrameRecord(r, 0, 1, nullptr, 0, &size); },
         unknown,
         "offset " + to_string(record1 + 6) + ": slice size 12x4 differs from the first frame's 8x4"},
        {poked(index + 4, 4, 20), pixelsOf(1), unknown,
         "offset " + to_string(record1 + 10) +
             ": slice directory of 4 slices needs 26 bytes of head, the record holds 20"},
        {poked(record1 + 10, 4, 30), texturesOf(1), unknown,
         "offset " + to_string(record1 + 10) +
             ": slice 0 offset: expected 26 (right after the directory), found 30"},
        // Hap sections.
        {poked(slice1 + 3, 1, 0xFC), texturesOf(1), unknown,
         "offset " + to_string(slice1 + 3) + ": Hap section type 0xFC: unknown texture format nibble 0x0C"},
        {poked(slice1 + 3, 1, 0xCB), texturesOf(1), unknown,
         "offset " + to_string(slice1 + 3) +
             ": Hap section type 0xCB: a chunked texture, which ORV files never hold"},
        {poked(slice1 + 3, 1, 0xF1), texturesOf(1), unknown,
         s1 + ": a BC4 alpha texture without its scaled YCoCg colour texture"},
        {poked(slice1 + 3, 1, 0xFE), verify, unknown,
         f1 + to_string(slice1) + ": slice 0: section types 0xFE, expected 0xFB as in the first frame"},
        {poked(slice1 + 4, 4, 17), verify, unknown,
         "video section in slot 0, frame 1, slice 0, texture 0: offset " + to_string(slice1 + 4) +
             ": LZ4 size prefix: expected 16 (the texture's size), found 17"},
        {oneFrame(hapSection(0xAB, block, true)), verify, unknown,
         oneFrameSlice + "long Hap section header for data the short form holds"},
        {oneFrame(hapSection(0x0D, textureSection(bc1, none, block))), verify, unknown,
         oneFrameSlice + "a multiple-image section holding a single texture"},
        {oneFrame(hapSection(0x0D, wrongPair)), verify, unknown,
         oneFrameSlice +
             "multiple-image section holds BC1 then BC4 alpha, expected scaled YCoCg BC3 then BC4 alpha"},
        {oneFrame(hapSection(0x0D, mixed)), verify, unknown,
         oneFrameSlice + "the two textures use different compressions (types 0xAF and 0xF1)"},
        {oneFrame(hapSection(0x0D, hapSection(0x0D, {}))), verify, unknown,
         "video section in slot 0, frame 0, slice 0: offset 354: multiple-image section nested inside a multiple-image section"},
        // The audio section's WAV header.
        {poked(wav + 8, 1, 'X'), audioInfo, unknown,
         a + to_string(wav + 8) + ": tag: expected \"WAVE\", found \"XAVE\""},
        {poked(wav + 34, 2, 8), audioInfo, unknown,
         a + to_string(wav + 20) + ": samples of format 1 with 8 bits: expected 16-bit PCM (format 1)"},
        {poked(wav + 22, 2, 1), verify, unknown,
         a + to_string(wav + 32) + ": block alignment: expected 2, found 4"},
        {poked(wav + 24, 4, 44100), verify, unknown,
         a + to_string(wav + 28) + ": byte rate: expected 176400, found 192000"},
        {poked(wav + 4, 4, 0), verify, unknown, a + to_string(wav + 4) + ": RIFF size: expected 52, found 0"},
        {poked(wav + 40, 4, 0), verify, unknown,
         a + to_string(wav + 40) + ": data size: expected 16 (the bytes after the WAV header), found 0"},
        {[=](Bytes& b) {
             b.pop_back(), poke(b, 21 + 17, slotAt(b, 1).size - 1, 8), poke(b, wav + 40, 15, 4);
         },
         verify, unknown,
         a + to_string(wav + 44) + ": 15 bytes of samples are not a whole number of 4-byte sample frames"},
        // Calls that name what is not there, or give too little room.
        {unchanged, texturesOf(4), unknown, "frame 4 of a video section of 4 frames"},
        {unchanged, [](OrvReader* r) { OrvReaderVideoInfo_st i; return orvReaderGetVideoInfo(r, 1, &i); },
         ORV_ERR_UNKNOWN_STREAM, "section 1 is the audio section in slot 1, not a video section"},
        {unchanged, [](OrvReader* r) { OrvReaderSection_st s; return orvReaderGetSection(r, 2, &s); },
         ORV_ERR_UNKNOWN_STREAM, "section 2 of a file of 2 sections"},
        {unchanged, pixelsOf(0, ORV_SRC_PIX_FMT_RGB24), ORV_ERR_UNKNOWN_PIXEL_FORMAT,
         "pixel format 0: the reader writes RGBA32 (1) or BGRA32 (3)"},
        {unchanged, pixelsOf(0, ORV_SRC_PIX_FMT_RGBA32, 39), tooSmall,
         "stride 39 is smaller than a row of 10 pixels"},
        {unchanged, pixelsOf(0, ORV_SRC_PIX_FMT_RGBA32, SIZE_MAX / 4), tooSmall,
         "stride 4611686018427387903 makes a picture larger than any buffer"},
        {unchanged, pixelsOf(0, ORV_SRC_PIX_FMT_RGBA32, 40, 279), tooSmall,
         "buffer of 279 bytes is smaller than the 280 bytes of a picture"},
        {unchanged,
         [=](OrvReader* r) {
             Bytes b(recordSize - 1);
             uint64_t n = 0;
             return orvReaderReadFrameRecord(r, 0, 1, b.data(), b.size(), &n);
         },
         tooSmall, "buffer of " + to_string(recordSize - 1) + " bytes is smaller than the " +
                       to_string(recordSize) + " bytes of frame 1's record"},
        {unchanged, [](OrvReader* r) { return orvReaderReadFrameRecord(r, 0, 0, nullptr, 0, nullptr); },
         unknown, "recordSize is NULL"},
        {unchanged, texturesOf(0, 63), tooSmall,
         "buffer of 63 bytes is smaller than the 64 bytes of a frame's textures"},
        {unchanged, [](OrvReader* r) { uint32_t k; return orvReaderFindFrame(r, 0, 9, &k); }, unknown,
         "no frame at or before time 9"},
        {unchanged, [](OrvReader* r) { int16_t s[4]; return orvReaderReadAudio(r, 1, 3, 2, s); }, unknown,
         "sample frames 3 to 5 lie outside the section's 4"},
        {unchanged, [](OrvReader* r) { return orvReaderReadAudioFloat(r, 1, 0, 1, nullptr); }, unknown,
         "samples is NULL"},
        {unchanged,
         [](OrvReader* r) {
             uint32_t n;
             uint64_t b;
             return orvReaderGetTextureLayout(r, 0, 2, nullptr, 0, &n, &b);
         },
         unknown, "unknown texture layout 2"},
    };
    EXPECT_EQ(problemsOf(base), std::vector<std::string>{});
    for (const auto& c : cases) {
        Bytes bytes = base;
        c.damage(bytes);
        const ImageReader reader(bytes);
        if (c.call == nullptr) {
            ASSERT_EQ(reader.code, ORV_ERR_NONE) << reader.openMessage;
            const std::vector<std::string> problems = reader.problems();
            EXPECT_NE(std::find(problems.begin(), problems.end(), c.expected), problems.end())
                << "expected\n  " << c.expected << "\nfound\n  " << ::testing::PrintToString(problems);
            continue;
        }
        const OrvError_enum code = reader.code != ORV_ERR_NONE ? reader.code : c.call(reader.handle);
        EXPECT_EQ(std::pair(code, reader.code != ORV_ERR_NONE ? reader.openMessage : reader.message()),
                  std::pair(c.code, c.expected));
    }
    char message[8] = "x";
    OrvReader* reader = nullptr;
    EXPECT_EQ(orvReaderOpen("/dev/zero", &reader, message, sizeof message), ORV_ERR_OPEN_FILE);
    EXPECT_EQ(std::string(message), "/dev/ze");  // cut to fit, NUL-ended
    EXPECT_EQ(reader, nullptr);
    EXPECT_EQ(Reader("/nonexistent/file.orv").openMessage,
              "cannot open /nonexistent/file.orv: No such file or directory");
    EXPECT_EQ(orvReaderOpen(nullptr, &reader, nullptr, 0), ORV_ERR_UNKNOWN);
    EXPECT_EQ(orvReaderClose(nullptr), ORV_ERR_NONE);
}

// ---- Hostile files --------------------------------------------------------------------------

TEST(Hostile, AnIndexPointingAgainAndAgainAtAHugeClaimIsRefusedBeforeAllocationAndCheckedOnce) {
    // One 4096 x 4096 BC3 frame (16 MiB of blocks) whose LZ4 block of a few
    // bytes claims all of them, and 2000 index entries that all point at it.
    Bytes payload;
    putLE(payload, 4096u * 4096, 4);
    append(payload, {0x1F, 0, 1, 0, 0});
    const Bytes record = frameRecord(4096, 4096, 4096, 4096, {hapSection(0xFE, payload)});
    Bytes section = videoHeaderBytes(4096, 4096, record.size(), 2000);
    append(section, record);
    for (const auto& [value, width] : {std::pair{record.size(), 4}, std::pair{size_t{284 + 52}, 8}})
        for (int k = 0; k < 2000; ++k) putLE(section, value, width);
    for (int k = 0; k < 2000; ++k) putLE(section, k, 8);
    const ImageReader reader(assemble({{2, section}}));
    const std::vector<std::string> problems = reader.problems();
    const auto claim = [](const std::string& p) {
        return p.find("LZ4 block of 5 bytes cannot expand to 16777216 bytes") != p.npos;
    };
    EXPECT_EQ(std::count_if(problems.begin(), problems.end(), claim), 1);
    EXPECT_EQ(problems.size(), 1999u + 2);  // 1999 offsets, the frame data size, the record
    // Exactly 16 MiB of stored blocks: the smallest section that needs the long header.
    EXPECT_EQ(problemsOf(oneFrameFile(4096, 4096, 4096, 4096,
                                      {textureSection(bc3, none, Bytes(size_t{1} << 24, 0))})),
              std::vector<std::string>{});
}

// ---- Threads ----------------------------------------------------------------------------------

TEST(Threads, OneHandleServesFourThreadsAtOnceEachWithItsOwnFailureText) {
    // Each thread decodes every frame, starting at its own, while the others
    // do the same, and must see what one thread saw alone. Each also fails
    // once with a text of its own, which no other thread sees.
    const ImageReader reader(
        assemble({{2, Clip(ORV_PIX_FMT_YCOCG_DXT5_ALPHA, lz4Coded, 8).section({0, 1, 2, 3, 4, 5, 6, 7})}}));
    std::vector<Bytes> pictures;
    for (uint32_t k = 0; k < 8; ++k) pictures.push_back(reader.pixels(0, k));
    int mismatches[4] = {};
    std::string messages[4];
    std::vector<std::thread> threads;
    for (uint32_t t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            Bytes picture(10 * 7 * 4);
            int64_t pts;
            for (uint32_t round = 0; round < 8 * 8; ++round) {
                mismatches[t] +=
                    orvReaderDecodeFrame(reader.handle, 0, (t + round) % 8, ORV_SRC_PIX_FMT_RGBA32, 0,
                                         picture.data(), 40, picture.size()) != ORV_ERR_NONE ||
                    picture != pictures[(t + round) % 8];
                if (round == 8 * t) orvReaderGetFramePts(reader.handle, 0, 100 + t, &pts);
            }
            messages[t] = orvReaderGetErrorMessage(reader.handle);
        });
    for (std::thread& thread : threads) thread.join();
    for (uint32_t t = 0; t < 4; ++t)
        EXPECT_EQ(std::pair(mismatches[t], messages[t]),
                  std::pair(0, "frame " + to_string(100 + t) + " of a video section of 8 frames"));
    EXPECT_EQ(reader.message(), "");  // the main thread never failed
}

// ---- Damage anywhere ----------------------------------------------------------------------

TEST(Robustness,
     EveryByteFlippedOrCutIsReadSafelyFlipsOfConstrainedBytesAreNoticedAndWhatVerifiesReadsWhole) {
    // Whatever the damage, the file reads as the fuzz target reads it: a file
    // that verifies reads and decodes whole, any other read either succeeds
    // or refuses (the sanitizer builds catch the rest). In uncompressed BC1,
    // where any block is a valid one, the bytes left free are the time base
    // and frame rate, the pts, the blocks and the samples: a flip of any
    // other byte must be noticed.
    const Bytes bases[] = {referenceFile(Clip(ORV_PIX_FMT_DXT1, none, 2)),
                           referenceFile(Clip(ORV_PIX_FMT_YCOCG_DXT5_ALPHA, lz4Coded, 2))};
    for (const Bytes& base : bases) {
        const uint64_t index = 284 + 52 + readLE(base, 284 + 40, 8), wav = slotAt(base, 1).offset + 1;
        std::vector<bool> free(base.size(), &base != &bases[0]);  // only the plain file's bytes are free
        const auto freeRange = [&free](uint64_t from, uint64_t to) {
            std::fill(free.begin() + from, free.begin() + to, true);
        };
        freeRange(284 + 8, 284 + 40), freeRange(index + 24, index + 40), freeRange(wav + 44, base.size());
        for (const uint64_t record : {readLE(base, index + 8, 8), readLE(base, index + 16, 8)})
            for (int i = 0; i < 4; ++i) freeRange(record + 30 + 20 * i, record + 46 + 20 * i);
        for (size_t at = 0; at < base.size() * 2; ++at) {
            Bytes bytes = base;
            if (at < base.size()) bytes[at] ^= 0xFF;
            else bytes.resize(at - base.size());
            const ImageReader reader(bytes);
            if (reader.code != ORV_ERR_NONE) continue;  // refused outright
            EXPECT_TRUE(!reader.problems().empty() || at >= base.size() || free[at])
                << "a flip at offset " << at << " went unnoticed";
            EXPECT_EQ(orvfuzz::readMutatedFile(bytes), "")
                << (at < base.size() ? "flip at " : "cut to ") << at % base.size();
        }
    }
}
