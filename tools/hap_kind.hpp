// Which standard Hap variant a stored slice is, from its texture sections:
// what `orv info` names and what `orv remux` declares as the AVI fourcc.
#pragma once

#include "orv_reader.hpp"

namespace orvtool {

enum class HapKind {
    hap1,     // one BC1 texture
    hap5,     // one BC3 RGBA texture
    hapY,     // one scaled-YCoCg BC3 texture
    hapM,     // scaled-YCoCg BC3 and BC4 alpha in a multiple-image section
    unknown,  // any other shape (verify names the problem)
};

HapKind hapKindOf(const orvread::SliceFrame& slice);
// The `orv encode --format` name: "dxt1", "dxt5", "ycocg", "ycocg-alpha".
const char* formatNameOf(HapKind kind);
// The four characters of the AVI/QuickTime fourcc: "Hap1", "Hap5", "HapY", "HapM".
const char* fourccOf(HapKind kind);
const char* describe(HapKind kind);
// "none", "snappy", "lz4".
const char* compressionNameOf(uint32_t compression);

}  // namespace orvtool
