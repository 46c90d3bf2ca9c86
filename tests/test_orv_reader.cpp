// The ORV reader against files assembled byte by byte here, independently of
// the encoder: exact parsing, decoding and slice assembly, one precise
// problem per kind of corruption, and no crash on truncated or damaged
// files.
#include <gtest/gtest.h>
#include <lz4.h>
#include <snappy.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "brindle.hpp"
#include "orv_reader.hpp"

using orvread::OrvFile;
using orvread::ReadError;
using Bytes = std::vector<uint8_t>;

namespace {

// ---- Little-endian assembly -----------------------------------------------------

void putLE(Bytes& out, uint64_t value, int width) {
    for (int i = 0; i < width; ++i)
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}
void put8(Bytes& out, uint64_t value) { putLE(out, value, 1); }
void put16(Bytes& out, uint64_t value) { putLE(out, value, 2); }
void put32(Bytes& out, uint64_t value) { putLE(out, value, 4); }
void put64(Bytes& out, uint64_t value) { putLE(out, value, 8); }
void putTag(Bytes& out, const char* tag) { out.insert(out.end(), tag, tag + 4); }
void append(Bytes& out, const Bytes& more) { out.insert(out.end(), more.begin(), more.end()); }

void poke(Bytes& bytes, uint64_t at, uint64_t value, int width) {
    for (int i = 0; i < width; ++i)
        bytes.at(at + i) = static_cast<uint8_t>(value >> (8 * i));
}
uint64_t peek(const Bytes& bytes, uint64_t at, int width) {
    uint64_t value = 0;
    for (int i = 0; i < width; ++i)
        value |= uint64_t{bytes.at(at + i)} << (8 * i);
    return value;
}

// ---- Textures and Hap sections ---------------------------------------------

enum : uint32_t { none = 0, snappyCoded = 1, lz4Coded = 2 };
enum : uint32_t { bc1 = 0, bc3 = 1, ycocg = 2, bc4 = 3 };

// The stored type nibbles, written out here rather than taken from the reader.
uint8_t typeByte(uint32_t texFormat, uint32_t compression) {
    const uint8_t low[] = {0x0B, 0x0E, 0x0F, 0x01};
    const uint8_t high[] = {0xA0, 0xB0, 0xF0};
    return low[texFormat] | high[compression];
}

Bytes lz4Payload(const Bytes& blocks, uint32_t sizePrefix) {
    Bytes out;
    put32(out, sizePrefix);
    std::vector<char> block(LZ4_compressBound(static_cast<int>(blocks.size())));
    const int n = LZ4_compress_default(reinterpret_cast<const char*>(blocks.data()), block.data(),
                                       static_cast<int>(blocks.size()),
                                       static_cast<int>(block.size()));
    out.insert(out.end(), block.begin(), block.begin() + n);
    return out;
}

Bytes compressed(uint32_t compression, const Bytes& blocks) {
    switch (compression) {
        case snappyCoded: {
            std::string out;
            snappy::Compress(reinterpret_cast<const char*>(blocks.data()), blocks.size(), &out);
            return Bytes(out.begin(), out.end());
        }
        case lz4Coded: return lz4Payload(blocks, static_cast<uint32_t>(blocks.size()));
        default: return blocks;
    }
}

Bytes hapSection(uint8_t type, const Bytes& data, bool longForm = false) {
    Bytes out;
    // A zero length can only be written in the long form: three zero bytes
    // announce it.
    if (longForm || data.empty() || data.size() > 0xFFFFFF) {
        put32(out, uint32_t{type} << 24);
        put32(out, data.size());
    } else {
        put32(out, data.size() | (uint32_t{type} << 24));
    }
    append(out, data);
    return out;
}

Bytes textureSection(uint32_t texFormat, uint32_t compression, const Bytes& blocks) {
    return hapSection(typeByte(texFormat, compression), compressed(compression, blocks));
}

Bytes alphaHapFrame(uint32_t compression, const Bytes& ycocgBlocks, const Bytes& bc4Blocks) {
    Bytes inner = textureSection(ycocg, compression, ycocgBlocks);
    append(inner, textureSection(bc4, compression, bc4Blocks));
    return hapSection(0x0D, inner);
}

// ---- BC1 blocks with known pixels ------------------------------------------

Bytes bc1Block(uint16_t colour0, uint16_t colour1, uint32_t indices) {
    Bytes out;
    put16(out, colour0);
    put16(out, colour1);
    put32(out, indices);
    return out;
}

using Rgba = std::array<uint8_t, 4>;
constexpr Rgba red = {255, 0, 0, 255}, green = {0, 255, 0, 255}, blue = {0, 0, 255, 255},
               white = {255, 255, 255, 255};
// Entries 0..3 of the palette of colour 0 = pure red, colour 1 = pure blue.
constexpr Rgba redBluePalette[4] = {red, blue, {170, 0, 85, 255}, {85, 0, 170, 255}};

// A block of one 5:6:5 colour.
struct Solid {
    uint16_t packed;
    Rgba pixel;
};
constexpr Solid solidRed = {0xF800, red}, solidGreen = {0x07E0, green},
                solidBlue = {0x001F, blue}, solidWhite = {0xFFFF, white};

// One 4x4 slice: a solid colour, or the red/blue palette in columns 0..3.
struct SliceContent {
    bool pattern;
    Solid solid;

    Bytes block() const {
        return pattern ? bc1Block(0xF800, 0x001F, 0xE4E4E4E4)
                       : bc1Block(solid.packed, solid.packed, 0);
    }
    Rgba pixel(uint32_t x) const { return pattern ? redBluePalette[x % 4] : solid.pixel; }
};
constexpr SliceContent pattern = {true, {}};

// ---- Records and sections --------------------------------------------------

Bytes frameRecord(uint16_t width, uint16_t height, uint16_t sliceWidth, uint16_t sliceHeight,
                  const std::vector<Bytes>& hapFrames) {
    Bytes out;
    put16(out, 0x0300);
    put16(out, width);
    put16(out, height);
    put16(out, sliceWidth);
    put16(out, sliceHeight);
    uint32_t offset = 10 + 4 * static_cast<uint32_t>(hapFrames.size());
    for (const Bytes& hap : hapFrames) {
        put32(out, offset);
        offset += static_cast<uint32_t>(hap.size());
    }
    for (const Bytes& hap : hapFrames)
        append(out, hap);
    return out;
}

struct VideoPlan {
    uint16_t width = 6, height = 6;
    uint64_t timebaseDen = 90000, timebaseNum = 1, fpsDen = 1001, fpsNum = 30000;
    std::vector<Bytes> records;
    std::vector<int64_t> pts;
};

Bytes videoSection(const VideoPlan& plan, uint64_t start) {
    Bytes out;
    uint64_t frameDataSize = 0;
    for (const Bytes& record : plan.records)
        frameDataSize += record.size();
    put16(out, 0);
    put16(out, 7);
    put16(out, plan.width);
    put16(out, plan.height);
    put64(out, plan.timebaseDen);
    put64(out, plan.timebaseNum);
    put64(out, plan.fpsDen);
    put64(out, plan.fpsNum);
    put64(out, frameDataSize);
    put32(out, plan.records.size());
    for (const Bytes& record : plan.records)
        append(out, record);
    for (const Bytes& record : plan.records)
        put32(out, record.size());
    uint64_t offset = start + 52;
    for (const Bytes& record : plan.records) {
        put64(out, offset);
        offset += record.size();
    }
    for (int64_t pts : plan.pts)
        put64(out, static_cast<uint64_t>(pts));
    return out;
}

Bytes audioSection(uint16_t channels, uint32_t sampleRate, const std::vector<int16_t>& samples) {
    const uint32_t dataSize = static_cast<uint32_t>(samples.size() * 2);
    Bytes out;
    put8(out, 0);
    putTag(out, "RIFF");
    put32(out, dataSize + 36);
    putTag(out, "WAVE");
    putTag(out, "fmt ");
    put32(out, 16);
    put16(out, 1);
    put16(out, channels);
    put32(out, sampleRate);
    put32(out, sampleRate * channels * 2);
    put16(out, channels * 2);
    put16(out, 16);
    putTag(out, "data");
    put32(out, dataSize);
    for (int16_t sample : samples)
        put16(out, static_cast<uint16_t>(sample));
    return out;
}

struct SectionPlan {
    uint8_t type;
    std::function<Bytes(uint64_t start)> build;
};

struct Built {
    Bytes bytes;
    std::vector<uint64_t> offsets, sizes;
};

// Header, 16-slot table (section i in slot i) and the sections in order.
Built assemble(const std::vector<SectionPlan>& sections) {
    Built built;
    std::vector<Bytes> bodies;
    uint64_t offset = 284;
    for (const SectionPlan& section : sections) {
        bodies.push_back(section.build(offset));
        built.offsets.push_back(offset);
        built.sizes.push_back(bodies.back().size());
        offset += bodies.back().size();
    }
    Bytes& out = built.bytes;
    putTag(out, "ORVC");
    put32(out, 1);
    put32(out, 16);
    for (size_t slot = 0; slot < 16; ++slot) {
        const bool used = slot < sections.size();
        put8(out, used ? sections[slot].type : 0);
        put64(out, used ? built.offsets[slot] : UINT64_MAX);
        put64(out, used ? built.sizes[slot] : 0);
    }
    for (const Bytes& body : bodies)
        append(out, body);
    return built;
}

SectionPlan video(VideoPlan plan) {
    return {2, [plan](uint64_t start) { return videoSection(plan, start); }};
}
SectionPlan audio(uint16_t channels, uint32_t rate, std::vector<int16_t> samples) {
    return {3, [=](uint64_t) { return audioSection(channels, rate, samples); }};
}

// ---- The reference file ----------------------------------------------------

// A 6x6 video cut into a 2x2 grid of 4x4 slices (the right column and the
// bottom row hang 2 pixels past the picture), two BC1 frames, followed by a
// stereo audio section.
const std::vector<SliceContent> frame0Slices = {{false, solidRed}, {false, solidGreen},
                                                {false, solidBlue}, pattern};
const std::vector<SliceContent> frame1Slices = {pattern, {false, solidRed},
                                                {false, solidWhite}, {false, solidBlue}};
const std::vector<int16_t> stereoSamples = {0, -1, 32767, -32768, 1234, -4321};

Bytes bc1Record(const std::vector<SliceContent>& slices, uint32_t compression) {
    std::vector<Bytes> haps;
    for (const SliceContent& slice : slices)
        haps.push_back(textureSection(bc1, compression, slice.block()));
    return frameRecord(6, 6, 4, 4, haps);
}

struct Reference {
    Bytes bytes;
    uint64_t videoAt, videoSize, audioAt, audioSize, indexAt;
    uint64_t frameAt[2], frameSize[2];

    uint64_t wavAt() const { return audioAt + 1; }
    uint64_t sliceAt(int frame, int slice) const {
        return frameAt[frame] + peek(bytes, frameAt[frame] + 10 + 4 * slice, 4);
    }
};

Reference makeReference(uint32_t compression = lz4Coded) {
    VideoPlan plan;
    plan.records = {bc1Record(frame0Slices, compression), bc1Record(frame1Slices, compression)};
    plan.pts = {-5, 3003};
    const Built built = assemble({video(plan), audio(2, 48000, stereoSamples)});
    Reference ref;
    ref.bytes = built.bytes;
    ref.videoAt = built.offsets[0];
    ref.videoSize = built.sizes[0];
    ref.audioAt = built.offsets[1];
    ref.audioSize = built.sizes[1];
    ref.frameAt[0] = ref.videoAt + 52;
    ref.frameSize[0] = plan.records[0].size();
    ref.frameAt[1] = ref.frameAt[0] + ref.frameSize[0];
    ref.frameSize[1] = plan.records[1].size();
    ref.indexAt = ref.frameAt[1] + ref.frameSize[1];
    return ref;
}

Rgba pixelAt(const Bytes& picture, uint32_t width, uint32_t x, uint32_t y) {
    const size_t at = (size_t{y} * width + x) * 4;
    return {picture[at], picture[at + 1], picture[at + 2], picture[at + 3]};
}

std::string joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines)
        text += line + "\n";
    return text;
}

bool mentions(const std::vector<std::string>& problems, const std::string& text) {
    return std::any_of(problems.begin(), problems.end(), [&](const std::string& problem) {
        return problem.find(text) != std::string::npos;
    });
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
        for (size_t i = 0; i < file.audioCount(); ++i)
            file.readSamples(file.audio(i));
    } catch (const ReadError&) {
        return true;
    }
    return false;
}

}  // namespace

// ---- Parsing ---------------------------------------------------------------

TEST(Parsing, HeaderTableAndSectionsReadExactlyAsWritten) {
    const Reference ref = makeReference();
    const OrvFile file(ref.bytes);

    EXPECT_EQ(file.version(), 1u);
    EXPECT_EQ(file.slotCount(), 16u);
    ASSERT_EQ(file.sections().size(), 2u);
    EXPECT_EQ(file.sections()[0].slot, 0u);
    EXPECT_EQ(file.sections()[0].type, 2);
    EXPECT_EQ(file.sections()[0].offset, 284u);
    EXPECT_EQ(file.sections()[0].size, ref.videoSize);
    EXPECT_EQ(file.sections()[1].slot, 1u);
    EXPECT_EQ(file.sections()[1].type, 3);
    EXPECT_EQ(file.sections()[1].offset, ref.audioAt);
    EXPECT_EQ(file.sections()[1].size, ref.audioSize);

    ASSERT_EQ(file.videoCount(), 1u);
    const orvread::VideoSection& video = file.video(0);
    EXPECT_EQ(video.offset, 284u);
    EXPECT_EQ(video.codec, 0);
    EXPECT_EQ(video.flags, 7);
    EXPECT_EQ(video.width, 6);
    EXPECT_EQ(video.height, 6);
    // Distinct values, so that fields read from the wrong place show.
    EXPECT_EQ(video.timebaseDen, 90000u);
    EXPECT_EQ(video.timebaseNum, 1u);
    EXPECT_EQ(video.fpsDen, 1001u);
    EXPECT_EQ(video.fpsNum, 30000u);
    EXPECT_EQ(video.frameDataSize, ref.frameSize[0] + ref.frameSize[1]);
    EXPECT_EQ(video.frameCount, 2u);
    EXPECT_EQ(video.frameSizes, (std::vector<uint32_t>{uint32_t(ref.frameSize[0]),
                                                       uint32_t(ref.frameSize[1])}));
    EXPECT_EQ(video.frameOffsets, (std::vector<uint64_t>{336, 336 + ref.frameSize[0]}));
    EXPECT_EQ(video.framePts, (std::vector<uint64_t>{static_cast<uint64_t>(-5), 3003}));

    ASSERT_EQ(file.audioCount(), 1u);
    const orvread::AudioSection& audio = file.audio(0);
    EXPECT_EQ(audio.codec, 0);
    EXPECT_EQ(audio.format, 1);
    EXPECT_EQ(audio.channels, 2);
    EXPECT_EQ(audio.sampleRate, 48000u);
    EXPECT_EQ(audio.byteRate, 192000u);
    EXPECT_EQ(audio.blockAlign, 4);
    EXPECT_EQ(audio.bitsPerSample, 16);
    EXPECT_EQ(audio.dataSize, 12u);
    EXPECT_EQ(audio.riffSize, 48u);
    EXPECT_EQ(audio.dataOffset, ref.audioAt + 45);
    EXPECT_EQ(file.readSamples(audio), stereoSamples);

    EXPECT_THROW(file.video(1), std::out_of_range);
    EXPECT_THROW(file.readFrame(video, 2), std::out_of_range);
}

TEST(Parsing, FrameRecordGivesGridDirectoryAndPayloads) {
    for (uint32_t compression : {none, snappyCoded, lz4Coded}) {
        SCOPED_TRACE(compression);
        const Reference ref = makeReference(compression);
        const OrvFile file(ref.bytes);
        const orvread::FrameRecord frame = file.readFrame(file.video(0), 0);

        EXPECT_EQ(frame.offset, 336u);
        EXPECT_EQ(frame.size, ref.frameSize[0]);
        EXPECT_EQ(frame.width, 6);
        EXPECT_EQ(frame.height, 6);
        EXPECT_EQ(frame.sliceWidth, 4);
        EXPECT_EQ(frame.sliceHeight, 4);
        EXPECT_EQ(frame.numColumns, 2u);
        EXPECT_EQ(frame.numRows, 2u);
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
            const orvread::HapTexture& texture = slice.textures[0];
            EXPECT_EQ(texture.offset, slice.offset);
            EXPECT_EQ(texture.headerSize, 4);
            EXPECT_EQ(texture.type, typeByte(bc1, compression));
            EXPECT_EQ(texture.texFormat, uint32_t{bc1});
            EXPECT_EQ(texture.compression, compression);
            EXPECT_EQ(texture.payload, compressed(compression, frame0Slices[s].block()));
            EXPECT_EQ(orvread::decompress(texture, 8), frame0Slices[s].block());
        }
    }
}

TEST(Parsing, MultipleImageSectionYieldsYCoCgThenAlpha) {
    const Bytes ycocgBlock(16, 0x11), alphaBlock = {0x40, 0x40, 0, 0, 0, 0, 0, 0};
    VideoPlan plan;
    plan.width = plan.height = 4;
    plan.records = {frameRecord(4, 4, 4, 4, {alphaHapFrame(snappyCoded, ycocgBlock, alphaBlock)})};
    plan.pts = {0};
    const OrvFile file(assemble({video(plan)}).bytes);
    const orvread::FrameRecord frame = file.readFrame(file.video(0), 0);

    ASSERT_EQ(frame.slices.size(), 1u);
    const orvread::SliceFrame& slice = frame.slices[0];
    EXPECT_TRUE(slice.multipleImages);
    EXPECT_EQ(slice.offset, 336u + 14);
    ASSERT_EQ(slice.textures.size(), 2u);
    EXPECT_EQ(slice.textures[0].type, 0xBF);
    EXPECT_EQ(slice.textures[0].offset, slice.offset + 4);
    EXPECT_EQ(slice.textures[1].type, 0xB1);
    EXPECT_EQ(slice.textures[1].offset,
              slice.textures[0].offset + 4 + slice.textures[0].payload.size());
    EXPECT_EQ(orvread::decompress(slice.textures[0], 16), ycocgBlock);
    EXPECT_EQ(orvread::decompress(slice.textures[1], 8), alphaBlock);
    EXPECT_EQ(orvread::sliceShapeProblem(slice), "");
    EXPECT_TRUE(file.verify().empty()) << joined(file.verify());
}

TEST(Parsing, LongSectionHeaderCarriesLengthsBeyondTwentyFourBits) {
    // A 4096x4096 BC3 texture is 0x1000000 bytes, one more than the short
    // header holds.
    const Bytes blocks(0x1000000, 0x5A);
    VideoPlan plan;
    plan.width = plan.height = 4096;
    plan.records = {frameRecord(4096, 4096, 4096, 4096, {textureSection(bc3, none, blocks)})};
    plan.pts = {0};
    const Built built = assemble({video(plan)});
    EXPECT_EQ(peek(built.bytes, 336 + 14, 4), 0xAE000000u);
    EXPECT_EQ(peek(built.bytes, 336 + 18, 4), 0x1000000u);

    const OrvFile file(built.bytes);
    const orvread::FrameRecord frame = file.readFrame(file.video(0), 0);
    ASSERT_EQ(frame.slices.size(), 1u);
    EXPECT_EQ(frame.slices[0].textures[0].headerSize, 8);
    EXPECT_EQ(frame.slices[0].textures[0].payload.size(), 0x1000000u);
    EXPECT_TRUE(file.verify().empty()) << joined(file.verify());
}

TEST(Parsing, EmptySessionAndEmptyVideoStreamAreValid) {
    const Bytes empty = assemble({}).bytes;
    EXPECT_EQ(empty.size(), 284u);
    const OrvFile emptyFile(empty);
    EXPECT_TRUE(emptyFile.sections().empty());
    EXPECT_TRUE(emptyFile.verify().empty()) << joined(emptyFile.verify());

    const Built noFrames = assemble({video(VideoPlan{})});
    EXPECT_EQ(noFrames.sizes[0], 52u);
    const OrvFile noFramesFile(noFrames.bytes);
    EXPECT_EQ(noFramesFile.video(0).frameCount, 0u);
    EXPECT_TRUE(noFramesFile.verify().empty()) << joined(noFramesFile.verify());
}

TEST(Parsing, OpensFilesFromDisk) {
    const Reference ref = makeReference();
    const std::string path = ::testing::TempDir() + "orv_reader_test.orv";
    FILE* out = std::fopen(path.c_str(), "wb");
    ASSERT_NE(out, nullptr);
    ASSERT_EQ(std::fwrite(ref.bytes.data(), 1, ref.bytes.size(), out), ref.bytes.size());
    std::fclose(out);

    const OrvFile file = OrvFile::open(path);
    EXPECT_EQ(file.bytes(), ref.bytes);
    EXPECT_EQ(file.video(0).frameCount, 2u);
    std::remove(path.c_str());

    try {
        OrvFile::open(path);
        FAIL() << "opened a removed file";
    } catch (const ReadError& error) {
        EXPECT_EQ(std::string(error.what()), "cannot open " + path + ": No such file or directory");
    }
}

TEST(Parsing, RefusesWhatItCannotRead) {
    Bytes badMagic = makeReference().bytes;
    badMagic[3] = 'X';
    try {
        OrvFile file(badMagic);
        FAIL() << "accepted a bad magic";
    } catch (const ReadError& error) {
        EXPECT_STREQ(error.what(), "offset 0: magic: expected \"ORVC\", found \"ORVX\"");
    }

    Bytes version2 = makeReference().bytes;
    poke(version2, 4, 2, 4);
    EXPECT_THROW(OrvFile file(version2), ReadError);

    const Reference ref = makeReference();
    Bytes truncated = ref.bytes;
    truncated.pop_back();
    try {
        OrvFile file(truncated);
        FAIL() << "accepted a truncated file";
    } catch (const ReadError& error) {
        EXPECT_EQ(std::string(error.what()),
                  "audio section in slot 1: offset " + std::to_string(ref.audioAt) +
                      ": section of " + std::to_string(ref.audioSize) +
                      " bytes reaches beyond the end of the file at offset " +
                      std::to_string(truncated.size()));
    }
}

// ---- Decoding --------------------------------------------------------------

TEST(Decoding, KnownBC1BlocksGiveTheirPixels) {
    const Bytes block = bc1Block(0xF800, 0x001F, 0xE4E4E4E4);
    const Bytes pixels = orvread::decodeTexture(block, bc1, 4, 4);
    ASSERT_EQ(pixels.size(), 64u);
    for (uint32_t y = 0; y < 4; ++y)
        for (uint32_t x = 0; x < 4; ++x)
            EXPECT_EQ(pixelAt(pixels, 4, x, y), redBluePalette[x]) << x << "," << y;

    // Two blocks side by side land in their own columns.
    Bytes twoBlocks = bc1Block(0xF800, 0xF800, 0xAAAAAAAA);
    append(twoBlocks, bc1Block(0x001F, 0x001F, 0));
    const Bytes wide = orvread::decodeTexture(twoBlocks, bc1, 8, 4);
    for (uint32_t y = 0; y < 4; ++y)
        for (uint32_t x = 0; x < 8; ++x)
            EXPECT_EQ(pixelAt(wide, 8, x, y), x < 4 ? red : blue) << x << "," << y;
}

TEST(Decoding, TextureSizeAndShapeAreChecked) {
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

TEST(Decoding, FramesAssembleTheGridAndCropThePadding) {
    for (uint32_t compression : {none, snappyCoded, lz4Coded}) {
        SCOPED_TRACE(compression);
        const OrvFile file(makeReference(compression).bytes);
        const std::vector<SliceContent>* contents[] = {&frame0Slices, &frame1Slices};
        for (uint32_t k = 0; k < 2; ++k) {
            const Bytes picture = file.decodeFrame(file.video(0), k);
            ASSERT_EQ(picture.size(), 6u * 6 * 4);
            for (uint32_t y = 0; y < 6; ++y)
                for (uint32_t x = 0; x < 6; ++x) {
                    const SliceContent& slice = (*contents[k])[(y / 4) * 2 + x / 4];
                    EXPECT_EQ(pixelAt(picture, 6, x, y), slice.pixel(x))
                        << "frame " << k << " at " << x << "," << y;
                }
        }
    }
}

TEST(Decoding, AlphaComesFromTheBC4Plane) {
    // Any YCoCg block; BC4 with both endpoints 0x40 and all indices 0.
    const Bytes ycocgBlock = {0x80, 0x80, 0, 0, 0, 0, 0, 0, 0x00, 0x84, 0x00, 0x84, 0, 0, 0, 0};
    const Bytes alphaBlock = {0x40, 0x40, 0, 0, 0, 0, 0, 0};
    for (uint32_t compression : {none, snappyCoded, lz4Coded}) {
        SCOPED_TRACE(compression);
        VideoPlan plan;
        plan.width = 3;
        plan.height = 4;
        plan.records = {
            frameRecord(3, 4, 4, 4, {alphaHapFrame(compression, ycocgBlock, alphaBlock)})};
        plan.pts = {0};
        const OrvFile file(assemble({video(plan)}).bytes);
        const Bytes picture = file.decodeFrame(file.video(0), 0);

        uint8_t colour[64];
        brindle::decodeBC3YCOGR(ycocgBlock.data(), colour);
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
        orvread::HapTexture t;
        t.offset = 1000;
        t.headerSize = 4;
        t.type = typeByte(bc1, compression);
        t.compression = compression;
        t.payload = std::move(payload);
        return t;
    };
    auto message = [](const orvread::HapTexture& t, uint64_t expected) -> std::string {
        try {
            orvread::decompress(t, expected);
        } catch (const ReadError& error) {
            return error.what();
        }
        return "";
    };

    EXPECT_EQ(message(texture(none, Bytes(7)), 8),
              "offset 1004: uncompressed texture holds 7 bytes, expected 8");
    EXPECT_EQ(message(texture(snappyCoded, compressed(snappyCoded, Bytes(16))), 8),
              "offset 1004: snappy payload decompresses to 16 bytes, expected 8");
    EXPECT_EQ(message(texture(snappyCoded, {0x08, 0xFF, 0xFF}), 8),
              "offset 1004: snappy payload is corrupt");
    EXPECT_EQ(message(texture(lz4Coded, lz4Payload(blocks, 16)), 8),
              "offset 1004: LZ4 size prefix: expected 8 (the texture's size), found 16");
    // A valid LZ4 block of 7 bytes behind a prefix that promises 8.
    EXPECT_EQ(message(texture(lz4Coded, lz4Payload(Bytes(7, 1), 8)), 8),
              "offset 1004: LZ4 block decompresses to 7 bytes, expected 8");
    EXPECT_EQ(message(texture(lz4Coded, {8, 0, 0}), 8),
              "offset 1004: LZ4 payload of 3 bytes is shorter than its 4-byte size prefix");
    Bytes truncatedBlock = lz4Payload(blocks, 8);
    truncatedBlock.pop_back();
    EXPECT_EQ(message(texture(lz4Coded, truncatedBlock), 8),
              "offset 1004: LZ4 block is corrupt or expands beyond the texture's 8 bytes");
    // A claim no LZ4 block of this size can meet is refused before anything
    // of the claimed size is allocated.
    EXPECT_EQ(message(texture(lz4Coded, lz4Payload(blocks, 0x7FFFFFFF)), 0x7FFFFFFF),
              "offset 1004: LZ4 block of 9 bytes cannot expand to 2147483647 bytes");
    EXPECT_EQ(message(texture(lz4Coded, lz4Payload(blocks, 0xFFFFFFFF)), 0xFFFFFFFF),
              "offset 1004: LZ4 block of 9 bytes for 4294967295 bytes is beyond what one LZ4 "
              "block can hold");

    for (uint32_t compression : {none, snappyCoded, lz4Coded})
        EXPECT_EQ(orvread::decompress(texture(compression, compressed(compression, blocks)), 8),
                  blocks);
}

// ---- Verification ----------------------------------------------------------

TEST(Verification, ValidFilesHaveNoProblem) {
    for (uint32_t compression : {none, snappyCoded, lz4Coded}) {
        const auto problems = orvread::verify(makeReference(compression).bytes);
        EXPECT_TRUE(problems.empty()) << compression << "\n" << joined(problems);
    }
}

TEST(Verification, SlotOrderNeedNotFollowTheFileOrder) {
    // Sections are placed in the order streams begin and slots are filled in
    // the order they end: the audio section may take slot 0 although the
    // video section comes first in the file.
    Reference ref = makeReference();
    for (int i = 0; i < 17; ++i)
        std::swap(ref.bytes[12 + i], ref.bytes[29 + i]);
    EXPECT_TRUE(orvread::verify(ref.bytes).empty()) << joined(orvread::verify(ref.bytes));
    const OrvFile file(ref.bytes);
    EXPECT_EQ(file.sections()[0].type, 3);
    EXPECT_EQ(file.video(0).slot, 1u);
}

struct Corruption {
    const char* name;
    std::function<void(Reference&)> apply;
    std::string expected;  // one of the problems must contain this text
};

TEST(Verification, EachCorruptionIsReportedPrecisely) {
    const Reference base = makeReference();
    const uint64_t frame0Index = base.indexAt;  // frameSizes[0]
    const uint64_t frame1OffsetAt = base.indexAt + 8 + 8;
    const uint64_t slice0At = base.sliceAt(0, 0);
    const uint64_t slice2At = base.sliceAt(0, 2);
    const uint64_t wav = base.wavAt();
    const std::string video = "video section in slot 0";
    const std::string frame0 = video + ", frame 0";
    const std::string audio = "audio section in slot 1: offset ";

    const std::vector<Corruption> corruptions = {
        {"bad magic", [](Reference& r) { r.bytes[3] = 'X'; },
         "offset 0: magic: expected \"ORVC\", found \"ORVX\""},
        {"version", [](Reference& r) { poke(r.bytes, 4, 2, 4); },
         "offset 4: version: expected 1, found 2"},
        {"slot count", [](Reference& r) { poke(r.bytes, 8, 15, 4); },
         "offset 8: slot count: expected 16, found 15"},
        {"unused slot holding an offset",
         [](Reference& r) { poke(r.bytes, 12 + 17 * 5 + 1, 0, 8); },
         "slot 5: offset 97: unused slot (type 0) holds offset 0 and size 0, expected offset "
         "0xFFFFFFFFFFFFFFFF and size 0"},
        {"used slot after an unused one",
         [](Reference& r) {
             std::copy_n(r.bytes.begin() + 29, 17, r.bytes.begin() + 63);
             poke(r.bytes, 29, 0, 1);
             poke(r.bytes, 30, UINT64_MAX, 8);
             poke(r.bytes, 38, 0, 8);
         },
         "slot 3: offset 63: used slot after an unused one"},
        {"unknown section type", [](Reference& r) { r.bytes[29] = 5; },
         "slot 1: offset 29: section type: expected 2 (video) or 3 (audio), found 5"},
        {"truncated file", [](Reference& r) { r.bytes.pop_back(); },
         "file ends at offset " + std::to_string(base.bytes.size() - 1) +
             ", before the end of the last section at offset " +
             std::to_string(base.bytes.size())},
        {"trailing bytes", [](Reference& r) { r.bytes.insert(r.bytes.end(), 3, 0); },
         "offset " + std::to_string(base.bytes.size()) +
             ": 3 bytes follow the end of the last section"},
        {"overlapping sections",
         [&](Reference& r) {
             poke(r.bytes, 30, r.audioAt - 2, 8);
             poke(r.bytes, 38, r.audioSize + 2, 8);
         },
         "slot 1: offset " + std::to_string(base.audioAt - 2) +
             ": section overlaps the section of slot 0, which ends at offset " +
             std::to_string(base.audioAt)},
        {"gap between sections",
         [&](Reference& r) { poke(r.bytes, 21, r.videoSize - 4, 8); },
         "slot 1: offset " + std::to_string(base.audioAt) + ": section start: expected " +
             std::to_string(base.audioAt - 4) +
             " (the end of the section of slot 0), found " + std::to_string(base.audioAt) +
             ", leaving a gap of 4 bytes"},
        {"section beyond the file", [&](Reference& r) { poke(r.bytes, 38, r.audioSize + 100, 8); },
         "audio section in slot 1: offset " + std::to_string(base.audioAt) +
             ": section of " + std::to_string(base.audioSize + 100) +
             " bytes reaches beyond the end of the file at offset " +
             std::to_string(base.bytes.size())},
        {"video codec", [](Reference& r) { poke(r.bytes, r.videoAt, 1, 2); },
         video + ": offset 284: codec: expected 0, found 1"},
        {"video flags", [](Reference& r) { poke(r.bytes, r.videoAt + 2, 5, 2); },
         video + ": offset 286: flags: expected 7, found 5"},
        {"zero width", [](Reference& r) { poke(r.bytes, r.videoAt + 4, 0, 2); },
         video + ": offset 288: width: expected non-zero, found 0"},
        {"section size in the table", [&](Reference& r) { poke(r.bytes, 21, r.videoSize + 1, 8); },
         video + ": offset 284: section size in the table is " +
             std::to_string(base.videoSize + 1) + ", expected 52 + " +
             std::to_string(base.frameSize[0] + base.frameSize[1]) +
             " bytes of frame data + 20 x 2 frames = " + std::to_string(base.videoSize)},
        {"frame count beyond the index", [](Reference& r) { poke(r.bytes, r.videoAt + 48, 3, 4); },
         video + ": offset 332: frame count 3 needs a frame index of 60 bytes"},
        {"wrong frame size in the index",
         [&](Reference& r) { poke(r.bytes, frame0Index, r.frameSize[0] + 1, 4); },
         video + ": offset " + std::to_string(frame1OffsetAt) + ": frame 1 offset: expected " +
             std::to_string(base.frameAt[1] + 1) + ", found " + std::to_string(base.frameAt[1])},
        {"frame sizes not adding up",
         [&](Reference& r) { poke(r.bytes, frame0Index, r.frameSize[0] - 1, 4); },
         video + ": offset 324: frame data size is " +
             std::to_string(base.frameSize[0] + base.frameSize[1]) +
             ", but the frame sizes add up to " +
             std::to_string(base.frameSize[0] + base.frameSize[1] - 1)},
        {"frame outside the frame data",
         [&](Reference& r) { poke(r.bytes, frame1OffsetAt, r.indexAt, 8); },
         video + ", frame 1: offset " + std::to_string(base.indexAt) + ": frame 1 of " +
             std::to_string(base.frameSize[1]) +
             " bytes lies outside the section's frame data, offsets 336 to " +
             std::to_string(base.indexAt)},
        {"frame record marker", [](Reference& r) { r.bytes[r.frameAt[0]] = 0x01; },
         frame0 + ": offset 336: frame record marker: expected 0x0300, found 0x0301"},
        {"frame dimensions", [](Reference& r) { poke(r.bytes, r.frameAt[0] + 4, 5, 2); },
         frame0 + ": offset 340: frame height: expected 6, found 5"},
        {"slice directory", [](Reference& r) { poke(r.bytes, r.frameAt[0] + 14, 44, 4); },
         frame0 + ": offset " + std::to_string(slice0At + 17) +
             ": the Hap frame of slice 0 ends here, but its place in the frame record runs 1 more "
             "bytes to offset " +
             std::to_string(slice0At + 18)},
        {"first slice offset", [](Reference& r) { poke(r.bytes, r.frameAt[0] + 10, 30, 4); },
         frame0 +
             ": offset 346: slice 0 offset: expected 26 (right after the directory), found 30"},
        {"broken Hap header length", [&](Reference& r) { r.bytes[slice0At] += 1; },
         frame0 + ": offset " + std::to_string(slice0At + 4) +
             ": Hap section data of type 0xFB: needs 14 bytes, the Hap frame of slice 0 ends at "
             "offset " + std::to_string(slice0At + 17)},
        {"unknown texture nibble", [&](Reference& r) { r.bytes[slice0At + 3] = 0xFC; },
         frame0 + ": offset " + std::to_string(slice0At + 3) +
             ": Hap section type 0xFC: unknown texture format nibble 0xC"},
        {"unknown compression nibble", [&](Reference& r) { r.bytes[slice0At + 3] = 0x5B; },
         frame0 + ": offset " + std::to_string(slice0At + 3) +
             ": Hap section type 0x5B: unknown compression nibble 0x5"},
        {"texture types differing between slices",
         [&](Reference& r) { r.bytes[slice2At + 3] = 0xFE; },
         frame0 + ", slice 2: offset " + std::to_string(slice2At) +
             ": section types 0xFE, expected 0xFB as in frame 0, slice 0"},
        {"BC4 alpha alone", [&](Reference& r) { r.bytes[slice2At + 3] = 0xF1; },
         frame0 + ", slice 2: offset " + std::to_string(slice2At) +
             ": a BC4 alpha texture without its scaled YCoCg colour texture"},
        {"payload of the wrong size", [&](Reference& r) { poke(r.bytes, slice2At + 4, 16, 4); },
         frame0 + ", slice 2, texture 0: offset " + std::to_string(slice2At + 4) +
             ": LZ4 size prefix: expected 8 (the texture's size), found 16"},
        {"audio codec", [&](Reference& r) { r.bytes[r.audioAt] = 1; },
         audio + std::to_string(base.audioAt) + ": audio codec: expected 0, found 1"},
        {"WAV tag", [&](Reference& r) { r.bytes[wav + 11] = 'X'; },
         audio + std::to_string(wav + 8) + ": tag: expected \"WAVE\", found \"WAVX\""},
        {"WAV format", [&](Reference& r) { poke(r.bytes, wav + 20, 3, 2); },
         audio + std::to_string(wav + 20) + ": sample format (1 is PCM): expected 1, found 3"},
        {"WAV bits", [&](Reference& r) { poke(r.bytes, wav + 34, 8, 2); },
         audio + std::to_string(wav + 34) + ": bits per sample: expected 16, found 8"},
        {"WAV block alignment", [&](Reference& r) { poke(r.bytes, wav + 22, 1, 2); },
         audio + std::to_string(wav + 32) + ": block alignment: expected 2, found 4"},
        {"WAV byte rate", [&](Reference& r) { poke(r.bytes, wav + 24, 44100, 4); },
         audio + std::to_string(wav + 28) + ": byte rate: expected 176400, found 192000"},
        {"unpatched RIFF size", [&](Reference& r) { poke(r.bytes, wav + 4, 0, 4); },
         audio + std::to_string(wav + 4) + ": RIFF size: expected 48, found 0"},
        {"unpatched data size", [&](Reference& r) { poke(r.bytes, wav + 40, 0, 4); },
         audio + std::to_string(wav + 40) +
             ": data size: expected 12 (the bytes after the WAV header), found 0"},
    };

    for (const Corruption& corruption : corruptions) {
        Reference ref = base;
        corruption.apply(ref);
        const auto problems = orvread::verify(ref.bytes);
        EXPECT_TRUE(mentions(problems, corruption.expected))
            << corruption.name << ": expected\n  " << corruption.expected << "\nfound\n"
            << joined(problems);
    }
}

TEST(Verification, SingleFieldCorruptionsGiveOnlyTheirOwnProblem) {
    // Problems must not cascade from a value that does not change the layout.
    const Reference base = makeReference();
    auto only = [&](std::function<void(Reference&)> apply) {
        Reference ref = base;
        apply(ref);
        return orvread::verify(ref.bytes).size();
    };
    EXPECT_EQ(only([](Reference& r) { r.bytes[3] = 'X'; }), 1u);
    EXPECT_EQ(only([](Reference& r) { poke(r.bytes, r.videoAt + 2, 5, 2); }), 1u);
    EXPECT_EQ(only([](Reference& r) { poke(r.bytes, r.indexAt + 8 + 8, r.frameAt[1] + 1, 8); }),
              2u);  // frame 1's offset, and frame 1 no longer parses
    const std::vector<std::string> unpatched = [&] {
        Reference ref = base;
        poke(ref.bytes, ref.wavAt() + 4, 0, 4);
        poke(ref.bytes, ref.wavAt() + 40, 0, 4);
        return orvread::verify(ref.bytes);
    }();
    EXPECT_EQ(unpatched.size(), 2u) << joined(unpatched);
}

TEST(Verification, SectionNestedInsideAnotherIsAnOverlapNotAnEarlyEnd) {
    Reference ref = makeReference();
    poke(ref.bytes, 30, ref.videoAt + 52, 8);
    poke(ref.bytes, 38, 45, 8);
    ref.bytes.resize(ref.audioAt);
    const auto problems = orvread::verify(ref.bytes);
    EXPECT_TRUE(mentions(problems, "slot 1: offset 336: section overlaps the section of slot 0, "
                                   "which ends at offset " + std::to_string(ref.audioAt)))
        << joined(problems);
    EXPECT_FALSE(mentions(problems, "follow the end")) << joined(problems);
    EXPECT_FALSE(mentions(problems, "gap")) << joined(problems);
}

TEST(Verification, HandBuiltShapesTheEncoderNeverWrites) {
    const Bytes block = bc1Block(0xF800, 0xF800, 0);
    auto oneFrame = [](uint16_t width, uint16_t height, uint16_t sliceWidth,
                       uint16_t sliceHeight, std::vector<Bytes> haps) {
        VideoPlan plan;
        plan.width = width;
        plan.height = height;
        plan.records = {frameRecord(width, height, sliceWidth, sliceHeight, haps)};
        plan.pts = {0};
        return orvread::verify(assemble({video(plan)}).bytes);
    };
    const std::string where = "video section in slot 0, frame 0";

    // A 6x6 slice still holds one whole block, but slices must be whole blocks.
    auto problems = oneFrame(6, 6, 6, 6, {textureSection(bc1, none, block)});
    EXPECT_TRUE(mentions(problems, where + ": offset 342: slice width: expected a multiple of 4, "
                                           "found 6")) << joined(problems);
    EXPECT_TRUE(mentions(problems, "slice height: expected a multiple of 4, found 6"));

    problems = oneFrame(4, 4, 4, 4, {hapSection(0xAB, block, true)});
    EXPECT_EQ(problems, std::vector<std::string>{where + ", slice 0: offset 350: long Hap section "
                                                         "header for 8 bytes of data, which the "
                                                         "short form holds"});

    problems = oneFrame(4, 4, 4, 4, {hapSection(0x0D, textureSection(bc1, none, block))});
    EXPECT_EQ(problems, std::vector<std::string>{
                            where + ", slice 0: offset 350: a multiple-image section holding a "
                                    "single texture"});

    Bytes wrongPair = textureSection(bc1, none, block);
    append(wrongPair, textureSection(bc4, none, block));
    problems = oneFrame(4, 4, 4, 4, {hapSection(0x0D, wrongPair)});
    EXPECT_EQ(problems, std::vector<std::string>{
                            where + ", slice 0: offset 350: multiple-image section holds BC1 "
                                    "then BC4 alpha, expected scaled YCoCg BC3 then BC4 alpha"});

    Bytes mixed = textureSection(ycocg, none, Bytes(16));
    append(mixed, textureSection(bc4, lz4Coded, block));
    problems = oneFrame(4, 4, 4, 4, {hapSection(0x0D, mixed)});
    EXPECT_EQ(problems, std::vector<std::string>{
                            where + ", slice 0: offset 350: the two textures use different "
                                    "compressions (types 0xAF and 0xF1)"});

    problems = oneFrame(4, 4, 4, 4, {hapSection(0x0D, hapSection(0x0D, {}))});
    EXPECT_TRUE(mentions(problems, "multiple-image section nested inside a multiple-image section"))
        << joined(problems);
}

// ---- Robustness ------------------------------------------------------------

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
    for (uint64_t at = ref.videoAt + 8; at < ref.videoAt + 40; ++at)
        free.insert(at);
    for (uint64_t at = ref.indexAt + 24; at < ref.indexAt + 40; ++at)
        free.insert(at);
    for (int k = 0; k < 2; ++k)
        for (int s = 0; s < 4; ++s)
            for (uint64_t at = ref.sliceAt(k, s) + 9; at < ref.sliceAt(k, s) + 17; ++at)
                free.insert(at);
    for (uint64_t at = ref.wavAt() + 44; at < ref.bytes.size(); ++at)
        free.insert(at);

    for (uint64_t at = 0; at < ref.bytes.size(); ++at) {
        Bytes flipped = ref.bytes;
        flipped[at] ^= 0xFF;
        const auto problems = orvread::verify(flipped);
        if (!free.count(at)) {
            EXPECT_FALSE(problems.empty()) << "flip at offset " << at << " went unnoticed";
        }
        if (problems.empty()) {
            EXPECT_FALSE(readsFail(flipped)) << "offset " << at;
        }
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
        if (random() % 8 == 0)
            bytes.resize(random() % bytes.size());
        const bool clean = orvread::verify(bytes).empty();
        const bool failed = readsFail(bytes);
        if (clean) {
            EXPECT_FALSE(failed) << "round " << round;
        }
    }
}
