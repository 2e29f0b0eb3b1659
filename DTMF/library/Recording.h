// Recordings read for the detector: any file that libsndfile understands, read
// piece by piece and handed on as 16-bit mono at 11025 Hz, in constant memory.
//
//     std::string error;
//     bool ok = vardell::StreamDetectorSamples("call.wav", {}, [&](int, const std::int16_t* s, std::size_t n) {
//         engine.Feed(s, n);                  // stream 0: the channels mixed down
//     }, error);
//
// Threads: each call reads on the calling thread, where the sink runs too; calls
// on several threads at once are independent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "DtmfFacts.h"
#include "VardellExport.h"

namespace vardell {

// Which signal of a recording to decode: its channels mixed down to one, one
// channel (from 0), or every channel on its own.
struct ChannelChoice {
    enum { MixDown, One, Each } mode = MixDown;
    int channel = 0;
};

// Receives the next piece of stream `stream` (0 for a mix-down or one channel,
// the channel for Each); all streams advance together.
using SampleSink = std::function<void(int stream, const std::int16_t* samples, std::size_t count)>;

// Reads `path` ("-": standard input, which may be a pipe) and hands on the chosen
// signal resampled to 11025 Hz; 16-bit PCM at 11025 Hz is taken sample for
// sample. On failure `error` holds the reason; what was read before a failure
// has been handed on.
VARDELL_API bool StreamDetectorSamples(const std::string& path, ChannelChoice choice, const SampleSink& sink,
                                       std::string& error);

}  // namespace vardell
