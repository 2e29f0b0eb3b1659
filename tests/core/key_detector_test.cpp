// The classifier on hand-made spectra, the debounce on key sequences, and all
// sixteen keys from synthesised tones through the analyser.
#include <gtest/gtest.h>

#include <string>

#include "AudioMonitor.h"
#include "FFT.h"
#include "tones.h"

using namespace testsig;

namespace {

constexpr int kLow[4] = {16, 18, 20, 22};
constexpr int kHigh[4] = {28, 31, 34, 38};

// Bins 15..39 at 100, the rest 0.
Spectrum Band()
{
    Spectrum s{};
    for (int k = 15; k <= 39; ++k)
        s[k] = 100;
    return s;
}

Spectrum KeySpectrum(char key)
{
    Spectrum s = Band();
    if (key) {
        const int at = static_cast<int>(std::string(kKeys).find(key));
        s[kLow[at / 4]] = 1000;
        s[kHigh[at % 4]] = 1000;
    }
    return s;
}

struct Recorder {
    std::string keys;
    void ProcessChar(char key) { keys += key; }
};

// Runs one block per character ('.' for a block without a key).
std::string Debounced(const std::string& blocks)
{
    KeyDetector detector;
    Recorder sink;
    for (char b : blocks) {
        const Spectrum s = KeySpectrum(b == '.' ? '\0' : b);
        detector.ProcessBlock(s.data(), 6, sink);
    }
    return sink.keys;
}

}  // namespace

TEST(Classify, HandMadeSpectra)
{
    Spectrum silent;
    silent.fill(1);
    EXPECT_EQ(KeyDetector::Classify(silent.data(), 6), '\0');
    EXPECT_EQ(KeyDetector::Classify(Spectrum{}.data(), 6), '\0');

    Spectrum one = Band();
    one[16] = one[28] = 1000;
    EXPECT_EQ(KeyDetector::Classify(one.data(), 6), '1');

    Spectrum atLevel = one;  // level is 3 * 100 and the test is strict
    atLevel[28] = 300;
    EXPECT_EQ(KeyDetector::Classify(atLevel.data(), 6), '\0');
    atLevel[28] = 301;
    EXPECT_EQ(KeyDetector::Classify(atLevel.data(), 6), '1');

    Spectrum twoRows = one;
    twoRows[18] = 1000;
    EXPECT_EQ(KeyDetector::Classify(twoRows.data(), 6), '\0');
    Spectrum twoCols = one;
    twoCols[38] = 1000;
    EXPECT_EQ(KeyDetector::Classify(twoCols.data(), 6), '\0');

    Spectrum d = Band();
    d[38] = d[22] = 1000;
    EXPECT_EQ(KeyDetector::Classify(d.data(), 6), 'D');

    // Bins outside 15..39 are never read.
    Spectrum outside = one;
    outside[0] = outside[14] = outside[40] = outside[127] = 2000000000;
    EXPECT_EQ(KeyDetector::Classify(outside.data(), 6), '1');

    // The noise mean truncates: 17 noise bins summing to 16 give noise 0, so any
    // positive tone bin counts.
    Spectrum faint{};
    faint[15] = 16;
    faint[16] = faint[28] = 1;
    EXPECT_EQ(KeyDetector::Classify(faint.data(), 6), '1');
}

TEST(Debounce, KeySequences)
{
    EXPECT_EQ(Debounced("5555"), "5");
    EXPECT_EQ(Debounced("5."), "");
    EXPECT_EQ(Debounced("55.55"), "55");
    EXPECT_EQ(Debounced("55855"), "5");
    EXPECT_EQ(Debounced("558855"), "585");
    EXPECT_EQ(Debounced("588"), "8");
    EXPECT_EQ(Debounced("5.5.5"), "");
}

TEST(Debounce, AmbiguousBlockActsAsNoKey)
{
    KeyDetector detector;
    Recorder sink;
    Spectrum five = KeySpectrum('5'), ambiguous = KeySpectrum('5');
    ambiguous[kLow[0]] = 1000;
    for (const Spectrum* s : {&five, &five, &ambiguous, &five, &five})
        detector.ProcessBlock(s->data(), 6, sink);
    EXPECT_EQ(sink.keys, "55");
}

// Tones as a phone sends them: both at one level, at various phases relative
// to the block, clean and with noise at 20 dB SNR per tone.
TEST(Tones, AllSixteenKeysThroughTheAnalyser)
{
    FFT fft(256);
    const double amplitude = 6000;
    const double noisePeak = amplitude / 10 * std::sqrt(3.0);  // uniform noise, RMS = A / 10
    for (int r = 0; r < 4; ++r) {
        for (int c = 0; c < 4; ++c) {
            const char key = kKeys[c + 4 * r];
            for (int start : {0, 97, 1000, 4321}) {
                const Spectrum clean = Analyse(fft, Tones({kRowHz[r], kColHz[c]}, amplitude, start));
                EXPECT_EQ(KeyDetector::Classify(clean.data(), 6), key) << "start " << start;
                const Spectrum noisy =
                    Analyse(fft, Tones({kRowHz[r], kColHz[c]}, amplitude, start, noisePeak, start + 1));
                EXPECT_EQ(KeyDetector::Classify(noisy.data(), 6), key) << "noisy, start " << start;
            }
        }
    }
    // A single tone or white noise alone is no key.
    EXPECT_EQ(KeyDetector::Classify(Analyse(fft, Tones({697}, amplitude)).data(), 6), '\0');
    EXPECT_EQ(KeyDetector::Classify(Analyse(fft, Tones({}, 0, 0, 8000, 3)).data(), 6), '\0');
}
