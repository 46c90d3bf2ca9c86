#include "remux_timing.hpp"

#include <cstdint>
#include <string>
#include <utility>

#include "command_line.hpp"

namespace orvtool {

namespace {

// Products of two 64-bit values stay exact in 128 bits.
using Wide = unsigned __int128;
using SignedWide = __int128;

Wide gcd(Wide a, Wide b) {
    while (b != 0) a = std::exchange(b, a % b);
    return a;
}

// num/den reduced, when both parts are then 1 to INT32_MAX, the range of
// the time bases and rates of containers.
std::optional<std::pair<int32_t, int32_t>> containerRatio(Wide num, Wide den) {
    if (num == 0 || den == 0)
        return std::nullopt;
    const Wide divisor = gcd(num, den);
    num /= divisor;
    den /= divisor;
    if (num > INT32_MAX || den > INT32_MAX)
        return std::nullopt;
    return std::pair{static_cast<int32_t>(num), static_cast<int32_t>(den)};
}

std::string ratioText(uint64_t num, uint64_t den) {
    return std::to_string(num) + "/" + std::to_string(den);
}

[[noreturn]] void unrepresentable(const std::string& what) {
    throw ToolError(what +
                    " cannot be represented: containers hold time bases and frame rates as "
                    "ratios of whole numbers from 1 to 2147483647");
}

VideoTiming constantRate(std::pair<int32_t, int32_t> rate, size_t frames) {
    VideoTiming timing;
    timing.rateNum = rate.first;
    timing.rateDen = rate.second;
    timing.timeBaseNum = rate.second;
    timing.timeBaseDen = rate.first;
    timing.times.resize(frames + 1);
    for (size_t k = 0; k <= frames; ++k) timing.times[k] = static_cast<int64_t>(k);
    return timing;
}

// Frames `step` ticks apart: the rate is timebaseDen / (step * timebaseNum).
VideoTiming equalSteps(const StoredTiming& stored, uint64_t step, size_t frames) {
    const auto rate = containerRatio(stored.timebaseDen, Wide{step} * stored.timebaseNum);
    if (!rate)
        unrepresentable("the frame rate of frames " + counted(step, "tick") + " of " +
                        ratioText(stored.timebaseNum, stored.timebaseDen) + " s apart");
    return constantRate(*rate, frames);
}

}  // namespace

VideoTiming planVideoTiming(const StoredTiming& stored, std::span<const int64_t> pts,
                            std::optional<int64_t> nextPts, uint64_t firstFrame) {
    if (pts.empty())
        throw ToolError("no frames to export");
    std::vector<int64_t> steps;
    for (size_t k = 1; k < pts.size(); ++k) {
        const SignedWide step = SignedWide{pts[k]} - pts[k - 1];
        if (step <= 0)
            throw ToolError("frame " + std::to_string(firstFrame + k) + " (pts " +
                            std::to_string(pts[k]) + ") does not come after frame " +
                            std::to_string(firstFrame + k - 1) + " (pts " +
                            std::to_string(pts[k - 1]) + "): players show frames in time order");
        if (step > INT64_MAX)
            throw ToolError("frames " + std::to_string(firstFrame + k - 1) + " and " +
                            std::to_string(firstFrame + k) + " lie further apart than " +
                            "a container's timestamps reach");
        steps.push_back(static_cast<int64_t>(step));
    }
    // The step after the last frame, when the file holds a later frame.
    std::optional<int64_t> stepAfter;
    if (nextPts) {
        const SignedWide step = SignedWide{*nextPts} - pts.back();
        if (step > 0 && step <= INT64_MAX)
            stepAfter = static_cast<int64_t>(step);
    }

    if (steps.empty() && stepAfter)
        return equalSteps(stored, static_cast<uint64_t>(*stepAfter), 1);
    if (steps.empty()) {
        const auto rate = containerRatio(stored.fpsNum, stored.fpsDen);
        if (!rate)
            unrepresentable("the frame rate " + ratioText(stored.fpsNum, stored.fpsDen) +
                            " (the length of the only frame)");
        return constantRate(*rate, 1);
    }
    bool equal = true;
    for (const int64_t step : steps) equal = equal && step == steps[0];
    if (equal)
        return equalSteps(stored, static_cast<uint64_t>(steps[0]), pts.size());

    VideoTiming timing;
    const auto timeBase = containerRatio(stored.timebaseNum, stored.timebaseDen);
    if (!timeBase)
        unrepresentable("the time base " + ratioText(stored.timebaseNum, stored.timebaseDen) +
                        " of frames at irregular times");
    timing.timeBaseNum = timeBase->first;
    timing.timeBaseDen = timeBase->second;
    timing.times.resize(pts.size() + 1);
    for (size_t k = 0; k < pts.size(); ++k) {
        const SignedWide time = SignedWide{pts[k]} - pts[0];
        if (time > INT64_MAX)
            throw ToolError("frame " + std::to_string(firstFrame + k) +
                            " lies further from the first than a container's timestamps reach");
        timing.times[k] = static_cast<int64_t>(time);
    }
    // The last frame lasts until the next one in the file, else one period
    // of the stored rate when that is a whole number of ticks, else as long
    // as the frame before it.
    int64_t last = steps.back();
    const Wide periodNum = Wide{stored.fpsDen} * stored.timebaseDen;
    const Wide periodDen = Wide{stored.fpsNum} * stored.timebaseNum;
    if (stepAfter)
        last = *stepAfter;
    else if (periodDen != 0 && periodNum % periodDen == 0 && periodNum / periodDen > 0 &&
             periodNum / periodDen <= INT64_MAX)
        last = static_cast<int64_t>(periodNum / periodDen);
    if (timing.times[pts.size() - 1] > INT64_MAX - last)
        throw ToolError("the last frame ends later than a container's timestamps reach");
    timing.times[pts.size()] = timing.times[pts.size() - 1] + last;
    return timing;
}

}  // namespace orvtool
