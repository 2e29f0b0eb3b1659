// A whole recording decoded, from its file (or pipe) to its lines and key
// records: the reading of Recording.h and one Decoder per stream, each line and
// record marked with the channel it came from. Every front end decodes through
// here, so that they all give the same lines and records.
//
//     vardell::DecodeSettings settings;
//     settings.input.channels.mode = vardell::ChannelChoice::Each;
//     vardell::ReadOutcome read = vardell::DecodeRecording("call.wav", settings, nullptr,
//         [](const vardell::KeyRecord& r) { std::printf("%d %c %.3f\n", r.channel, r.key, r.Start()); });
//
// Frames that the program holds itself (an array, a network stream) decode the
// same way through a FrameDecoder, which gives a recording's frames the same
// lines and records:
//
//     std::string error;
//     vardell::FrameDecoder decoder(8000, 2, settings, nullptr, record, error);  // error: see FrameStreams
//     decoder.Feed(frames, count);   // interleaved, 16-bit or float at full scale +-1
//     decoder.Finish();              // the end: the resampler's tail, and a key still held
//
// Threads: each call decodes on the calling thread, where the sinks run; calls on
// several threads at once are independent. A FrameDecoder is used by one thread
// at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "Decoder.h"
#include "Recording.h"
#include "VardellExport.h"

namespace vardell {

struct DecodeSettings {
    ReadOptions input;
    DecodeOutput output = DecodeOutput::Commands;  // what the lines hold
    bool strict = false;                           // KeyEngine's strict detection
};

// channel: as KeyRecord's; seconds and line: as a Decoder's.
using LineSink = std::function<void(int channel, double seconds, std::string_view line)>;

// Decodes `path` ("-": standard input) to `lines` and `records`, either of which may
// be empty. Lines come as their keys are decided, records as their keys end; a
// key still held at the end (or at a failure) ends there.
VARDELL_API ReadOutcome DecodeRecording(const std::string& path, const DecodeSettings& settings, const LineSink& lines,
                                        const RecordSink& records);

// Interleaved frames at `rate` with `channels` channels, decoded as DecodeRecording
// decodes a recording of that rate and channel count (settings.input.raw is not used).
class VARDELL_API FrameDecoder {
public:
    // `error` says why the frames cannot be decoded, and is empty otherwise.
    FrameDecoder(int rate, int channels, const DecodeSettings& settings, LineSink lines, RecordSink records,
                 std::string& error);
    ~FrameDecoder();

    // Interleaved std::int16_t or float frames, as FrameStreams::Feed takes them.
    template <class Sample>
    bool Feed(const Sample* frames, std::size_t count)
    {
        return Frames().Feed(frames, count);
    }
    // The end of the frames: the resampler's tail, then a key still held ends.
    bool Finish();
    const std::string& Error() const { return Frames().Error(); }

private:
    FrameStreams& Frames() const;

    struct State;
    std::unique_ptr<State> state;  // never moved: the streams' sink points into it
};

}  // namespace vardell
