// Where a redactor overwrites: the keys heard on each channel, by the engine and
// by the finder of short tones, as stretches of input frames with the margins,
// joined into spans; and, frame by frame as they come out, whether to keep or
// overwrite them. Internal to the library.
//
//     KeySpans spans(2, 8000, false);
//     spans.Hear(planar, frames);                // each channel's next frames, full scale +-1
//     for (KeySpans::Run run; (run = spans.Next(at, until)).frames; at += run.frames)
//         ... keep or overwrite, then spans.Wrote(run, sink);
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Redactor.h"

class DetectorSignal;
class KeyEngine;
class TonePairFinder;

class KeySpans {
public:
    static constexpr std::size_t kStep = 256;  // input frames heard at a time

    // Why a redactor cannot take `channels` at `rate`, or empty.
    static std::string Refusal(int channels, int rate);

    // Throws std::invalid_argument when the rate cannot be converted for the detector.
    KeySpans(int channels, int rate, bool strict);
    ~KeySpans();
    KeySpans(const KeySpans&) = delete;
    KeySpans& operator=(const KeySpans&) = delete;

    // The delay that lets every span be known before its first frame comes out,
    // when the input is heard in steps of kStep frames.
    std::size_t Delay() const { return delay; }

    // The next `frames` (at most kStep) of each channel: channel c at planar + c * kStep.
    void Hear(const float* planar, std::size_t frames);
    // The end of the stream, `length` frames long: keys still sounding end with it.
    void End(std::uint64_t length);

    struct Run {
        std::uint64_t frames = 0;
        bool overwrite = false;
        bool starts = false;  // a span begins with this run
    };
    // The run of output frames from `at` (the first not yet out) to at most `until`.
    Run Next(std::uint64_t at, std::uint64_t until);
    // The run has come out: reports the span it ended, if any, with `fill`.
    void Wrote(const Run& run, vardell::RedactFill fill, const vardell::RedactedSink& sink);

private:
    static constexpr std::uint64_t kOpen = ~std::uint64_t{0};
    struct Stretch {
        std::uint64_t start, end;  // input frames, margins included; end kOpen while sounding
        int channel;
        std::uint64_t id;
    };
    struct Channel;

    // A source of channel `channel` heard a stretch start or end (detector samples).
    void Opened(std::uint64_t& id, int channel, std::uint64_t start);
    void Closed(std::uint64_t id, std::uint64_t end);
    void Feed(Channel& channel, const std::int16_t* samples, std::size_t count);

    int rate;
    std::uint64_t margin, join;  // frames
    std::size_t delay = 0;
    std::vector<std::unique_ptr<Channel>> channels;
    std::vector<Stretch> stretches;
    std::uint64_t nextId = 1;
    struct {
        bool active = false;
        std::uint64_t start = 0, end = 0;
        int channel = 0;
        bool ended = false;  // by the run last handed out
    } span;
};
