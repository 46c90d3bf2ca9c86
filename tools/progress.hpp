// The progress line of `orv encode` on a terminal: frames done of total,
// percent, frames per second, time left and the output's size so far,
// rewritten in place at most a few times a second.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace orvtool {

class ProgressLine {
public:
    // Draws nothing unless `enabled` (standard error is a terminal and the
    // user did not ask for quiet). `label` leads the line ("" for none); the
    // size shown is that of the file at `outputPath`. `total` 0: unknown, so
    // no percent or ETA.
    ProgressLine(bool enabled, std::string label, std::string outputPath, uint64_t total);
    ~ProgressLine();

    void update(uint64_t framesDone);
    // Draws the final state and ends the line.
    void done(uint64_t framesDone);
    // Clears the line so that a message can take its place.
    void clear();

private:
    void draw(uint64_t framesDone);

    bool enabled;
    std::string label;
    std::string outputPath;
    uint64_t total;
    std::chrono::steady_clock::time_point start;
    std::chrono::steady_clock::time_point lastDraw;
    bool drawn = false;
};

// A terminal line describing progress; separate from the drawing so it can
// be checked on its own. `seconds` is the time since the start.
std::string progressText(uint64_t framesDone, uint64_t total, double seconds, uint64_t outputBytes);

}  // namespace orvtool
