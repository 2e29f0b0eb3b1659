// Where a key's pair of tones sounds, for as little as about 15 ms: the engine
// hands a key on only after two whole blocks (46 ms), while other receivers take
// tones of 20 ms. It weighs windows of 128 samples, a quarter window apart, and
// finds a key's tones in one when each stands well above the other tones of its
// group and the two carry much of the energy in the keys' band. Two such windows
// in a row open a stretch; the first window without them closes it. Internal to
// the library.
//
//     TonePairFinder finder([](std::uint64_t start, std::uint64_t end) { ... });  // end kOpen: still sounding
//     finder.Feed(samples, count);   // 11025 Hz 16-bit, as often as samples come
//     finder.Flush();                // the end of the stream closes a stretch still open
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>

#include "DtmfFacts.h"

class TonePairFinder {
public:
    static constexpr int kWindow = 128;  // 11.6 ms
    static constexpr int kHop = 32;
    static constexpr int kSegments = kWindow / kHop;  // of kHop samples in a window
    static constexpr std::uint64_t kOpen = std::numeric_limits<std::uint64_t>::max();
    // A stretch opens this many samples after its start at most.
    static constexpr int kLookBack = kWindow + kHop;
    static constexpr int kPhaseTaps = 6;  // half the band filter's taps, whose delay kLookBack covers

    // Receives a stretch's start when it opens (end kOpen), and its start and end
    // once it closes; positions count samples from the start of the stream.
    using Sink = std::function<void(std::uint64_t start, std::uint64_t end)>;

    explicit TonePairFinder(Sink sink) : sink(std::move(sink)) {}

    void Feed(const std::int16_t* samples, std::size_t count);
    void Flush();

private:
    struct Heard {
        int key = -1;  // whose tones the newest window holds, or -1
        bool clear = false;
    };

    void Segment();
    Heard WindowKey() const;

    Sink sink;
    // Per segment: each tone's correlation (real, imaginary) from the segment's start, and the energy, both through the
    // finder's filter.
    float correlation[kSegments][4][4] = {};  // real parts of tones 0-3, 4-7, then imaginary ones
    float energy[kSegments] = {};
    std::uint64_t segments = 0;  // segments seen
    // The segment's even and odd samples, after as many of those before it as the filter reaches.
    float even[kPhaseTaps + kHop / 2] = {}, odd[kPhaseTaps + kHop / 2] = {};
    int held = 0;
    int runKey = -1, runLength = 0, clearLength = 0;  // windows of the run; its latest clear ones in a row
    std::uint64_t runStart = 0, openStart = 0, lastEnd = 0;
    bool open = false;
};
