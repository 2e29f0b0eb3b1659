// DTMF key classifier: one block's magnitude spectrum in, one key or none out,
// plus the debounce that hands a held key on once.
//
// Each tone bin counts when it is strictly above threshold/2 times the mean of
// the 17 other bins of the band; exactly one row and one column make a key.
#include "KeyDetector.h"

#include <cstdint>

#include "DtmfFacts.h"
#include "FixedPoint.h"

namespace {

using namespace dtmf;
constexpr int kNoiseBins = kBandLast - kBandFirst + 1 - 8;  // the band less the 8 tone bins

}  // namespace

char KeyDetector::Classify(const int* spectrum, int threshold)
{
    std::int32_t total = 0;
    for (int k = kBandFirst; k <= kBandLast; ++k)
        total = Wrap32(std::int64_t{total} + spectrum[k]);
    for (int i = 0; i < 4; ++i)
        total = Wrap32(std::int64_t{total} - spectrum[kColumnBins[i]] - spectrum[kRowBins[i]]);
    const std::int32_t noise = total / kNoiseBins;
    const std::int32_t level = Wrap32(std::int64_t{noise} * threshold) / 2;

    int highHits = 0, lowHits = 0, c = 0, r = 0;
    for (int i = 0; i < 4; ++i) {
        if (spectrum[kColumnBins[i]] > level) {
            ++highHits;
            c = i;
        }
        if (spectrum[kRowBins[i]] > level) {
            ++lowHits;
            r = i;
        }
    }
    return highHits == 1 && lowHits == 1 ? kKeys[c + 4 * r] : '\0';
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
