// An ORV file open through liborv's reader (orv_reader.h), for the tool's
// commands: the reader's refusals become ToolError with its reason, and
// streams are found by kind, as users count them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "command_line.hpp"
#include "orv_reader.h"

namespace orvtool {

// The reader would not open a file; `reason` is its own text.
class OpenRefused : public ToolError {
public:
    OpenRefused(const std::string& path, const std::string& reason);
    std::string reason;
};

class OrvFile {
public:
    // Throws OpenRefused, or ToolError when its sections cannot be listed.
    explicit OrvFile(const std::string& path);
    ~OrvFile();
    OrvFile(const OrvFile&) = delete;
    OrvFile& operator=(const OrvFile&) = delete;

    OrvReader* get() const { return reader; }
    const std::string& path() const { return name; }
    // Throws ToolError "what: <the reader's message>" unless result is 0.
    void check(OrvError_enum result, const std::string& what) const;

    // Every used slot, in slot order; a section's number is its place here.
    const std::vector<OrvReaderSection_st>& sections() const { return table; }
    // The numbers of the sections of one kind: its streams, in slot order.
    std::vector<uint32_t> streams(OrvSectionKind_enum kind) const;
    // The section of the nth stream of a kind; ToolError when there is none.
    uint32_t stream(OrvSectionKind_enum kind, uint64_t n) const;

    // Throw ToolError when the section's header cannot be read.
    OrvReaderVideoInfo_st video(uint32_t section) const;
    OrvReaderAudioInfo_st audio(uint32_t section) const;

private:
    std::string name;
    OrvReader* reader = nullptr;
    std::vector<OrvReaderSection_st> table;
};

}  // namespace orvtool
