// 16-bit mono from 8000 Hz, the telephone rate, to the detector's 11025 Hz
// (441/320), with a polyphase FIR made for DTMF: flat to within 0.002 dB over
// 600..1700 Hz, -3 dB at 3 kHz; linear phase and no delay (output sample j is
// input time j * 320/441); the images of the input up to 3.4 kHz at least 80 dB
// down (those of DTMF tones 83 dB or more), 56 dB at 4.4 kHz. Integer
// arithmetic throughout, so every processor gives the same samples. Depends on
// the standard library and intrinsics only. Internal to the library.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

class Resampler {
public:
    static constexpr int kInputRate = 8000, kOutputRate = 11025;
    static constexpr int kTaps = 16;  // input samples that make one output sample

    // Which instructions compute the output; all give the same samples.
    enum class Path { Portable, Sse2, Avx2, Best };
    static bool Available(Path path);

    // The filter tables are built once per process; a Resampler itself holds small buffers only.
    explicit Resampler(Path path = Path::Best);

    // The output that `in` completes; each output sample needs kTaps / 2 input samples after its
    // time, so the last few come with the next call or Flush. Valid until the next call.
    std::span<const std::int16_t> Process(std::span<const std::int16_t> in);
    // The rest, as if the signal were followed by silence: ceil(inputs * 441 / 320) samples in all.
    std::span<const std::int16_t> Flush();

private:
    std::span<const std::int16_t> Run(std::int64_t last);

    Path path;
    std::vector<std::int16_t> in;   // input from window start `first` on
    std::vector<std::int16_t> out;  // the last call's output
    std::int64_t first;             // input position of in[0]
    std::int64_t received = 0;      // input samples so far
    std::int64_t made = 0;          // output samples so far
};
