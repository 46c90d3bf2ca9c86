#include "progress.hpp"

#include <sys/stat.h>

#include <cstdio>

#include "command_line.hpp"

namespace orvtool {

namespace {

constexpr auto redrawInterval = std::chrono::milliseconds(250);

std::string clockText(double seconds) {
    const auto whole = static_cast<uint64_t>(seconds + 0.5);
    char text[32];
    if (whole >= 3600)
        std::snprintf(text, sizeof text, "%llu:%02llu:%02llu",
                      static_cast<unsigned long long>(whole / 3600),
                      static_cast<unsigned long long>(whole / 60 % 60),
                      static_cast<unsigned long long>(whole % 60));
    else
        std::snprintf(text, sizeof text, "%llu:%02llu", static_cast<unsigned long long>(whole / 60),
                      static_cast<unsigned long long>(whole % 60));
    return text;
}

uint64_t fileSize(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 ? static_cast<uint64_t>(info.st_size) : 0;
}

}  // namespace

std::string progressText(uint64_t framesDone, uint64_t total, double seconds,
                         uint64_t outputBytes) {
    const double fps = seconds > 0 ? framesDone / seconds : 0;
    std::string text = "frame " + std::to_string(framesDone);
    // An estimate from the input's duration can fall short; past it the
    // total means nothing.
    const bool known = total > 0 && framesDone <= total;
    if (known)
        text += " of " + std::to_string(total);
    char rate[64];
    if (known) {
        std::snprintf(rate, sizeof rate, "  %3.0f%%", 100.0 * framesDone / total);
        text += rate;
    }
    std::snprintf(rate, sizeof rate, "  %.1f fps", fps);
    text += rate;
    if (known && fps > 0)
        text += "  ETA " + clockText((total - framesDone) / fps);
    text += "  " + humanBytes(outputBytes);
    return text;
}

ProgressLine::ProgressLine(bool enabled, std::string label, std::string outputPath,
                           uint64_t total)
    : enabled(enabled),
      label(std::move(label)),
      outputPath(std::move(outputPath)),
      total(total),
      start(std::chrono::steady_clock::now()),
      lastDraw(start) {}

ProgressLine::~ProgressLine() {
    clear();
}

void ProgressLine::update(uint64_t framesDone) {
    if (!enabled)
        return;
    const auto now = std::chrono::steady_clock::now();
    if (drawn && now - lastDraw < redrawInterval)
        return;
    lastDraw = now;
    draw(framesDone);
}

void ProgressLine::done(uint64_t framesDone) {
    if (!enabled)
        return;
    draw(framesDone);
    std::fputs("\n", stderr);
    drawn = false;
}

void ProgressLine::clear() {
    if (!drawn)
        return;
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
    drawn = false;
}

void ProgressLine::draw(uint64_t framesDone) {
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const std::string text = progressText(framesDone, total, seconds, fileSize(outputPath));
    std::fprintf(stderr, "\r\033[K%s%s", label.c_str(), text.c_str());
    std::fflush(stderr);
    drawn = true;
}

}  // namespace orvtool
