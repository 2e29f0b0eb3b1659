#include "KeyEngine.h"

#include <algorithm>
#include <utility>

#include "CommandReader.h"
#include "FFT.h"
#include "KeyEdges.h"
#include "StrictDetector.h"

namespace {

// Every engine that brings no analyser shares this one: its tables are read-only
// once built, and building them costs a short recording as much as its decoding.
FFT& SharedFFT()
{
    static FFT fft(KeyEngine::kBlock);
    return fft;
}

}  // namespace

KeyEngine::KeyEngine(Sink s, bool strict) : KeyEngine(std::move(s), SharedFFT(), strict) {}

KeyEngine::KeyEngine(EventSink s, bool strict) : KeyEngine(Sink(), strict)
{
    events = std::move(s);
    edges = std::make_unique<KeyEdges>();
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
    if (edges)
        edges->Remember(block, blocks * kBlock);
    if (strictDetector) {
        // The strict checks form the bins they weigh and read the raw block.
        const char key = strictDetector->ProcessBlock(block, *fft, work, spectrum, kDetectionFactor);
        if (events)
            Track(KeyDetector::Classify(spectrum, kDetectionFactor), key, strictDetector->Held());
        else if (key)
            sink(key, blocks * kBlock);
        return;
    }
    fft->RunBand(block, work, spectrum, dtmf::kBandFirst, dtmf::kBandLast);
    const char classified = KeyDetector::Classify(spectrum, kDetectionFactor);
    const char key = detector.Debounce(classified);
    if (events)
        Track(classified, key, detector.Held());
    else if (key)
        sink(key, blocks * kBlock);
}

// After each block, with an event sink: the key it shows, the key the detector
// hands on (if any) and the key it holds now.
void KeyEngine::Track(char classified, char handOn, char held)
{
    const std::uint64_t end = blocks * kBlock;
    if (pressed.key && classified == pressed.key)
        lastSeen = end;
    if (pressed.key && held != pressed.key)
        Release();
    if (handOn) {
        pressed = {KeyEvent::Pressed, handOn, 0, end, 0};
        pressed.onset = std::clamp(edges->Onset(handOn, end), std::min(lastRelease, end), end);
        lastSeen = end;
        events(pressed);
    }
}

void KeyEngine::Release()
{
    KeyEvent released = pressed;
    released.phase = KeyEvent::Released;
    released.release = std::clamp(edges->Release(released.key, lastSeen), released.detected, blocks * kBlock);
    lastRelease = released.release;
    pressed = {};
    events(released);
}

void KeyEngine::Flush()
{
    if (events && pressed.key)
        Release();
}

KeyEngine::Sink KeyEngine::Into(CommandReader& reader)
{
    return [&reader](char key, std::uint64_t) { reader.ProcessChar(key); };
}
