// Placeholder until the video pipeline lands: refuses every video stream.
#include "orvenc_video.hpp"

namespace brindle {

OrvEncVideoStream::OrvEncVideoStream(int id, const OrvVideoStreamParams_st&, OrvEncContext&)
    : OrvEncStream(id) {
    throw OrvException("no encoder for format", ORV_ERR_UNKNOWN);
}
OrvEncVideoStream::~OrvEncVideoStream() = default;
const int32_t* OrvEncVideoStream::getPreferredSrcPixFmts() const { return nullptr; }
void OrvEncVideoStream::begin() {}
void OrvEncVideoStream::encodeFrame(const OrvSrcFrame_st&) {}
void OrvEncVideoStream::close() {}

}  // namespace brindle
