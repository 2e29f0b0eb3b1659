// Strict key detection: a second opinion on every key that KeyDetector's
// classifier finds, for listeners that must not act on speech or music.
//
// A block only counts when both tones sit within a few per cent of their
// nominal frequencies, are loud enough, not too unequal, and stand well above
// every other bin of the spectrum. A key is handed on once it has been seen in
// two consecutive blocks with steady tones and the sound has lasted long
// enough; it is held across a short break and released by a real pause.
#pragma once

#include <cstdint>

#include "VardellExport.h"

// The acceptance window. The defaults are what the strict mode uses; the
// conformance suite widens single limits to measure what each one buys.
// Level ratios beyond 40 dB count as 40 dB.
struct StrictLimits {
    double maxDeviation = 0.025;      // of each tone from its nominal frequency
    double maxDriftHz = 10;           // of either tone from one block to the next: no glides
    double minToneDbfs = -52;         // each tone (0 dBFS: a full-scale sine)
    double maxColumnAboveRowDb = 6;   // column tone louder than the row tone
    double maxRowAboveColumnDb = 10;  // row tone louder than the column tone
    double minPeakAboveRestDb = 15;   // the louder tone above any other bin: no chords, no harmonics
    double minToneMs = 35;            // sound that lasts less is no key
    double releaseDropDb = 16;        // a held key's tones falling this far end it
};

class VARDELL_API StrictKeyDetector {
public:
    explicit StrictKeyDetector(const StrictLimits& limits = {});

    // One block in capture order: its 256 samples as captured (before the FFT
    // overwrites them) and its 128-bin magnitude spectrum. Returns the key to
    // hand on, or '\0'.
    char ProcessBlock(const short* samples, const int* spectrum, int threshold);
    // The key handed on and not yet released, or '\0'.
    char Held() const;

private:
    struct Tones {
        std::int64_t low = 0, high = 0;            // energy of each tone's peak and its two neighbours
        int lowPeak = 0, highPeak = 0;             // bin of each peak
        std::int64_t lowDrift = 0, highDrift = 0;  // each tone's distance from its nominal frequency, 1/1024 bin
        bool valid = false;
    };
    Tones Measure(const int* spectrum, int keyIndex) const;
    bool LongEnough(const short* samples);

    // Limits in the integer terms the per-block checks use.
    std::int64_t maxDeviationQ10[8];  // per tone, in 1/1024 bin
    std::int64_t minToneEnergy;
    std::int64_t maxDriftQ10;
    std::int64_t columnOverRowQ10, rowOverColumnQ10, peakOverRestQ10, releaseQ10;
    int minQuarters;

    std::int64_t quarters[8] = {};  // energy of the last 8 runs of 64 samples
    int lastValid = -1;             // key index validated in the previous block
    Tones lastTones;                // and its tones
    int held = -1;                  // key index handed on and not yet released
    int heldMisses = 0;
    std::int64_t heldEnergy = 0;
};
