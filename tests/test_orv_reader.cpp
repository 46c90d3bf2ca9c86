// The ORV reader against files assembled byte by byte here, independently of
// the encoder: exact parsing, decoding and slice assembly, one precise
// problem per kind of corruption, and no crash on truncated or damaged
// files.
#include <gtest/gtest.h>
#include <lz4.h>
#include <snappy.h>

#include <algorithm>
#include <array>
#include <fstream>
#include <functional>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "brindle.hpp"
#include "orv_reader.hpp"
#include "test_support.hpp"

using orvread::OrvFile;
using orvread::ReadError;
using orvtest::append;
using orvtest::Bytes;
using orvtest::putLE;
using std::to_string;
using namespace orvtest;

namespace {

using Rgba = std::array<uint8_t, 4>;
constexpr Rgba red = {255, 0, 0, 255}, green = {0, 255, 0, 255}, blue = {0, 0, 255, 255},
               white = {255, 255, 255, 255};
// Entries 0..3 of the palette of colour 0 = pure red, colour 1 = pure blue.
constexpr Rgba redBluePalette[4] = {red, blue, {170, 0, 85, 255}, {85, 0, 170, 255}};

// One 4x4 slice: a solid 5:6:5 colour, or the red/blue palette in columns 0..3.
struct SliceContent {
    bool pattern;
    uint16_t packed;
    Rgba solid;

    Bytes block() const {
        return pattern ? bc1Block(0xF800, 0x001F, 0xE4E4E4E4) : bc1Block(packed, packed, 0);
    }
    Rgba pixel(uint32_t x) const { return pattern ? redBluePalette[x % 4] : solid; }
};
constexpr SliceContent pattern = {true, 0, {}}, solidRed = {false, 0xF800, red},
                       solidGreen = {false, 0x07E0, green}, solidBlue = {false, 0x001F, blue},
                       solidWhite = {false, 0xFFFF, white};

// A 6x6 video cut into a 2x2 grid of 4x4 slices (the right column and the
// bottom row hang 2 pixels past the picture), two BC1 frames, followed by a
// stereo audio section.
const std::vector<SliceContent> frame0Slices = {solidRed, solidGreen, solidBlue, pattern};
const std::vector<SliceContent> frame1Slices = {pattern, solidRed, solidWhite, solidBlue};
const std::vector<int16_t> stereoSamples = {0, -1, 32767, -32768, 1234, -4321};

Bytes bc1Record(const std::vector<SliceContent>& slices, uint32_t compression) {
    std::vector<Bytes> haps;
    for (const SliceContent& slice : slices)
        haps.push_back(textureSection(bc1, compression, slice.block()));
    return frameRecord(6, 6, 4, 4, haps);
}

struct Reference {
    Bytes bytes;
    uint64_t videoAt = 284, videoSize, audioAt, audioSize, indexAt;
    uint64_t frameAt[2], frameSize[2];

    uint64_t wavAt() const { return audioAt + 1; }
    uint64_t sliceAt(int frame, int slice) const {
        return frameAt[frame] + orvtest::readLE(bytes, frameAt[frame] + 10 + 4 * slice, 4);
    }
};

Reference makeReference(uint32_t compression = lz4Coded) {
    const Bytes records[] = {bc1Record(frame0Slices, compression),
                             bc1Record(frame1Slices, compression)};
    const Bytes video = videoSection({records[0], records[1]}, {-5, 3003});
    const Bytes audio = audioSection(2, 48000, stereoSamples);
    Reference ref;
    ref.bytes = assemble({{2, video}, {3, audio}});
    ref.videoSize = video.size();
    ref.audioAt = 284 + video.size();
    ref.audioSize = audio.size();
    ref.frameAt[0] = 284 + 52;
    ref.frameSize[0] = records[0].size();
    ref.frameAt[1] = ref.frameAt[0] + ref.frameSize[0];
    ref.frameSize[1] = records[1].size();
    ref.indexAt = ref.frameAt[1] + ref.frameSize[1];
    return ref;
}

Rgba pixelAt(const Bytes& picture, uint32_t width, uint32_t x, uint32_t y) {
    const size_t at = (size_t{y} * width + x) * 4;
    return {picture[at], picture[at + 1], picture[at + 2], picture[at + 3]};
}

std::string joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += line + "\n";
    return text;
}

bool mentions(const std::vector<std::string>& problems, const std::string& text) {
    return std::any_of(problems.begin(), problems.end(), [&](const std::string& problem) {
        return problem.find(text) != std::string::npos;
    });
}

// The message of the ReadError that `call` raises, empty if none.
template <typename Call>
std::string readErrorOf(Call&& call) {
    try {
        call();
    } catch (const ReadError& error) {
        return error.what();
    }
    return "";
}

// Everything a reader of untrusted bytes can be asked to do. Only ReadError
// may come out; returns whether one did.
bool readsFail(const Bytes& bytes) {
    try {
        OrvFile file(bytes);
        for (size_t i = 0; i < file.videoCount(); ++i) {
            const auto& section = file.video(i);
            for (uint32_t k = 0; k < section.frameCount; ++k) {
                file.readFrame(section, k);
                file.decodeFrame(section, k);
            }
        }
        for (size_t i = 0; i < file.audioCount(); ++i) file.readSamples(file.audio(i));
    } catch (const ReadError&) {
        return true;
    }
    return false;
}

}  // namespace

TEST(Parsing, HeaderTableAndSectionsReadExactlyAsWritten) {
    const Reference ref = makeReference();
    const OrvFile file(ref.bytes);
    EXPECT_EQ(std::pair(file.version(), file.slotCount()), std::pair(1u, 16u));
    ASSERT_EQ(file.sections().size(), 2u);
    const auto& s = file.sections();
    EXPECT_EQ(std::tuple(s[0].slot, s[0].type, s[0].offset, s[0].size),
              std::tuple(0u, uint8_t{2}, uint64_t{284}, ref.videoSize));
    EXPECT_EQ(std::tuple(s[1].slot, s[1].type, s[1].offset, s[1].size),
              std::tuple(1u, uint8_t{3}, ref.audioAt, ref.audioSize));

    ASSERT_EQ(file.videoCount(), 1u);
    const orvread::VideoSection& v = file.video(0);
    // Distinct values, so that fields read from the wrong place show.
    EXPECT_EQ(std::tuple(v.offset, v.codec, v.flags, v.width, v.height),
              std::tuple(uint64_t{284}, uint16_t{0}, uint16_t{7}, uint16_t{6}, uint16_t{6}));
    EXPECT_EQ(std::tuple(v.timebaseDen, v.timebaseNum, v.fpsDen, v.fpsNum),
              std::tuple(uint64_t{90000}, uint64_t{1}, uint64_t{1001}, uint64_t{30000}));
    EXPECT_EQ(std::pair(v.frameDataSize, v.frameCount),
              std::pair(ref.frameSize[0] + ref.frameSize[1], 2u));
    EXPECT_EQ(v.frameSizes, (std::vector<uint32_t>{uint32_t(ref.frameSize[0]),
                                                   uint32_t(ref.frameSize[1])}));
    EXPECT_EQ(v.frameOffsets, (std::vector<uint64_t>{336, 336 + ref.frameSize[0]}));
    EXPECT_EQ(v.framePts, (std::vector<uint64_t>{static_cast<uint64_t>(-5), 3003}));

    ASSERT_EQ(file.audioCount(), 1u);
    const orvread::AudioSection& a = file.audio(0);
    EXPECT_EQ(std::tuple(a.codec, a.format, a.channels, a.sampleRate, a.byteRate, a.blockAlign,
                         a.bitsPerSample, a.dataSize, a.riffSize, a.dataOffset),
              std::tuple(uint8_t{0}, uint16_t{1}, uint16_t{2}, 48000u, 192000u, uint16_t{4},
                         uint16_t{16}, 12u, 48u, ref.audioAt + 45));
    EXPECT_EQ(file.readSamples(a), stereoSamples);
    EXPECT_THROW(file.video(1), std::out_of_range);
    EXPECT_THROW(file.readFrame(v, 2), std::out_of_range);
}

// For every coder: the structure of frame 0, the pictures of both frames
// (the grid assembled, the padding cropped) and a clean verification.
TEST(Parsing, FrameRecordsGiveGridDirectoryPayloadsAndPictures) {
    for (uint32_t compression : everyCoder) {
        SCOPED_TRACE(compression);
        const Reference ref = makeReference(compression);
        const OrvFile file(ref.bytes);
        const orvread::FrameRecord frame = file.readFrame(file.video(0), 0);
        EXPECT_EQ(std::tuple(frame.offset, frame.size, frame.width, frame.height,
                             frame.sliceWidth, frame.sliceHeight, frame.numColumns, frame.numRows),
                  std::tuple(uint64_t{336}, ref.frameSize[0], uint16_t{6}, uint16_t{6},
                             uint16_t{4}, uint16_t{4}, 2u, 2u));
        std::vector<uint32_t> offsets = {26};
        for (size_t s = 0; s + 1 < 4; ++s)
            offsets.push_back(offsets.back() + 4 +
                              compressed(compression, frame0Slices[s].block()).size());
        EXPECT_EQ(frame.sliceOffsets, offsets);
        ASSERT_EQ(frame.slices.size(), 4u);
        for (size_t s = 0; s < 4; ++s) {
            const orvread::SliceFrame& slice = frame.slices[s];
            EXPECT_EQ(slice.offset, 336 + frame.sliceOffsets[s]);
            EXPECT_FALSE(slice.multipleImages);
            ASSERT_EQ(slice.textures.size(), 1u);
            const orvread::HapTexture& t = slice.textures[0];
            EXPECT_EQ(std::tuple(t.offset, t.headerSize, t.type, t.texFormat, t.compression),
                      std::tuple(slice.offset, uint8_t{4}, typeByte(bc1, compression),
                                 uint32_t{bc1}, compression));
            EXPECT_EQ(t.payload, compressed(compression, frame0Slices[s].block()));
            EXPECT_EQ(orvread::decompress(t, 8), frame0Slices[s].block());
        }
        for (uint32_t k = 0; k < 2; ++k) {
            const std::vector<SliceContent>& contents = k == 0 ? frame0Slices : frame1Slices;
            const Bytes picture = file.decodeFrame(file.video(0), k);
            ASSERT_EQ(picture.size(), 6u * 6 * 4);
            for (uint32_t y = 0; y < 6; ++y)
                for (uint32_t x = 0; x < 6; ++x)
                    EXPECT_EQ(pixelAt(picture, 6, x, y), contents[(y / 4) * 2 + x / 4].pixel(x))
                        << "frame " << k << " at " << x << "," << y;
        }
        EXPECT_TRUE(file.verify().empty()) << joined(file.verify());
    }
}

TEST(Parsing, MultipleImageSectionYieldsYCoCgThenAlphaWhichGivesThePictureItsAlpha) {
    // Any YCoCg block; BC4 with both endpoints 0x40 and all indices 0. The
    // 3-pixel-wide picture crops its one slice.
    const Bytes ycocgBlock = {0x80, 0x80, 0, 0, 0, 0, 0, 0, 0x00, 0x84, 0x00, 0x84, 0, 0, 0, 0};
    const Bytes alphaBlock = {0x40, 0x40, 0, 0, 0, 0, 0, 0};
    uint8_t colour[64];
    brindle::decodeBC3YCOGR(ycocgBlock.data(), colour);
    for (uint32_t compression : everyCoder) {
        SCOPED_TRACE(compression);
        const OrvFile file(
            oneFrameFile(3, 4, 4, 4, {alphaHapFrame(compression, ycocgBlock, alphaBlock)}));
        const orvread::FrameRecord frame = file.readFrame(file.video(0), 0);
        ASSERT_EQ(frame.slices.size(), 1u);
        const orvread::SliceFrame& slice = frame.slices[0];
        EXPECT_TRUE(slice.multipleImages);
        EXPECT_EQ(slice.offset, 336u + 14);
        ASSERT_EQ(slice.textures.size(), 2u);
        const orvread::HapTexture &colourPlane = slice.textures[0], &alphaPlane = slice.textures[1];
        EXPECT_EQ(std::pair(colourPlane.type, colourPlane.offset),
                  std::pair(typeByte(ycocg, compression), slice.offset + 4));
        EXPECT_EQ(std::pair(alphaPlane.type, alphaPlane.offset),
                  std::pair(typeByte(bc4, compression),
                            colourPlane.offset + 4 + colourPlane.payload.size()));
        EXPECT_EQ(orvread::decompress(colourPlane, 16), ycocgBlock);
        EXPECT_EQ(orvread::decompress(alphaPlane, 8), alphaBlock);
        EXPECT_EQ(orvread::sliceShapeProblem(slice), "");
        EXPECT_TRUE(file.verify().empty()) << joined(file.verify());

        const Bytes picture = file.decodeFrame(file.video(0), 0);
        ASSERT_EQ(picture.size(), 3u * 4 * 4);
        for (uint32_t y = 0; y < 4; ++y)
            for (uint32_t x = 0; x < 3; ++x) {
                const uint8_t* expected = colour + (y * 4 + x) * 4;
                EXPECT_EQ(pixelAt(picture, 3, x, y),
                          (Rgba{expected[0], expected[1], expected[2], 0x40}))
                    << x << "," << y;
            }
    }
}

TEST(Parsing, LongSectionHeaderCarriesLengthsBeyondTwentyFourBits) {
    // A 4096x4096 BC3 texture is 0x1000000 bytes, one more than the short
    // header holds.
    const Bytes bytes =
        oneFrameFile(4096, 4096, 4096, 4096, {textureSection(bc3, none, Bytes(0x1000000, 0x5A))});
    const OrvFile file(bytes);
    const orvread::FrameRecord frame = file.readFrame(file.video(0), 0);
    ASSERT_EQ(frame.slices.size(), 1u);
    EXPECT_EQ(frame.slices[0].textures[0].headerSize, 8);
    EXPECT_EQ(frame.slices[0].textures[0].payload.size(), 0x1000000u);
    EXPECT_TRUE(file.verify().empty()) << joined(file.verify());
}

TEST(Parsing, EmptySessionAndEmptyVideoStreamAreValid) {
    const OrvFile empty(assemble({}));
    EXPECT_EQ(empty.bytes().size(), 284u);
    EXPECT_TRUE(empty.sections().empty());
    EXPECT_TRUE(empty.verify().empty()) << joined(empty.verify());
    const OrvFile noFrames(assemble({{2, videoSection({}, {})}}));
    EXPECT_EQ(noFrames.video(0).size, 52u);
    EXPECT_EQ(noFrames.video(0).frameCount, 0u);
    EXPECT_TRUE(noFrames.verify().empty()) << joined(noFrames.verify());
}

TEST(Parsing, OpensFilesFromDiskAndRefusesWhatItCannotRead) {
    const Reference ref = makeReference();
    const orvtest::TempDir dir;
    const std::string path = dir.path("file.orv");
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(ref.bytes.data()),
               static_cast<std::streamsize>(ref.bytes.size()));
    const OrvFile file = OrvFile::open(path);
    EXPECT_EQ(file.bytes(), ref.bytes);
    EXPECT_EQ(file.video(0).frameCount, 2u);
    std::filesystem::remove(path);
    EXPECT_EQ(readErrorOf([&] { OrvFile::open(path); }),
              "cannot open " + path + ": No such file or directory");

    Bytes badMagic = ref.bytes, version2 = ref.bytes, truncated = ref.bytes;
    badMagic[3] = 'X';
    EXPECT_EQ(readErrorOf([&] { OrvFile{badMagic}; }),
              "offset 0: magic: expected \"ORVC\", found \"ORVX\"");
    poke(version2, 4, 2, 4);
    EXPECT_THROW(OrvFile{version2}, ReadError);
    truncated.pop_back();
    EXPECT_EQ(readErrorOf([&] { OrvFile{truncated}; }),
              "audio section in slot 1: offset " + to_string(ref.audioAt) + ": section of " +
                  to_string(ref.audioSize) +
                  " bytes reaches beyond the end of the file at offset " +
                  to_string(truncated.size()));
}

TEST(Decoding, TextureBlocksLandInTheirOwnColumnsAndSizesAreChecked) {
    // The pixels within a block show in the decoded frames below.
    Bytes twoBlocks = bc1Block(0xF800, 0xF800, 0xAAAAAAAA);
    append(twoBlocks, bc1Block(0x001F, 0x001F, 0));
    const Bytes wide = orvread::decodeTexture(twoBlocks, bc1, 8, 4);
    ASSERT_EQ(wide.size(), 128u);
    for (uint32_t y = 0; y < 4; ++y)
        for (uint32_t x = 0; x < 8; ++x)
            EXPECT_EQ(pixelAt(wide, 8, x, y), x < 4 ? red : blue) << x << "," << y;

    EXPECT_EQ(orvread::textureSize(bc1, 1920, 1080), 1036800u);
    EXPECT_EQ(orvread::textureSize(ycocg, 1920, 1080), 2073600u);
    EXPECT_EQ(orvread::textureSize(bc4, 6, 6), 8u);
    EXPECT_EQ(orvread::textureSize(bc3, 3, 100), 0u);
    // No 32-bit wrap: 65532 x 65532 BC3 is just over 4 GiB.
    EXPECT_EQ(orvread::textureSize(bc3, 65532, 65532), 16383ull * 16383 * 16);
    EXPECT_THROW(orvread::textureSize(4, 4, 4), ReadError);
    EXPECT_THROW(orvread::decodeTexture(Bytes(8), bc1, 6, 4), ReadError);
    EXPECT_THROW(orvread::decodeTexture(Bytes(7), bc1, 4, 4), ReadError);
    EXPECT_THROW(orvread::decodeTexture(Bytes(8), 7, 4, 4), ReadError);
}

TEST(Decoding, FrameWhoseSizeDiffersFromItsSectionIsRefused) {
    Reference ref = makeReference();
    poke(ref.bytes, ref.frameAt[1] + 2, 5, 2);
    const OrvFile file(ref.bytes);
    EXPECT_NO_THROW(file.decodeFrame(file.video(0), 0));
    EXPECT_THROW(file.decodeFrame(file.video(0), 1), ReadError);
}

TEST(Decompression, EachCoderMustGiveExactlyTheTextureSize) {
    const Bytes blocks = bc1Block(0xF800, 0x001F, 0xE4E4E4E4);
    auto texture = [](uint32_t compression, Bytes payload) {
        return orvread::HapTexture{.offset = 1000, .headerSize = 4,
                                   .type = typeByte(bc1, compression), .compression = compression,
                                   .payload = std::move(payload)};
    };
    Bytes truncatedBlock = lz4Payload(blocks, 8);
    truncatedBlock.pop_back();
    const struct {
        uint32_t compression;
        Bytes payload;
        uint64_t expected;
        std::string message;
    } cases[] = {
        {none, Bytes(7), 8, "uncompressed texture holds 7 bytes, expected 8"},
        {snappyCoded, compressed(snappyCoded, Bytes(16)), 8,
         "snappy payload decompresses to 16 bytes, expected 8"},
        {snappyCoded, {0x08, 0xFF, 0xFF}, 8, "snappy payload is corrupt"},
        {lz4Coded, lz4Payload(blocks, 16), 8,
         "LZ4 size prefix: expected 8 (the texture's size), found 16"},
        // A valid LZ4 block of 7 bytes behind a prefix that promises 8.
        {lz4Coded, lz4Payload(Bytes(7, 1), 8), 8, "LZ4 block decompresses to 7 bytes, expected 8"},
        {lz4Coded, {8, 0, 0}, 8, "LZ4 payload of 3 bytes is shorter than its 4-byte size prefix"},
        {lz4Coded, truncatedBlock, 8,
         "LZ4 block is corrupt or expands beyond the texture's 8 bytes"},
        // A claim no LZ4 block of this size can meet is refused before
        // anything of the claimed size is allocated.
        {lz4Coded, lz4Payload(blocks, 0x7FFFFFFF), 0x7FFFFFFF,
         "LZ4 block of 9 bytes cannot expand to 2147483647 bytes"},
        {lz4Coded, lz4Payload(blocks, 0xFFFFFFFF), 0xFFFFFFFF,
         "LZ4 block of 9 bytes for 4294967295 bytes is beyond what one LZ4 block can hold"},
    };
    for (const auto& c : cases) {
        const orvread::HapTexture t = texture(c.compression, c.payload);
        EXPECT_EQ(readErrorOf([&] { orvread::decompress(t, c.expected); }),
                  "offset 1004: " + c.message);
    }
    for (uint32_t compression : everyCoder)
        EXPECT_EQ(orvread::decompress(texture(compression, compressed(compression, blocks)), 8),
                  blocks);
}

TEST(Verification, ValidFilesHaveNoProblemWhateverTheSlotOrder) {
    // Sections are placed in the order streams begin and slots are filled in
    // the order they end: the audio section may take slot 0 although the
    // video section comes first in the file.
    Reference ref = makeReference();
    std::swap_ranges(ref.bytes.begin() + 12, ref.bytes.begin() + 29, ref.bytes.begin() + 29);
    EXPECT_TRUE(orvread::verify(ref.bytes).empty()) << joined(orvread::verify(ref.bytes));
    const OrvFile file(ref.bytes);
    EXPECT_EQ(file.sections()[0].type, 3);
    EXPECT_EQ(file.video(0).slot, 1u);
}

TEST(Verification, EachCorruptionIsReportedPrecisely) {
    const Reference base = makeReference();
    const uint64_t frame0Index = base.indexAt;  // frameSizes[0]
    const uint64_t frame1OffsetAt = base.indexAt + 8 + 8;
    const uint64_t slice0At = base.sliceAt(0, 0), slice2At = base.sliceAt(0, 2);
    const uint64_t wav = base.wavAt(), audioAt = base.audioAt, end = base.bytes.size();
    const uint64_t frameData = base.frameSize[0] + base.frameSize[1];
    const std::string video = "video section in slot 0: offset ";
    const std::string frame0 = "video section in slot 0, frame 0: offset ";
    const std::string audio = "audio section in slot 1: offset ";
    const auto at = [](uint64_t offset, int width, uint64_t value) {
        return [=](Reference& r) { poke(r.bytes, offset, value, width); };
    };
    // One row per kind of check. Which fields each check covers is left to
    // the byte flips below, which must all be noticed: rows that would only
    // repeat a check on another field (such as the other fixed header
    // values) are not listed. Where a count is given, problems must not
    // cascade from a value that does not change the layout.
    const struct {
        std::function<void(Reference&)> apply;
        std::string expected;  // one of the problems must contain this text
        size_t count = 0;      // how many problems there are, when not 0
        std::vector<std::string> absent = {};  // texts no problem may contain
    } corruptions[] = {
        {at(3, 1, 'X'), "offset 0: magic: expected \"ORVC\", found \"ORVX\"", 1},
        {at(4, 4, 2), "offset 4: version: expected 1, found 2"},
        {at(12 + 17 * 5 + 1, 8, 0),
         "slot 5: offset 97: unused slot (type 0) holds offset 0 and size 0, expected offset "
         "0xFFFFFFFFFFFFFFFF and size 0"},
        {[](Reference& r) {
             std::copy_n(r.bytes.begin() + 29, 17, r.bytes.begin() + 63);
             poke(r.bytes, 29, 0, 1);
             poke(r.bytes, 30, UINT64_MAX, 8);
             poke(r.bytes, 38, 0, 8);
         },
         "slot 3: offset 63: used slot after an unused one"},
        {at(29, 1, 5), "slot 1: offset 29: section type: expected 2 (video) or 3 (audio), found 5"},
        {[](Reference& r) { r.bytes.pop_back(); },
         "file ends at offset " + to_string(end - 1) +
             ", before the end of the last section at offset " + to_string(end)},
        {[](Reference& r) { r.bytes.insert(r.bytes.end(), 3, 0); },
         "offset " + to_string(end) + ": 3 bytes follow the end of the last section"},
        {[](Reference& r) {
             poke(r.bytes, 30, r.audioAt - 2, 8);
             poke(r.bytes, 38, r.audioSize + 2, 8);
         },
         "slot 1: offset " + to_string(audioAt - 2) +
             ": section overlaps the section of slot 0, which ends at offset " +
             to_string(audioAt)},
        // A section nested inside another overlaps it; it does not end early.
        {[](Reference& r) {
             poke(r.bytes, 30, r.videoAt + 52, 8);
             poke(r.bytes, 38, 45, 8);
             r.bytes.resize(r.audioAt);
         },
         "slot 1: offset 336: section overlaps the section of slot 0, which ends at offset " +
             to_string(audioAt),
         0, {"follow the end", "gap"}},
        {at(21, 8, base.videoSize - 4),
         "slot 1: offset " + to_string(audioAt) + ": section start: expected " +
             to_string(audioAt - 4) + " (the end of the section of slot 0), found " +
             to_string(audioAt) + ", leaving a gap of 4 bytes"},
        {at(base.videoAt + 2, 2, 5), video + "286: flags: expected 7, found 5", 1},
        {at(base.videoAt + 4, 2, 0), video + "288: width: expected non-zero, found 0"},
        {at(21, 8, base.videoSize + 1),
         video + "284: section size in the table is " + to_string(base.videoSize + 1) +
             ", expected 52 + " + to_string(frameData) + " bytes of frame data + 20 x 2 frames = " +
             to_string(base.videoSize)},
        {at(base.videoAt + 48, 4, 3), video + "332: frame count 3 needs a frame index of 60 bytes"},
        {at(frame0Index, 4, base.frameSize[0] + 1),
         video + to_string(frame1OffsetAt) + ": frame 1 offset: expected " +
             to_string(base.frameAt[1] + 1) + ", found " + to_string(base.frameAt[1])},
        // Frame 1's offset, and frame 1 no longer parses.
        {at(frame1OffsetAt, 8, base.frameAt[1] + 1),
         video + to_string(frame1OffsetAt) + ": frame 1 offset: expected " +
             to_string(base.frameAt[1]) + ", found " + to_string(base.frameAt[1] + 1),
         2},
        {at(frame0Index, 4, base.frameSize[0] - 1),
         video + "324: frame data size is " + to_string(frameData) +
             ", but the frame sizes add up to " + to_string(frameData - 1)},
        {at(frame1OffsetAt, 8, base.indexAt),
         "video section in slot 0, frame 1: offset " + to_string(base.indexAt) + ": frame 1 of " +
             to_string(base.frameSize[1]) +
             " bytes lies outside the section's frame data, offsets 336 to " +
             to_string(base.indexAt)},
        {at(base.frameAt[0], 1, 0x01),
         frame0 + "336: frame record marker: expected 0x0300, found 0x0301"},
        {at(base.frameAt[0] + 4, 2, 5), frame0 + "340: frame height: expected 6, found 5"},
        {at(base.frameAt[0] + 14, 4, 44),
         frame0 + to_string(slice0At + 17) +
             ": the Hap frame of slice 0 ends here, but its place in the frame record runs 1 more "
             "bytes to offset " + to_string(slice0At + 18)},
        {at(base.frameAt[0] + 10, 4, 30),
         frame0 + "346: slice 0 offset: expected 26 (right after the directory), found 30"},
        {[&](Reference& r) { r.bytes[slice0At] += 1; },
         frame0 + to_string(slice0At + 4) +
             ": Hap section data of type 0xFB: needs 14 bytes, the Hap frame of slice 0 ends at "
             "offset " + to_string(slice0At + 17)},
        {at(slice0At + 3, 1, 0xFC),
         frame0 + to_string(slice0At + 3) +
             ": Hap section type 0xFC: unknown texture format nibble 0xC"},
        {at(slice0At + 3, 1, 0x5B),
         frame0 + to_string(slice0At + 3) +
             ": Hap section type 0x5B: unknown compression nibble 0x5"},
        {at(slice2At + 3, 1, 0xFE),
         "video section in slot 0, frame 0, slice 2: offset " + to_string(slice2At) +
             ": section types 0xFE, expected 0xFB as in frame 0, slice 0"},
        {at(slice2At + 3, 1, 0xF1),
         "video section in slot 0, frame 0, slice 2: offset " + to_string(slice2At) +
             ": a BC4 alpha texture without its scaled YCoCg colour texture"},
        {at(wav + 11, 1, 'X'),
         audio + to_string(wav + 8) + ": tag: expected \"WAVE\", found \"WAVX\""},
        {at(wav + 22, 2, 1),
         audio + to_string(wav + 32) + ": block alignment: expected 2, found 4"},
        {at(wav + 24, 4, 44100),
         audio + to_string(wav + 28) + ": byte rate: expected 176400, found 192000"},
        {at(wav + 4, 4, 0), audio + to_string(wav + 4) + ": RIFF size: expected 48, found 0"},
        {at(wav + 40, 4, 0),
         audio + to_string(wav + 40) +
             ": data size: expected 12 (the bytes after the WAV header), found 0"},
        {[](Reference& r) {
             poke(r.bytes, r.wavAt() + 4, 0, 4);
             poke(r.bytes, r.wavAt() + 40, 0, 4);
         },
         audio + to_string(wav + 4) + ": RIFF size: expected 48, found 0", 2},
    };
    for (const auto& corruption : corruptions) {
        Reference ref = base;
        corruption.apply(ref);
        const auto problems = orvread::verify(ref.bytes);
        EXPECT_TRUE(mentions(problems, corruption.expected))
            << "expected\n  " << corruption.expected << "\nfound\n" << joined(problems);
        for (const std::string& text : corruption.absent)
            EXPECT_FALSE(mentions(problems, text)) << text << "\n" << joined(problems);
        if (corruption.count == 0) continue;
        EXPECT_EQ(problems.size(), corruption.count) << joined(problems);
    }
}

TEST(Verification, HandBuiltShapesTheEncoderNeverWrites) {
    const Bytes block = bc1Block(0xF800, 0xF800, 0);
    const std::string where = "video section in slot 0, frame 0";
    auto problemsOf = [](std::vector<Bytes> haps, uint16_t side = 4) {
        return orvread::verify(oneFrameFile(side, side, side, side, haps));
    };
    // A 6x6 slice still holds one whole block, but slices must be whole blocks.
    auto problems = problemsOf({textureSection(bc1, none, block)}, 6);
    EXPECT_TRUE(mentions(problems, where + ": offset 342: slice width: expected a multiple of 4, "
                                           "found 6")) << joined(problems);
    EXPECT_TRUE(mentions(problems, "slice height: expected a multiple of 4, found 6"));

    Bytes wrongPair = textureSection(bc1, none, block);
    append(wrongPair, textureSection(bc4, none, block));
    Bytes mixed = textureSection(ycocg, none, Bytes(16));
    append(mixed, textureSection(bc4, lz4Coded, block));
    const std::pair<Bytes, std::string> shapes[] = {
        {hapSection(0xAB, block, true),
         "long Hap section header for 8 bytes of data, which the short form holds"},
        {hapSection(0x0D, textureSection(bc1, none, block)),
         "a multiple-image section holding a single texture"},
        {hapSection(0x0D, wrongPair),
         "multiple-image section holds BC1 then BC4 alpha, expected scaled YCoCg BC3 then BC4 "
         "alpha"},
        {hapSection(0x0D, mixed),
         "the two textures use different compressions (types 0xAF and 0xF1)"},
    };
    for (const auto& [hap, message] : shapes)
        EXPECT_EQ(problemsOf({hap}),
                  std::vector<std::string>{where + ", slice 0: offset 350: " + message});
    problems = problemsOf({hapSection(0x0D, hapSection(0x0D, {}))});
    EXPECT_TRUE(mentions(problems, "multiple-image section nested inside a multiple-image section"))
        << joined(problems);
}

TEST(Robustness, EveryTruncationIsReportedAndReadSafely) {
    for (uint32_t compression : {none, lz4Coded}) {
        const Bytes whole = makeReference(compression).bytes;
        for (size_t length = 0; length < whole.size(); ++length) {
            const Bytes prefix(whole.begin(), whole.begin() + length);
            EXPECT_FALSE(orvread::verify(prefix).empty()) << "prefix of " << length;
            EXPECT_TRUE(readsFail(prefix)) << "prefix of " << length;
        }
    }
}

TEST(Robustness, EveryStructuralByteFlipIsDetected) {
    const Reference ref = makeReference();
    // Bytes whose value the format does not constrain: time base and frame
    // rate, pts, LZ4 literals of the BC1 blocks, the audio samples.
    std::set<uint64_t> free;
    auto addRange = [&free](uint64_t from, uint64_t to) {
        for (uint64_t at = from; at < to; ++at) free.insert(at);
    };
    addRange(ref.videoAt + 8, ref.videoAt + 40);
    addRange(ref.indexAt + 24, ref.indexAt + 40);
    for (int k = 0; k < 2; ++k)
        for (int s = 0; s < 4; ++s) addRange(ref.sliceAt(k, s) + 9, ref.sliceAt(k, s) + 17);
    addRange(ref.wavAt() + 44, ref.bytes.size());
    for (uint64_t at = 0; at < ref.bytes.size(); ++at) {
        Bytes flipped = ref.bytes;
        flipped[at] ^= 0xFF;
        const auto problems = orvread::verify(flipped);
        EXPECT_TRUE(free.count(at) || !problems.empty()) << "flip at " << at << " went unnoticed";
        EXPECT_TRUE(!problems.empty() || !readsFail(flipped)) << "offset " << at;
    }
}

TEST(Robustness, RandomDamageNeverCrashesAndCleanFilesAlwaysRead) {
    // A file that verify() passes must read and decode completely; anything
    // else may only raise ReadError (sanitizer builds catch the rest).
    std::mt19937 random(20240611);
    const Bytes bases[] = {makeReference(lz4Coded).bytes, makeReference(snappyCoded).bytes};
    for (int round = 0; round < 3000; ++round) {
        Bytes bytes = bases[round % 2];
        const int flips = 1 + static_cast<int>(random() % 6);
        for (int i = 0; i < flips; ++i) {
            const size_t at = random() % bytes.size();
            bytes[at] = (random() % 4 == 0) ? 0xFF : static_cast<uint8_t>(random());
        }
        if (random() % 8 == 0) bytes.resize(random() % bytes.size());
        EXPECT_TRUE(!orvread::verify(bytes).empty() || !readsFail(bytes)) << "round " << round;
    }
}
