// One stream on its way to the detector's 11025 Hz 16-bit: taken as it is at
// that rate, resampled from 8000 Hz by the FIR made for it (on 16-bit samples),
// and from any other rate by soxr's high quality (on floats, full scale +-1).
// The output lines up with the input in time: sample n of the output lies at
// n / 11025 s of the input. Internal to the library.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "Resampler.h"

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
    // The same from 16-bit samples; only where TakesSamples().
    std::span<const std::int16_t> Convert(std::span<const std::int16_t> in);
    // Whether 16-bit samples may come in as they are (no soxr, which works on floats).
    bool TakesSamples() const { return !resampler; }

private:
    struct Soxr;
    std::unique_ptr<Soxr> resampler;  // null at the detector's rate and at 8000 Hz
    std::unique_ptr<Resampler> fir;   // at 8000 Hz
    double ratio = 1;
    std::vector<float> resampled;
    std::vector<std::int16_t> out;
};

// Rounds full-scale floats to 16 bits (halves away from zero, clamped; NaN gives 0).
void ToDetectorSamples(std::span<const float> in, std::int16_t* out);
