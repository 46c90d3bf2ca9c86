// The second stage where the golden files cannot tell (they are written at
// hint 0): the level each LZ4 hint picks, the worst-case size the stream
// reserves for, and a refusal of the coder reported.

#include "orvenc_frame.hpp"
#include "orvenc_lz4.hpp"
#include "test_support.hpp"

TEST(SecondStage, LZ4HintsPickTheirLevelAndARefusalIsReported) {
    // Unknown hints get the default.
    for (const auto& [hint, level] : {std::pair{0u, 3}, {1u, 10}, {2u, 12}, {7u, 10}}) {
        OrvVideoStreamParams_st params;
        orvInitVideoStreamParams(&params);
        params.compressionHint = hint;
        EXPECT_EQ(brindle::OrvLZ4Compressor(params).level(), level) << hint;
    }
    const brindle::OrvLZ4Compressor coder(OrvVideoStreamParams_st{});
    EXPECT_EQ(coder.maxCompressedSize(65536), uint64_t(LZ4_compressBound(65536)) + 4);  // and the size prefix
    EXPECT_EQ(coder.maxCompressedSize(uint64_t{LZ4_MAX_INPUT_SIZE} + 1), UINT64_MAX);
    brindle::OrvEncTexture texture;
    texture.encoded = brindle::allocSharedBuffer(4096);
    std::memset(texture.encoded->data, 0x5A, 4096);
    texture.encodedSize = 0x7F000000;
    orvtest::expectOrvError([&] { brindle::OrvLZ4Compressor(OrvVideoStreamParams_st{}).compress(texture); },
                            13, "compression failed");
}
