// Strict key detection: a second opinion on every key that KeyDetector's
// classifier finds, for listeners that must not act on speech or music, and
// that must still hear a key typed while someone talks.
//
// A block counts for a key when both tones sit within 1.7 % of their nominal
// frequencies, are loud enough and not too unequal. Such a block earns a
// clarity score: how far each tone stands above the bins around it, the weaker
// tone above every other bin near the keypad's band, and the tones above their
// own harmonics (which voiced speech and instruments carry and keypads do not).
// A key is handed on when two consecutive counting blocks have steady tones, a
// clarity that adds up, tones that rose out of quieter sound just before (a
// key press starts both at once; a sustained note or a vowel was there before),
// and the sound has lasted long enough. It is held across a short break and
// released by a real pause.
//
// Integer arithmetic throughout the per-block checks, so that every machine
// hands on the same keys for the same samples.
#pragma once

#include <cstdint>

#include "VardellExport.h"

class FFT;

// The acceptance window. The defaults are what the strict mode uses; the
// conformance suite changes single limits to measure what each one buys.
// Level ratios beyond 40 dB count as 40 dB.
struct StrictLimits {
    double maxDeviation = 0.017;      // of each tone from its nominal frequency
    double maxDriftHz = 25;           // of either tone from one block to the next: no glides
    double minToneDbfs = -52;         // each tone (0 dBFS: a full-scale sine)
    double maxColumnAboveRowDb = 8;   // column tone louder than the row tone
    double maxRowAboveColumnDb = 12;  // row tone louder than the column tone
    // A block's clarity is the sum of three margins in dB, each held to -10 dB
    // at least and to its cap at most, so that one clear margin cannot hide
    // another that fails: each tone over the mean of the bins 3..5 away from it
    // (the smaller margin of the two); the weaker tone over the loudest bin of
    // 430..1900 Hz outside both tones; each tone over its harmonic (the column's
    // second, the row's third) where that stands out as a peak.
    double neighbourCapDb = 25;
    double bandCapDb = 15;
    double harmonicCapDb = 30;
    double minClarityDb = 100;  // the clarities of the two blocks that decide a key, added
    double minRiseDb = 9;       // each tone above its lowest level in the four blocks before the two
    double minToneMs = 35;      // sound that lasts less is no key
    double releaseDropDb = 16;  // a held key's tones falling this far end it
};

class VARDELL_API StrictKeyDetector {
public:
    explicit StrictKeyDetector(const StrictLimits& limits = {});

    // One block in capture order: its 256 samples, the 256-point analyser, a
    // 256-value workspace and a 128-bin spectrum, of which the bins the checks
    // read are formed (the classifier's band among them). Returns the key to
    // hand on, or '\0'.
    char ProcessBlock(const short* samples, const FFT& fft, short* work, int* spectrum, int threshold);
    // The key handed on and not yet released, or '\0'.
    char Held() const;

    // The band of bins formed in every block; harmonics are formed beyond it when needed.
    static constexpr int kFirstBin = 10, kLastBin = 44;

private:
    struct Tones {
        std::int64_t low = 0, high = 0;            // energy of each tone's peak and its two neighbours
        int lowPeak = 0, highPeak = 0;             // bin of each peak
        std::int64_t lowDrift = 0, highDrift = 0;  // each tone's distance from its nominal frequency, 1/1024 bin
        bool valid = false;
    };
    Tones Measure(const int* spectrum, int keyIndex) const;
    int Clarity(const FFT& fft, short* work, int* spectrum, const Tones& tones, int keyIndex) const;
    bool Rose(const Tones& tones) const;
    bool LongEnough(const short* samples);

    // Limits in the integer terms the per-block checks use: energy ratios as
    // log2 in 1/256 steps.
    std::int64_t nominalQ10[8];       // each tone's frequency, in 1/1024 bin
    std::int64_t maxDeviationQ10[8];  // per tone, in 1/1024 bin
    std::int64_t minToneEnergy;
    std::int64_t maxDriftQ10;
    std::int64_t columnOverRowQ10, rowOverColumnQ10, releaseQ10;
    int floorL, neighbourCapL, bandCapL, harmonicCapL, minClarityL, minRiseL;
    int minQuarters;

    static constexpr int kBins = kLastBin - kFirstBin + 1;
    std::int64_t quarters[8] = {};      // energy of the last 8 runs of 64 samples
    static constexpr int kHistory = 5;  // the previous block, and the four before it that a rise is measured from
    int history[kHistory][kBins] = {};  // the band of recent blocks, by block number modulo kHistory
    int block = 0;                      // this block's number modulo kHistory
    int lastValid = -1;                 // key index counted in the previous block
    Tones lastTones;                    // and its tones
    int lastClarity = 0;                // and its clarity
    int held = -1;                      // key index handed on and not yet released
    int heldMisses = 0;
    std::int64_t heldEnergy = 0;
};
