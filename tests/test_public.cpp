#include <gtest/gtest.h>

#include <cstring>

#include "brindle.hpp"
#include "orv.h"

TEST(ErrorStrings, EveryCodeHasItsTextAndOthersTakenAsUnsignedAreUnknown) {
    const char* expected[] = {"no error", "out of memory", "failed to open file",
                              "too many streams", "IO error", "unknown stream",
                              "unknown pixel format", "unknown ORV pixel format",
                              "unknown ORV compression format", "invalid dimensions",
                              "invalid timebase", "invalid aspect ratio", "unsupported device",
                              "unknown error"};
    for (int code = 0; code <= 13; ++code)
        EXPECT_STREQ(orvErrorStr(static_cast<OrvError_enum>(code)), expected[code]) << code;
    for (int code : {14, -1, 0x7fffffff})
        EXPECT_STREQ(orvErrorStr(static_cast<OrvError_enum>(code)), "unknown error") << code;
}

TEST(SessionFreeFunctions, VersionAndCapabilities) {
    EXPECT_STREQ(orvLinkedVersion(), "1.0.0");
    EXPECT_EQ(orvGetAvailableEncodeDevices(), 1);
    EXPECT_EQ(orvGetNumSupportedVideoStreams(), 1);
    EXPECT_EQ(orvGetNumSupportedAudioStreams(), 1);
    EXPECT_EQ(orvAddThumbnail(nullptr, nullptr), ORV_ERR_NONE);
}

TEST(SessionFreeFunctions, InitialisersSetTheDefaultsAndZeroEverythingElse) {
    OrvVideoStreamParams_st video, expectedVideo;
    std::memset(&video, 0xCD, sizeof video);
    orvInitVideoStreamParams(&video);
    std::memset(&expectedVideo, 0, sizeof expectedVideo);
    expectedVideo.aspectRatio = 1.0;
    expectedVideo.compression = 2;
    expectedVideo.reserved = 1;
    expectedVideo.compressionHint = 1;
    expectedVideo.maxParallel = 16;
    expectedVideo.device = 1;
    EXPECT_EQ(std::memcmp(&video, &expectedVideo, sizeof video), 0);

    OrvAudioStreamParams_st audio, expectedAudio;
    std::memset(&audio, 0xCD, sizeof audio);
    orvInitAudioStreamParams(&audio);
    std::memset(&expectedAudio, 0, sizeof expectedAudio);
    EXPECT_EQ(std::memcmp(&audio, &expectedAudio, sizeof audio), 0);
}

TEST(DecoderStubs, ReturnTheirFixedResultsWithoutTouchingArguments) {
    OrvDec* decoder = reinterpret_cast<OrvDec*>(0x1);
    OrvDec* untouched = decoder;
    EXPECT_EQ(orvDecoderOpen("/nonexistent", &decoder), ORV_ERR_OPEN_FILE);
    EXPECT_EQ(decoder, untouched);
    EXPECT_EQ(orvDecoderClose(nullptr), ORV_ERR_NONE);
    int value = 42;
    EXPECT_EQ(orvNumSections(nullptr, &value), ORV_ERR_UNKNOWN);
    EXPECT_EQ(orvGetSectionType(nullptr, 0, &value), ORV_ERR_UNKNOWN);
    EXPECT_EQ(value, 42);
    EXPECT_EQ(orvGetThumbnailInfo(nullptr, nullptr), ORV_ERR_UNKNOWN);
    EXPECT_EQ(orvReadThumbnail(nullptr, nullptr), ORV_ERR_UNKNOWN);
    EXPECT_EQ(orvGetMetaSize(nullptr, nullptr), ORV_ERR_UNKNOWN);
    EXPECT_EQ(orvReadMeta(nullptr, nullptr, 0), ORV_ERR_UNKNOWN);
    EXPECT_EQ(orvGetVideoStreamInfo(nullptr, 0, nullptr), ORV_ERR_UNKNOWN);
    EXPECT_EQ(orvGetAudioStreamInfo(nullptr, 0, nullptr), ORV_ERR_UNKNOWN);
    EXPECT_EQ(orvOpenStream(nullptr, 0), ORV_ERR_UNKNOWN);
    EXPECT_EQ(orvCloseStream(nullptr), ORV_ERR_UNKNOWN);
    EXPECT_EQ(orvSeek(nullptr, 0), ORV_ERR_UNKNOWN);
    EXPECT_EQ(orvStep(nullptr, 1), ORV_ERR_UNKNOWN);
    EXPECT_EQ(orvReadFrame(nullptr, nullptr), ORV_ERR_UNKNOWN);
    EXPECT_EQ(orvDecodeFrame(nullptr, nullptr), ORV_ERR_UNKNOWN);
    orvFreeFrame(nullptr);
}

TEST(OrvException, CarriesMessageAndCode) {
    try {
        throw brindle::OrvException("unknown stream id", 13);
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "unknown stream id");
        EXPECT_EQ(dynamic_cast<const brindle::OrvException&>(e).code, 13u);
    }
}
