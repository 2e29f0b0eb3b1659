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
#include <memory>
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

// Interleaved frames that the caller holds or receives, turned into the chosen
// signal exactly as StreamDetectorSamples turns a recording's frames of that rate
// and channel count: the same frames give the same samples whichever road they take.
//
//     std::string error;
//     vardell::FrameStreams streams(48000, 2, {}, sink, error);  // error: no rate or channels, or no such channel
//     streams.Feed(frames, count);                               // 16-bit, or float at full scale +-1
//     streams.Finish();                                          // the end: what the resampler holds back
//
// Threads: used by one thread at a time; the sink runs inside Feed and Finish.
class VARDELL_API FrameStreams {
public:
    // `error` says why the frames cannot be taken, and is empty otherwise.
    FrameStreams(int rate, int channels, ChannelChoice choice, SampleSink sink, std::string& error);
    ~FrameStreams();
    FrameStreams(const FrameStreams&) = delete;
    FrameStreams& operator=(const FrameStreams&) = delete;

    // Whether 16-bit frames are taken as they are; otherwise they are read as floats, as libsndfile reads them.
    bool TakesShorts() const;
    // Any number of frames; false when resampling failed (Error() says why) or after Finish.
    bool Feed(const std::int16_t* frames, std::size_t count);
    bool Feed(const float* frames, std::size_t count);
    // The end of the frames: hands on what the resampler still holds; nothing more is taken afterwards.
    bool Finish();
    const std::string& Error() const;

private:
    struct State;
    std::unique_ptr<State> state;
};

// Whether `path` ("-": standard input) is read as its samples arrive: a pipe, a
// terminal or a socket, rather than a file.
VARDELL_API bool IsLiveInput(const std::string& path);

// Reads `path` ("-": standard input, which may be a pipe) and hands on the chosen
// signal resampled to 11025 Hz; 16-bit PCM at 11025 Hz is taken sample for sample.
VARDELL_API ReadOutcome StreamDetectorSamples(const std::string& path, const ReadOptions& options,
                                              const SampleSink& sink);
// The same for a file with a header; on failure `error` holds the reason.
VARDELL_API bool StreamDetectorSamples(const std::string& path, ChannelChoice choice, const SampleSink& sink,
                                       std::string& error);

}  // namespace vardell
