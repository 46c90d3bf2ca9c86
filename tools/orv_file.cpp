#include "orv_file.hpp"


namespace orvtool {

// Some reasons name the file already ("cannot open PATH: ...").
OpenRefused::OpenRefused(const std::string& path, const std::string& reason)
    : ToolError(reason.find(path) == std::string::npos ? path + ": " + reason : reason),
      reason(reason) {}

OrvFile::OrvFile(const std::string& path) : name(path) {
    char message[1024] = "";
    if (orvReaderOpen(path.c_str(), &reader, message, sizeof message) != ORV_ERR_NONE)
        throw OpenRefused(path, message);
    try {
        uint32_t count = 0;
        check(orvReaderGetNumSections(reader, &count), "cannot list the sections");
        table.resize(count);
        for (uint32_t i = 0; i < count; ++i)
            check(orvReaderGetSection(reader, i, &table[i]), "cannot list the sections");
    } catch (...) {
        orvReaderClose(reader);  // no destructor runs for a constructor that throws
        throw;
    }
}

OrvFile::~OrvFile() { orvReaderClose(reader); }

void OrvFile::check(OrvError_enum result, const std::string& what) const {
    if (result != ORV_ERR_NONE)
        throw ToolError(what + ": " + orvReaderGetErrorMessage(reader));
}

std::vector<uint32_t> OrvFile::streams(OrvSectionKind_enum kind) const {
    std::vector<uint32_t> found;
    for (uint32_t i = 0; i < table.size(); ++i)
        if (table[i].kind == static_cast<uint32_t>(kind))
            found.push_back(i);
    return found;
}

uint32_t OrvFile::stream(OrvSectionKind_enum kind, uint64_t n) const {
    const std::vector<uint32_t> found = streams(kind);
    const char* noun = kind == ORV_SECTION_KIND_VIDEO ? "video stream" : "audio stream";
    if (n >= found.size())
        throw ToolError(name + " has " + counted(found.size(), noun) + "; --stream " +
                        std::to_string(n) + " is out of range");
    return found[n];
}

OrvReaderVideoInfo_st OrvFile::video(uint32_t section) const {
    OrvReaderVideoInfo_st info{};
    check(orvReaderGetVideoInfo(reader, section, &info), name);
    return info;
}

OrvReaderAudioInfo_st OrvFile::audio(uint32_t section) const {
    OrvReaderAudioInfo_st info{};
    check(orvReaderGetAudioInfo(reader, section, &info), name);
    return info;
}

}  // namespace orvtool
