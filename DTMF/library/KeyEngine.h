// The detection road from samples to keys, free of devices and files: 16-bit
// mono samples at 11025 Hz go in, in any count per call; each debounced DTMF
// key comes out with the stream position of the block that produced it. The
// live monitor and file decoding both run their samples through it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>

#include "AudioMonitor.h"
#include "VardellExport.h"

class CommandReader;
class FFT;
class StrictKeyDetector;

class VARDELL_API KeyEngine {
public:
    static constexpr int kRate = 11025;
    static constexpr int kBlock = 256;
    static constexpr int kDetectionFactor = 6;  // a tone counts above 6/2 times the noise mean

    // Receives each key and the number of samples fed up to the end of its block.
    using Sink = std::function<void(char key, std::uint64_t end)>;

    // strict: a key must also pass StrictKeyDetector's checks (see StrictDetector.h).
    explicit KeyEngine(Sink sink, bool strict = false);
    // Borrows a 256-point analyser and reads `factor` afresh for every block.
    KeyEngine(Sink sink, FFT& fft, const int& factor, bool strict = false);
    ~KeyEngine();
    KeyEngine(const KeyEngine&) = delete;
    KeyEngine& operator=(const KeyEngine&) = delete;

    // Whole blocks are classified at once; the rest waits for the next call.
    void Feed(std::span<const short> samples);
    void Feed(const short* samples, std::size_t count) { Feed(std::span(samples, count)); }

    // The first sample of the block being classified (during a sink call) or last classified.
    std::uint64_t BlockStart() const { return blocks == 0 ? 0 : (blocks - 1) * kBlock; }

    // A sink that hands every key to reader.ProcessChar.
    static Sink Into(CommandReader& reader);

private:
    void Step(const short* block);

    Sink sink;
    std::unique_ptr<FFT> ownFFT;
    FFT* fft;
    const int* factor;
    KeyDetector detector;
    std::unique_ptr<StrictKeyDetector> strictDetector;  // null: the classifier and its debounce alone
    std::uint64_t blocks = 0;                           // classified so far, the current one included
    std::size_t held = 0;                               // samples waiting in `partial`
    short partial[kBlock];
    short work[kBlock];
    int spectrum[kBlock / 2] = {};
};
