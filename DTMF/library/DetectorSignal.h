// One stream of float samples (full scale +-1) on its way to the detector's
// 11025 Hz 16-bit: resampled unless already at that rate, then rounded. The
// output lines up with the input in time: sample n of the output lies at
// n / 11025 s of the input. Internal to the library.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

class DetectorSignal {
public:
    // `error` says why the stream cannot be converted, and is empty otherwise.
    DetectorSignal(int rate, std::string& error);
    ~DetectorSignal();
    DetectorSignal(const DetectorSignal&) = delete;
    DetectorSignal& operator=(const DetectorSignal&) = delete;

    // The detector's samples for the next piece of input, valid until the next
    // call; `in` empty: the end of the signal, which flushes what is still held.
    std::span<const std::int16_t> Convert(std::span<const float> in, std::string& error);

private:
    struct Resampler;
    std::unique_ptr<Resampler> resampler;  // null at the detector's rate
    double ratio = 1;
    std::vector<float> resampled;
    std::vector<std::int16_t> out;
};

// Rounds full-scale floats to 16 bits (halves away from zero, clamped; NaN gives 0).
void ToDetectorSamples(std::span<const float> in, std::int16_t* out);
