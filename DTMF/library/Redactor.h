// The typed keys taken out of a recording as it is made: interleaved frames of
// any channel count at any rate go in, and the same frames come out Delay()
// frames later, with every DTMF key's tones overwritten on all channels from the
// key's onset less kRedactMarginMs to its release plus kRedactMarginMs. Keys are
// sought on every channel, by the engine (in either mode) and by a finder of
// tones as short as 15 ms; overwritten stretches less than kRedactJoinMs apart
// are joined into one span. Every other sample comes out as it went in, to the bit.
//
//     vardell::Redactor<float> redactor(2, 8000, {.fill = vardell::RedactFill::Noise},
//                                       [](const vardell::RedactedSpan& span) { log(span.start, span.end); });
//     std::size_t n = redactor.Process(in, frames, out);  // out: room for `frames` frames; n came out
//     n = redactor.Finish(out);                           // out: room for Delay() frames: the rest
//
// Threads: a redactor is used by one thread at a time; its sink runs inside
// Process or Finish, on the calling thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <type_traits>

#include "VardellExport.h"

namespace vardell {

// Overwritten stretches begin this long before a key's onset and end this long
// after its release: the engine places both to a few ms, and a remnant shorter
// than the finder's 15 ms is shorter than any receiver takes.
inline constexpr int kRedactMarginMs = 20;
// Stretches closer than this are joined, the samples between them overwritten too.
inline constexpr int kRedactJoinMs = 50;
// What a redactor takes.
inline constexpr int kRedactMaxChannels = 64;
inline constexpr int kRedactMinRate = 1000, kRedactMaxRate = 384000;

enum class RedactFill {
    Silence,  // zeros
    Noise,    // white noise at each channel's background level: its quietest 10 ms in the last half second
};

struct RedactOptions {
    RedactFill fill = RedactFill::Silence;
    bool strict = false;  // the engine's strict detection; the finder of short tones runs all the same
};

// One overwritten span: frames [start, end) of the stream, on every channel.
struct RedactedSpan {
    static constexpr int kSeveral = -1;
    int channel;  // the channel its keys were heard on, from 0; kSeveral: more than one
    std::uint64_t start;
    std::uint64_t end;
    RedactFill fill;
};

// Receives each span once its last frame has come out; spans come in stream order.
using RedactedSink = std::function<void(const RedactedSpan& span)>;

// Sample: std::int16_t, std::int32_t, float or double. Full scale is the type's
// range for integers and +-1 for floating point; a recording's samples are best
// taken in the type that holds them exactly (24-bit PCM as left-aligned int32,
// for instance), since they come out as they went in.
template <class Sample>
class VARDELL_API Redactor {
    static_assert(std::is_same_v<Sample, std::int16_t> || std::is_same_v<Sample, std::int32_t> ||
                      std::is_same_v<Sample, float> || std::is_same_v<Sample, double>,
                  "a redactor takes int16_t, int32_t, float or double samples");

public:
    // Throws std::invalid_argument for channels outside 1..kRedactMaxChannels or
    // a rate outside kRedactMinRate..kRedactMaxRate.
    Redactor(int channels, int rate, RedactOptions options = {}, RedactedSink sink = {});
    ~Redactor();
    Redactor(Redactor&&) noexcept;
    Redactor& operator=(Redactor&&) noexcept;

    // Frames by which the output trails the input: fixed for the channel count
    // and rate (the engine's look-back of 186 ms, the margin and the
    // join, and what the resampler holds back): 0.31 s at 8000 Hz, 0.30 s at
    // 11025 Hz, 0.35 to 0.37 s at 16000 to 48000 Hz.
    std::size_t Delay() const;

    // Takes `frames` interleaved frames and writes to `out` those that come out:
    // none until Delay() frames have gone in, then as many as go in. Returns how
    // many frames it wrote. `in` and `out` may be the same buffer.
    std::size_t Process(const Sample* in, std::size_t frames, Sample* out);
    // The end of the stream: writes the frames still held (at most Delay()) and
    // returns their count. The redactor takes no more frames after it.
    std::size_t Finish(Sample* out);

private:
    struct State;
    std::unique_ptr<State> state;
};

extern template class Redactor<std::int16_t>;
extern template class Redactor<std::int32_t>;
extern template class Redactor<float>;
extern template class Redactor<double>;

}  // namespace vardell
