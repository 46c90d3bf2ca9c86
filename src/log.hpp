// What the library asks of its own diagnostic log beyond writing lines.
#pragma once

namespace brindle {

// Whether log lines currently go anywhere (logClose turns the log off, the
// next logOpen on again). Cheap and safe from any thread: work whose only
// use is a log line, such as the status line's PSNR, is skipped while it is
// false. The answer may be stale by the time the line is written.
bool logEnabled();

}  // namespace brindle
