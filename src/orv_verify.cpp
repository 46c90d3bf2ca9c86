// Checking a whole file against what liborv writes, for `orv verify`: every
// problem is reported and the check goes on; only a failed read stops it.
#include <algorithm>
#include <numeric>

#include "orv_file_reader.hpp"

namespace brindle {

namespace {

std::string str(uint64_t value) { return std::to_string(value); }

uint64_t addClamped(uint64_t a, uint64_t b) { return b > UINT64_MAX - a ? UINT64_MAX : a + b; }

using Report = std::function<void(const std::string&)>;

// Runs `check`; a damaged-data failure becomes a problem of `where`, a
// failed read stops the verification. Returns whether the check passed.
template <typename Check>
bool reported(const Report& report, const std::string& where, Check&& check) {
    try {
        check();
        return true;
    } catch (const OrvException& error) {
        if (error.code != ORV_ERR_UNKNOWN) throw;
        report(where + ": " + error.what());
        return false;
    }
}

class VideoVerifier {
public:
    VideoVerifier(const OrvFileReader& reader, const Section& section, const Report& report)
        : reader(reader), section(section), v(*section.video), report(report) {}

    void run() {
        checkIndex();
        // Each distinct record once, in file order: entries that point at
        // the same record again are already reported by the index check.
        std::vector<uint32_t> order(v.frameCount);
        std::iota(order.begin(), order.end(), 0u);
        std::stable_sort(order.begin(), order.end(), [this](uint32_t a, uint32_t b) {
            return std::pair(v.frameOffsets[a], v.frameSizes[a]) <
                   std::pair(v.frameOffsets[b], v.frameSizes[b]);
        });
        for (size_t i = 0; i < order.size(); ++i) {
            const uint32_t k = order[i];
            if (i > 0 && v.frameOffsets[k] == v.frameOffsets[order[i - 1]] &&
                v.frameSizes[k] == v.frameSizes[order[i - 1]])
                continue;
            checkFrame(k);
        }
    }

private:
    void add(uint64_t at, const std::string& what) {
        report(section.name + ": offset " + str(at) + ": " + what);
    }

    // The records follow one another from the start of the frame data, and
    // the frame data holds exactly them.
    void checkIndex() {
        const uint64_t n = v.frameCount;
        uint64_t running = v.frameDataAt, total = 0;
        for (uint64_t k = 0; k < n; ++k) {
            if (v.frameOffsets[k] != running)
                add(v.indexAt + kOrvIndexSizeBytes * n + kOrvIndexOffsetBytes * k,
                    "frame " + str(k) + " offset: expected " + str(running) + ", found " +
                        str(v.frameOffsets[k]));
            // Continued from the stored offset, so one bad entry is reported once.
            running = addClamped(v.frameOffsets[k], v.frameSizes[k]);
            total += v.frameSizes[k];
        }
        if (total != v.frameDataSize)
            add(section.offset + kOrvVideoFrameDataSizeAt,
                "frame data size is " + str(v.frameDataSize) + ", but the frame sizes add up to " +
                    str(total));
    }

    void checkFrame(uint32_t k) {
        const std::string where = section.name + ", frame " + str(k);
        FrameHead head;
        const StreamLayout* layout = v.layout ? &*v.layout : nullptr;
        if (!reported(report, where, [&] { head = reader.readFrameHead(section, k, layout); }))
            return;
        for (uint64_t i = 0; i < head.grid.count(); ++i) {
            const std::string sliceWhere = where + ", slice " + str(i);
            HapSlice slice;
            if (!reported(report, sliceWhere, [&] { slice = reader.readSlice(head, i, bytes); }))
                continue;
            if (layout)
                reported(report, where, [&] { checkSliceLayout(*layout, slice, i); });
            if (slice.longHeaderAt != UINT64_MAX)
                report(sliceWhere + ": offset " + str(slice.longHeaderAt) +
                       ": long Hap section header for data the short form holds");
            for (uint32_t p = 0; p < slice.planes.count; ++p) {
                const HapTexture& texture = slice.textures[p];
                const uint64_t expected = uint64_t{head.sizes.sliceWidth / 4u} *
                                          (head.sizes.sliceHeight / 4u) *
                                          texBlockBytes(texture.format);
                reported(report, sliceWhere + ", texture " + str(p), [&] {
                    checkTextureClaim(texture, expected);
                    unpackTexture(texture, blocks.get(expected), expected);
                });
            }
        }
    }

    const OrvFileReader& reader;
    const Section& section;
    const VideoSection& v;
    const Report& report;
    Scratch bytes, blocks;
};

}  // namespace

uint64_t OrvFileReader::verify(const Report& report) const {
    uint64_t count = 0;
    const Report counted = [&](const std::string& problem) {
        ++count;
        report(problem);
    };
    for (const std::string& problem : problems) counted(problem);
    for (const Section& section : sectionList) {
        if (!section.failure.empty()) {
            counted(section.name + ": " + section.failure);
            continue;
        }
        if (section.video) VideoVerifier(*this, section, counted).run();
    }
    return count;
}

}  // namespace brindle
