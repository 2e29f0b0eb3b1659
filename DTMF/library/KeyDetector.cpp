// DTMF key classifier: one block's magnitude spectrum in, one key or none out,
// plus the debounce that hands a held key on once.
//
// Bin k of the 256-point spectrum at 11025 Hz is centred on k * 43.07 Hz. Each
// tone bin counts when it is strictly above threshold/2 times the mean of the 17
// other bins of the band 15..39; exactly one row and one column make a key.
#include <cstdint>

#include "AudioMonitor.h"

namespace {

constexpr int lowToneBins[4] = {16, 18, 20, 22};   // rows: 697, 770, 852, 941 Hz
constexpr int highToneBins[4] = {28, 31, 34, 38};  // columns: 1209, 1336, 1477, 1633 Hz
constexpr char keyMap[] = "123A456B789C*0#D";      // column + 4 * row
constexpr int kBandFirst = 15, kBandLast = 39;
constexpr int kNoiseBins = 17;  // the band's 25 bins less the 8 tone bins

// 32-bit two's complement arithmetic without signed overflow: real spectra
// never come near the limit, but the spectrum is the caller's.
constexpr std::int32_t Wrap32(std::int64_t v)
{
    return static_cast<std::int32_t>(v);
}

}  // namespace

char KeyDetector::Classify(const int* spectrum, int threshold)
{
    std::int32_t total = 0;
    for (int k = kBandFirst; k <= kBandLast; ++k)
        total = Wrap32(std::int64_t{total} + spectrum[k]);
    for (int i = 0; i < 4; ++i)
        total = Wrap32(std::int64_t{total} - spectrum[highToneBins[i]] - spectrum[lowToneBins[i]]);
    const std::int32_t noise = total / kNoiseBins;
    const std::int32_t level = Wrap32(std::int64_t{noise} * threshold) / 2;

    int highHits = 0, lowHits = 0, c = 0, r = 0;
    for (int i = 0; i < 4; ++i) {
        if (spectrum[highToneBins[i]] > level) {
            ++highHits;
            c = i;
        }
        if (spectrum[lowToneBins[i]] > level) {
            ++lowHits;
            r = i;
        }
    }
    return highHits == 1 && lowHits == 1 ? keyMap[c + 4 * r] : '\0';
}

char KeyDetector::Debounce(char key)
{
    if (key == '\0') {  // only a keyless block re-arms a held key
        lastKey = sentKey = '\0';
        return '\0';
    }
    char handOn = '\0';
    if (key == lastKey && sentKey != key) {
        handOn = key;
        sentKey = key;
    }
    lastKey = key;
    return handOn;
}
