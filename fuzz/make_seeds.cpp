// Writes the committed seed corpora: small encoder programs covering every
// output format, both compressors, audio layouts, several streams, refusals
// and failures (fuzz/corpus/encoder/), and the file each program leaves,
// which seeds the reader (fuzz/corpus/reader/).
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "brindle.hpp"
#include "harness.hpp"

namespace {

using orvfuzz::ProgramWriter;

// Pixel format choices of a frame: RGBA, BGRA, and RGB24, which the block
// encoder refuses.
constexpr uint8_t rgba = 1, bgra = 2, rgb24 = 0;

std::vector<std::pair<std::string, ProgramWriter>> programs() {
    std::vector<std::pair<std::string, ProgramWriter>> all;
    auto frames = [](ProgramWriter& p, int count, uint8_t pixFmt, uint8_t origin) {
        for (int i = 0; i < count; ++i) p.videoFrame(pixFmt, origin, 100 + 3 * i);
    };
    {
        ProgramWriter p(1);
        p.addVideo(16, 16, 0, 0, 1).begin(1);
        frames(p, 3, rgba, 0);
        all.emplace_back("dxt1_none", p.end().finish());
    }
    {
        ProgramWriter p(2);
        p.addVideo(18, 10, 1, 1, 2).begin(1);
        frames(p, 3, bgra, 1);
        all.emplace_back("ycocg_snappy_bottom_up", p.end().finish());
    }
    {
        ProgramWriter p(3);
        p.addVideo(32, 32, 2, 2, 4).begin(1);
        frames(p, 3, rgba, 0);
        all.emplace_back("dxt5_lz4", p.end().finish());
    }
    {
        ProgramWriter p(4);
        p.addVideo(20, 20, 3, 2, 0).begin(1);
        frames(p, 3, bgra, 0);
        all.emplace_back("ycocg_alpha_lz4", p.end().finish());
    }
    {
        ProgramWriter p(1);
        p.addAudio(2, 2).begin(1).audioFrame(100).audioFrame(5000).audioFrame(0);
        all.emplace_back("audio_stereo", p.end().finish());
    }
    {
        ProgramWriter p(2);
        p.addAudio(1, 1).addVideo(12, 8, 3, 1, 3).begin(1).audioFrame(300).end().begin(2);
        frames(p, 2, rgba, 1);
        all.emplace_back("audio_then_video", p.end().finish());
    }
    {
        ProgramWriter p(3);
        p.addVideo(8, 8, 0, 2, 1).addAudio(6, 3).addVideo(24, 4, 2, 1, 5).addAudio(3, 0);
        p.begin(2).audioFrame(50).end();
        p.begin(1);
        frames(p, 2, rgba, 0);
        p.end().begin(4).audioFrame(70).end().begin(3);
        frames(p, 2, bgra, 1);
        all.emplace_back("two_video_two_audio", p.finish());
    }
    {
        // Two slices side by side: a side of 3072 is divided.
        ProgramWriter p(2);
        p.u8(orvfuzz::opAddVideo).u8(6).u16(3072).u8(0).u8(3);  // 3072 x 4
        p.u8(0).u8(1).u8(25).u16(25).u16(1).u8(0).u8(0).u8(0).u8(1).u8(0);
        p.begin(1);
        frames(p, 2, rgba, 0);
        all.emplace_back("two_slices", p.end().finish());
    }
    {
        ProgramWriter p(1);
        all.emplace_back("empty_session", p.finish());
    }
    {
        // A frame the block encoder refuses, then a failing allocation.
        ProgramWriter p(2);
        p.addVideo(16, 16, 0, 1, 16).begin(1);
        frames(p, 2, rgba, 0);
        frames(p, 1, rgb24, 0);
        frames(p, 1, rgba, 0);
        p.end().addVideo(16, 16, 2, 2, 1).begin(2).u8(orvfuzz::opFailAllocation).u8(3);
        frames(p, 4, rgba, 0);
        all.emplace_back("failures", p.end().finish());
    }
    {
        // Refusals: calls out of order, frames of the wrong size.
        ProgramWriter p(1);
        p.end().begin(0).addVideo(16, 16, 0, 0, 1).videoFrame(rgba, 0, 1).begin(1).begin(1);
        p.u8(orvfuzz::opVideoFrame).u8(0).u8(1).u8(5).u8(rgba).u8(0).u8(0).u64(7).u8(0).u8(1).u8(0);
        p.u8(orvfuzz::opQuery).u8(1).u8(orvfuzz::opQuery).u8(0).end().begin(1).finish().finish();
        all.emplace_back("refusals", p);
    }
    return all;
}

void write(const std::filesystem::path& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_seeds CORPUS_DIR\n");
        return 2;
    }
    brindle::logOpen("/dev/null");
    const std::filesystem::path root = argv[1];
    std::filesystem::create_directories(root / "encoder");
    std::filesystem::create_directories(root / "reader");
    const std::string output = (std::filesystem::temp_directory_path() / "orv_make_seeds.orv").string();
    int failed = 0;
    for (const auto& [name, program] : programs()) {
        write(root / "encoder" / name, program.bytes);
        const std::string problem = orvfuzz::runEncoderProgram(program.bytes, output);
        if (!problem.empty()) {
            std::fprintf(stderr, "%s: %s\n", name.c_str(), problem.c_str());
            ++failed;
            continue;
        }
        std::ifstream in(output, std::ios::binary);
        write(root / "reader" / name,
              std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {}));
    }
    std::filesystem::remove(output);
    return failed == 0 ? 0 : 1;
}
