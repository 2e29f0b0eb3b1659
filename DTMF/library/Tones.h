// DTMF test signals: each key as its row and column sines, followed by a pause,
// optionally under white noise.
//
//     std::vector<std::int16_t> call = vardell::GenerateTones("#123", {.toneMs = 100, .levelDb = -20});
//
// Threads: any thread; equal options give equal samples on every machine.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "DtmfFacts.h"
#include "VardellExport.h"

namespace vardell {

struct ToneOptions {
    // What a test signal may ask for; ToneProblem names the first that is exceeded.
    static constexpr double kMaxMs = 600000;     // a tone or a pause
    static constexpr double kMinLevelDb = -150;  // below that no sample moves
    static constexpr double kMaxTwistDb = 40;    // either way
    static constexpr double kMinSnrDb = -40, kMaxSnrDb = 150;
    static constexpr double kMaxSignalMs = 3600e3;  // an hour is 80 MB at 11025 Hz: more is a typo
    static constexpr int kMinRate = 1000, kMaxRate = 1000000;

    double toneMs = 80;
    double gapMs = 60;
    double levelDb = -10;  // dBFS of each of the two sines (0 dBFS: a full-scale sine)
    double twistDb = 0;    // the column (high) tone this much above the row (low) tone
    bool noise = false;    // white Gaussian noise over the whole signal, ...
    double snrDb = 0;      // ... this far below the power of one key's two tones
    std::uint64_t seed = 1;
    int sampleRate = dtmf::kRate;
};

// 16-bit mono samples of `keys` (every one a DTMF key); equal options give equal output.
VARDELL_API std::vector<std::int16_t> GenerateTones(std::string_view keys, const ToneOptions& options);

// Why `keys` and `options` make no test signal (no keys, a character that is not a
// key, a value beyond ToneOptions' limits), or empty when they make one.
VARDELL_API std::string ToneProblem(std::string_view keys, const ToneOptions& options);

}  // namespace vardell
