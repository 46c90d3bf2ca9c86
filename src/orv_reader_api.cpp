// The C entry points of orv_reader.h: each turns the reader's exceptions into
// a code and keeps the message for the calling thread.
#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <unordered_map>

#include "orv_file_reader.hpp"
#include "orv_reader.h"

struct OrvReader {
    explicit OrvReader(const std::string& path) : file(path) {}

    // Keeps `message` as the calling thread's last failure.
    void fail(const std::string& message) {
        std::lock_guard<std::mutex> guard(lock);
        messages[std::this_thread::get_id()] = message;
    }
    const char* lastFailure() {
        std::lock_guard<std::mutex> guard(lock);
        const auto found = messages.find(std::this_thread::get_id());
        return found == messages.end() ? "" : found->second.c_str();
    }

    const brindle::OrvFileReader file;
    // Guards `messages`: one entry per thread that ever failed on this
    // handle. An entry's text changes only by its own thread's failure, so a
    // pointer handed to that thread stays valid until then.
    std::mutex lock;
    std::unordered_map<std::thread::id, std::string> messages;
};

namespace {

using brindle::OrvException;

// Runs `call` on the handle; an exception becomes its code and the calling
// thread's message.
template <typename Call>
OrvError_enum guarded(OrvReader* reader, Call&& call) {
    if (reader == nullptr) return ORV_ERR_UNKNOWN;
    try {
        call();
        return ORV_ERR_NONE;
    } catch (const OrvException& error) {
        reader->fail(error.what());
        return static_cast<OrvError_enum>(error.code);
    } catch (const std::bad_alloc&) {
        reader->fail("out of memory");
        return ORV_ERR_OUT_OF_MEMORY;
    } catch (const std::exception& error) {
        reader->fail(error.what());
        return ORV_ERR_UNKNOWN;
    }
}

void require(const void* argument, const char* name) {
    if (argument == nullptr) throw OrvException(std::string(name) + " is NULL", ORV_ERR_UNKNOWN);
}

void copyMessage(const std::string& text, char* message, size_t messageSize) {
    if (message == nullptr || messageSize == 0) return;
    const size_t length = std::min(text.size(), messageSize - 1);
    std::memcpy(message, text.data(), length);
    message[length] = '\0';
}

}  // namespace

extern "C" {

OrvError_enum orvReaderOpen(const char* path, OrvReader** reader, char* message,
                            size_t messageSize) {
    try {
        require(path, "path");
        require(reader, "reader");
        *reader = new OrvReader(path);
        return ORV_ERR_NONE;
    } catch (const OrvException& error) {
        copyMessage(error.what(), message, messageSize);
        return static_cast<OrvError_enum>(error.code);
    } catch (const std::bad_alloc&) {
        copyMessage("out of memory", message, messageSize);
        return ORV_ERR_OUT_OF_MEMORY;
    } catch (const std::exception& error) {
        copyMessage(error.what(), message, messageSize);
        return ORV_ERR_UNKNOWN;
    }
}

OrvError_enum orvReaderClose(OrvReader* reader) {
    delete reader;
    return ORV_ERR_NONE;
}

const char* orvReaderGetErrorMessage(OrvReader* reader) {
    return reader == nullptr ? "" : reader->lastFailure();
}

OrvError_enum orvReaderGetNumSections(OrvReader* reader, uint32_t* count) {
    return guarded(reader, [&] {
        require(count, "count");
        *count = static_cast<uint32_t>(reader->file.sections().size());
    });
}

OrvError_enum orvReaderGetSection(OrvReader* reader, uint32_t section, OrvReaderSection_st* info) {
    return guarded(reader, [&] {
        require(info, "info");
        const auto& sections = reader->file.sections();
        if (section >= sections.size())
            throw OrvException("section " + std::to_string(section) + " of a file of " +
                                   std::to_string(sections.size()) + " sections",
                               ORV_ERR_UNKNOWN_STREAM);
        const brindle::Section& s = sections[section];
        *info = {s.slot, static_cast<uint32_t>(s.kind), s.type, s.offset, s.size};
    });
}

OrvError_enum orvReaderGetVideoInfo(OrvReader* reader, uint32_t section,
                                    OrvReaderVideoInfo_st* info) {
    return guarded(reader, [&] {
        require(info, "info");
        const brindle::VideoSection& v = reader->file.video(section);
        OrvReaderVideoInfo_st out{};
        out.width = v.width;
        out.height = v.height;
        out.format = out.compression = -1;
        if (v.layout) {
            out.sliceWidth = v.layout->sizes.sliceWidth;
            out.sliceHeight = v.layout->sizes.sliceHeight;
            out.numColumns = v.layout->grid.numColumns;
            out.numRows = v.layout->grid.numRows;
            out.format = v.layout->format;
            out.compression = v.layout->compression;
        }
        out.frameCount = v.frameCount;
        out.timebaseNum = v.timebaseNum;
        out.timebaseDen = v.timebaseDen;
        out.fpsNum = v.fpsNum;
        out.fpsDen = v.fpsDen;
        *info = out;
    });
}

OrvError_enum orvReaderGetAudioInfo(OrvReader* reader, uint32_t section,
                                    OrvReaderAudioInfo_st* info) {
    return guarded(reader, [&] {
        require(info, "info");
        const brindle::AudioSection& a = reader->file.audio(section);
        *info = {a.sampleRate, a.numChannels, brindle::kWavBitsPerSample, a.numSamples};
    });
}

OrvError_enum orvReaderGetFramePts(OrvReader* reader, uint32_t section, uint32_t frame,
                                   int64_t* pts) {
    return guarded(reader, [&] {
        require(pts, "pts");
        *pts = reader->file.framePts(section, frame);
    });
}

OrvError_enum orvReaderFindFrame(OrvReader* reader, uint32_t section, int64_t time,
                                 uint32_t* frame) {
    return guarded(reader, [&] {
        require(frame, "frame");
        *frame = reader->file.findFrame(section, time);
    });
}

OrvError_enum orvReaderGetTextureLayout(OrvReader* reader, uint32_t section, uint32_t layout,
                                        OrvReaderTexture_st* textures, uint32_t capacity,
                                        uint32_t* numTextures, uint64_t* bufferSize) {
    return guarded(reader, [&] {
        require(numTextures, "numTextures");
        require(bufferSize, "bufferSize");
        if (capacity > 0) require(textures, "textures");
        const brindle::TextureLayoutSize size = reader->file.textureLayoutSize(section, layout);
        if (size.count > UINT32_MAX)
            throw OrvException(
                "a frame of " + std::to_string(size.count) + " textures: more than a count holds",
                ORV_ERR_UNKNOWN);
        const uint64_t written = std::min<uint64_t>(capacity, size.count);
        for (uint64_t i = 0; i < written; ++i)
            textures[i] = reader->file.texture(section, layout, i);
        *numTextures = static_cast<uint32_t>(size.count);
        *bufferSize = size.bytes;
    });
}

OrvError_enum orvReaderReadTextures(OrvReader* reader, uint32_t section, uint32_t frame,
                                    uint32_t layout, void* buffer, uint64_t bufferSize) {
    return guarded(reader, [&] {
        require(buffer, "buffer");
        reader->file.readTextures(section, frame, layout,
                                  {static_cast<uint8_t*>(buffer), static_cast<size_t>(bufferSize)});
    });
}

OrvError_enum orvReaderDecodeFrame(OrvReader* reader, uint32_t section, uint32_t frame,
                                   uint32_t pixFmt, uint32_t origin, void* buffer, size_t stride,
                                   size_t bufferSize) {
    return guarded(reader, [&] {
        require(buffer, "buffer");
        reader->file.decodeFrame(section, frame, pixFmt, origin, static_cast<uint8_t*>(buffer),
                                 stride, bufferSize);
    });
}

OrvError_enum orvReaderReadFrameRecord(OrvReader* reader, uint32_t section, uint32_t frame,
                                       void* buffer, uint64_t bufferSize, uint64_t* recordSize) {
    return guarded(reader, [&] {
        require(recordSize, "recordSize");
        *recordSize =
            buffer == nullptr
                ? reader->file.frameRecordSize(section, frame)
                : reader->file.readFrameRecord(
                      section, frame,
                      {static_cast<uint8_t*>(buffer), static_cast<size_t>(bufferSize)});
    });
}

OrvError_enum orvReaderReadAudio(OrvReader* reader, uint32_t section, uint64_t first,
                                 uint64_t count, int16_t* samples) {
    return guarded(reader, [&] {
        if (count > 0) require(samples, "samples");
        reader->file.readAudio(section, first, count, samples);
    });
}

OrvError_enum orvReaderReadAudioFloat(OrvReader* reader, uint32_t section, uint64_t first,
                                      uint64_t count, float* samples) {
    return guarded(reader, [&] {
        if (count > 0) require(samples, "samples");
        reader->file.readAudioFloat(section, first, count, samples);
    });
}

OrvError_enum orvReaderVerify(OrvReader* reader, OrvReaderProblemFn report, void* user,
                              uint64_t* numProblems) {
    return guarded(reader, [&] {
        require(numProblems, "numProblems");
        *numProblems = reader->file.verify([&](const std::string& problem) {
            if (report != nullptr) report(user, problem.c_str());
        });
    });
}

}  // extern "C"
