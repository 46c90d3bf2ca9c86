// The session-free C functions: error texts, version, initialisers, decoder stubs.
#include <gtest/gtest.h>

#include <cstring>

#include "orv.h"

TEST(PublicInterface, ErrorTextsVersionInitialisersAndDecoderStubs) {
    const char* expected[] = {"no error", "out of memory", "failed to open file",
                              "too many streams", "IO error", "unknown stream",
                              "unknown pixel format", "unknown ORV pixel format",
                              "unknown ORV compression format", "invalid dimensions",
                              "invalid timebase", "invalid aspect ratio", "unsupported device",
                              "unknown error", "unknown error", "unknown error"};
    const int codes[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, -1};
    for (int i = 0; i < 16; ++i)
        EXPECT_STREQ(orvErrorStr(static_cast<OrvError_enum>(codes[i])), expected[i]) << codes[i];
    EXPECT_STREQ(orvLinkedVersion(), "1.0.0");
    EXPECT_EQ(orvGetAvailableEncodeDevices() + orvGetNumSupportedVideoStreams() +
                  orvGetNumSupportedAudioStreams(), 3);
    // Initialisers set the defaults and zero everything else, padding included.
    OrvVideoStreamParams_st video, expectedVideo;
    std::memset(&video, 0xCD, sizeof video);
    std::memset(&expectedVideo, 0, sizeof expectedVideo);
    orvInitVideoStreamParams(&video);
    expectedVideo.aspectRatio = 1.0;
    expectedVideo.compression = 2;
    expectedVideo.reserved = expectedVideo.compressionHint = 1;
    expectedVideo.maxParallel = 16;
    expectedVideo.device = 1;
    EXPECT_EQ(std::memcmp(&video, &expectedVideo, sizeof video), 0);
    OrvAudioStreamParams_st audio, zero;
    std::memset(&audio, 0xCD, sizeof audio);
    std::memset(&zero, 0, sizeof zero);
    orvInitAudioStreamParams(&audio);
    EXPECT_EQ(std::memcmp(&audio, &zero, sizeof audio), 0);
    // The decoder stays a stub that touches no argument.
    OrvDec* decoder = reinterpret_cast<OrvDec*>(0x1);
    EXPECT_EQ(orvDecoderOpen("/nonexistent", &decoder), ORV_ERR_OPEN_FILE);
    EXPECT_EQ(decoder, reinterpret_cast<OrvDec*>(0x1));
    int value = 42;
    EXPECT_EQ(orvNumSections(nullptr, &value), ORV_ERR_UNKNOWN);
    EXPECT_EQ(orvGetSectionType(nullptr, 0, &value), ORV_ERR_UNKNOWN);
    EXPECT_EQ(value, 42);
}
