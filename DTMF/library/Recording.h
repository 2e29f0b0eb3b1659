// Recordings read for the detector: any file that libsndfile understands, or raw
// samples in a format the caller names, read piece by piece and handed on as
// 16-bit mono at 11025 Hz, in constant memory. A pipe or a terminal is read as
// its samples arrive (WAV and raw; other formats in libsndfile's whole pieces),
// so that a live input is decoded as it comes.
//
//     vardell::ReadOutcome read = vardell::StreamDetectorSamples("call.wav", {}, [&](int, const std::int16_t* s,
//     std::size_t n) {
//         engine.Feed(s, n);                  // stream 0: the channels mixed down
//     });
//     if (!read.ok()) std::puts(read.error.c_str());
//
// Threads: each call reads on the calling thread, where the sink runs too; calls
// on several threads at once are independent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "DtmfFacts.h"
#include "RawFormat.h"
#include "VardellExport.h"

namespace vardell {

// Which signal of a recording to decode: its channels mixed down to one, one
// channel (from 0), or every channel on its own.
struct ChannelChoice {
    enum { MixDown, One, Each } mode = MixDown;
    int channel = 0;
};

// How to read a recording.
struct ReadOptions {
    ChannelChoice channels;
    std::optional<RawFormat> raw;  // headerless samples in this format; nullopt: the file's header says
};

struct ReadOutcome {
    std::string error;    // why the reading failed; what was read before has been handed on
    std::string warning;  // what was odd without stopping it: a partial frame at the end of raw samples
    bool ok() const { return error.empty(); }
};

// Receives the next piece of stream `stream` (0 for a mix-down or one channel,
// the channel for Each); all streams advance together.
using SampleSink = std::function<void(int stream, const std::int16_t* samples, std::size_t count)>;

// Reads `path` ("-": standard input, which may be a pipe) and hands on the chosen
// signal resampled to 11025 Hz; 16-bit PCM at 11025 Hz is taken sample for sample.
VARDELL_API ReadOutcome StreamDetectorSamples(const std::string& path, const ReadOptions& options,
                                              const SampleSink& sink);
// The same for a file with a header; on failure `error` holds the reason.
VARDELL_API bool StreamDetectorSamples(const std::string& path, ChannelChoice choice, const SampleSink& sink,
                                       std::string& error);

}  // namespace vardell
