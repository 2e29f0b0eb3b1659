#include "KeyEngine.h"

#include <algorithm>
#include <utility>

#include "CommandReader.h"
#include "FFT.h"

namespace {

// The classifier reads the band 15..39 alone, so only those magnitudes are formed.
constexpr int kBandFirst = 15, kBandLast = 39;

}  // namespace

KeyEngine::KeyEngine(Sink s)
    : sink(std::move(s)), ownFFT(std::make_unique<FFT>(kBlock)), fft(ownFFT.get()), factor(&kDetectionFactor)
{
}

KeyEngine::KeyEngine(Sink s, FFT& f, const int& detectionFactor) : sink(std::move(s)), fft(&f), factor(&detectionFactor)
{
}

KeyEngine::~KeyEngine() = default;

void KeyEngine::Feed(std::span<const short> samples)
{
    if (held > 0) {
        const std::size_t take = std::min(samples.size(), kBlock - held);
        std::copy_n(samples.begin(), take, partial + held);
        held += take;
        samples = samples.subspan(take);
        if (held < kBlock)
            return;
        held = 0;
        Step(partial);
    }
    for (; samples.size() >= kBlock; samples = samples.subspan(kBlock))
        Step(samples.data());
    std::copy(samples.begin(), samples.end(), partial);
    held = samples.size();
}

void KeyEngine::Step(const short* block)
{
    ++blocks;
    fft->RunBand(block, work, spectrum, kBandFirst, kBandLast);
    if (const char key = detector.Debounce(KeyDetector::Classify(spectrum, *factor)))
        sink(key, blocks * kBlock);
}

KeyEngine::Sink KeyEngine::Into(CommandReader& reader)
{
    return [&reader](char key, std::uint64_t) { reader.ProcessChar(key); };
}
