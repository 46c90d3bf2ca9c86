#include "hap_kind.hpp"

namespace orvtool {

HapKind hapKindOf(const orvread::SliceFrame& slice) {
    if (!orvread::sliceShapeProblem(slice).empty())
        return HapKind::unknown;
    if (slice.textures.size() == 2)
        return HapKind::hapM;
    switch (slice.textures[0].texFormat) {
        case orvread::texBC1: return HapKind::hap1;
        case orvread::texBC3: return HapKind::hap5;
        case orvread::texYCoCgBC3: return HapKind::hapY;
        default: return HapKind::unknown;
    }
}

const char* formatNameOf(HapKind kind) {
    switch (kind) {
        case HapKind::hap1: return "dxt1";
        case HapKind::hap5: return "dxt5";
        case HapKind::hapY: return "ycocg";
        case HapKind::hapM: return "ycocg-alpha";
        default: return "unknown";
    }
}

const char* fourccOf(HapKind kind) {
    switch (kind) {
        case HapKind::hap1: return "Hap1";
        case HapKind::hap5: return "Hap5";
        case HapKind::hapY: return "HapY";
        case HapKind::hapM: return "HapM";
        default: return "";
    }
}

const char* describe(HapKind kind) {
    switch (kind) {
        case HapKind::hap1: return "RGB DXT1";
        case HapKind::hap5: return "RGBA DXT5";
        case HapKind::hapY: return "scaled YCoCg DXT5";
        case HapKind::hapM: return "scaled YCoCg DXT5 + BC4 alpha";
        default: return "not a texture layout an ORV file holds";
    }
}

const char* compressionNameOf(uint32_t compression) {
    switch (compression) {
        case orvread::compressionNone: return "none";
        case orvread::compressionSnappy: return "snappy";
        case orvread::compressionLZ4: return "lz4";
        default: return "unknown";
    }
}

}  // namespace orvtool
