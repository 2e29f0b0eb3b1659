#include "KeyEngine.h"

#include <algorithm>
#include <utility>

#include "CommandReader.h"
#include "FFT.h"
#include "StrictDetector.h"

namespace {

// The classifier reads the band 15..39 alone, so only those magnitudes are formed.
constexpr int kBandFirst = 15, kBandLast = 39;

}  // namespace

KeyEngine::KeyEngine(Sink s, bool strict)
    : sink(std::move(s)), ownFFT(std::make_unique<FFT>(kBlock)), fft(ownFFT.get()), factor(&kDetectionFactor)
{
    if (strict)
        strictDetector = std::make_unique<StrictKeyDetector>();
}

KeyEngine::KeyEngine(Sink s, FFT& f, const int& detectionFactor, bool strict)
    : sink(std::move(s)), fft(&f), factor(&detectionFactor)
{
    if (strict)
        strictDetector = std::make_unique<StrictKeyDetector>();
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
    if (strictDetector) {
        // The strict checks weigh the tones against the whole spectrum and the raw block.
        std::copy_n(block, kBlock, work);
        fft->Run(work, spectrum);
        if (const char key = strictDetector->ProcessBlock(block, spectrum, *factor))
            sink(key, blocks * kBlock);
        return;
    }
    fft->RunBand(block, work, spectrum, kBandFirst, kBandLast);
    if (const char key = detector.Debounce(KeyDetector::Classify(spectrum, *factor)))
        sink(key, blocks * kBlock);
}

KeyEngine::Sink KeyEngine::Into(CommandReader& reader)
{
    return [&reader](char key, std::uint64_t) { reader.ProcessChar(key); };
}
