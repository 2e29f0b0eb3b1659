#include "KeyEngine.h"

#include <algorithm>
#include <utility>

#include "CommandReader.h"
#include "FFT.h"
#include "StrictDetector.h"

KeyEngine::KeyEngine(Sink s, bool strict)
    : sink(std::move(s)),
      ownFFT(std::make_unique<FFT>(kBlock)),
      fft(ownFFT.get()),
      strictDetector(strict ? std::make_unique<StrictKeyDetector>() : nullptr)
{
}

KeyEngine::KeyEngine(Sink s, FFT& f, bool strict)
    : sink(std::move(s)), fft(&f), strictDetector(strict ? std::make_unique<StrictKeyDetector>() : nullptr)
{
}

KeyEngine::~KeyEngine() = default;

void KeyEngine::Feed(const short* samples, std::size_t count)
{
    if (held > 0) {
        const std::size_t take = std::min(count, kBlock - held);
        std::copy_n(samples, take, partial + held);
        held += take;
        samples += take, count -= take;
        if (held < kBlock)
            return;
        held = 0;
        Step(partial);
    }
    for (; count >= kBlock; samples += kBlock, count -= kBlock)
        Step(samples);
    std::copy_n(samples, count, partial);
    held = count;
}

void KeyEngine::Step(const short* block)
{
    ++blocks;
    if (strictDetector) {
        // The strict checks weigh the tones against the whole spectrum and the raw block.
        std::copy_n(block, kBlock, work);
        fft->Run(work, spectrum);
        if (const char key = strictDetector->ProcessBlock(block, spectrum, kDetectionFactor))
            sink(key, blocks * kBlock);
        return;
    }
    fft->RunBand(block, work, spectrum, dtmf::kBandFirst, dtmf::kBandLast);
    if (const char key = detector.Debounce(KeyDetector::Classify(spectrum, kDetectionFactor)))
        sink(key, blocks * kBlock);
}

KeyEngine::Sink KeyEngine::Into(CommandReader& reader)
{
    return [&reader](char key, std::uint64_t) { reader.ProcessChar(key); };
}
