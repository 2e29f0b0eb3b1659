#include "KeySpans.h"

#include <algorithm>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>

#include "DetectorSignal.h"
#include "DtmfFacts.h"
#include "KeyEdges.h"
#include "KeyEngine.h"
#include "TonePairFinder.h"

namespace {

// The engine places a key's onset at most its history before the block that
// decides it, and its release at most its history before the block that ends
// it; the finder looks back less.
constexpr std::uint64_t kLookBack = std::uint64_t{KeyEdges::kHistoryBlocks} * dtmf::kBlock;
static_assert(TonePairFinder::kLookBack <= kLookBack);

std::uint64_t Frames(int rate, int ms)
{
    return (static_cast<std::uint64_t>(rate) * ms + 999) / 1000;
}

// How far behind its input, in detector samples, a converter's output falls at
// worst when fed kStep frames at a time: what it holds back depends on the counts
// fed alone, so silence shows it.
std::uint64_t ConverterLag(int rate)
{
    std::string error;
    DetectorSignal twin(rate, error);
    const std::vector<float> silence(KeySpans::kStep);
    const std::uint64_t steps = std::max<std::uint64_t>(64, 2 * static_cast<std::uint64_t>(rate) / KeySpans::kStep);
    std::uint64_t made = 0, lag = 0;
    for (std::uint64_t step = 1; step <= steps && error.empty(); ++step) {
        made += twin.Convert(silence, error).size();
        const std::uint64_t due = step * KeySpans::kStep * dtmf::kRate / static_cast<std::uint64_t>(rate);
        lag = std::max(lag, due > made ? due - made : 0);
    }
    return lag;
}

}  // namespace

// One channel's road to the detectors.
struct KeySpans::Channel {
    std::unique_ptr<DetectorSignal> signal;
    std::unique_ptr<KeyEngine> engine;
    std::unique_ptr<TonePairFinder> finder;
    std::uint64_t engineStretch = 0, finderStretch = 0;  // the open stretch of each, or 0
};

std::string KeySpans::Refusal(int channels, int rate)
{
    using namespace vardell;
    if (channels < 1 || channels > kRedactMaxChannels)
        return "redaction takes 1 to " + std::to_string(kRedactMaxChannels) + " channels, not " +
               std::to_string(channels);
    if (rate < kRedactMinRate || rate > kRedactMaxRate)
        return "redaction takes rates of " + std::to_string(kRedactMinRate) + " to " + std::to_string(kRedactMaxRate) +
               " Hz, not " + std::to_string(rate);
    return {};
}

KeySpans::KeySpans(int channelCount, int r, bool strict)
    : rate(r), margin(Frames(r, vardell::kRedactMarginMs)), join(Frames(r, vardell::kRedactJoinMs))
{
    for (int c = 0; c < channelCount; ++c) {
        auto channel = std::make_unique<Channel>();
        std::string error;
        channel->signal = std::make_unique<DetectorSignal>(rate, error);
        if (!error.empty())
            throw std::invalid_argument(error);
        Channel& self = *channel;
        channel->engine = std::make_unique<KeyEngine>(
            [this, &self, c](const KeyEvent& e) {
                if (e.phase == KeyEvent::Pressed)
                    Opened(self.engineStretch, c, e.onset);
                else
                    Closed(std::exchange(self.engineStretch, 0), e.release);
            },
            strict);
        channel->finder = std::make_unique<TonePairFinder>([this, &self, c](std::uint64_t start, std::uint64_t end) {
            if (end == TonePairFinder::kOpen)
                Opened(self.finderStretch, c, start);
            else
                Closed(std::exchange(self.finderStretch, 0), end);
        });
        channels.push_back(std::move(channel));
    }
    // A stretch that reaches back to frame p + join is known once the detectors
    // have heard its source's look-back beyond it; they trail the input by the
    // converter's lag, a partial block and a partial step.
    const std::uint64_t heard = (ConverterLag(rate) + dtmf::kBlock + kLookBack) * static_cast<std::uint64_t>(rate);
    delay = kStep + join + margin + 2 + (heard + dtmf::kRate - 1) / dtmf::kRate;
}

KeySpans::~KeySpans() = default;

void KeySpans::Opened(std::uint64_t& id, int channel, std::uint64_t start)
{
    const std::uint64_t frame = start * static_cast<std::uint64_t>(rate) / dtmf::kRate;
    id = nextId++;
    stretches.push_back({frame > margin ? frame - margin : 0, kOpen, channel, id});
}

void KeySpans::Closed(std::uint64_t id, std::uint64_t end)
{
    const std::uint64_t frame = (end * static_cast<std::uint64_t>(rate) + dtmf::kRate - 1) / dtmf::kRate + margin;
    for (Stretch& s : stretches)
        if (s.id == id)
            s.end = std::max(frame, s.start);
}

void KeySpans::Feed(Channel& channel, const std::int16_t* samples, std::size_t count)
{
    channel.engine->Feed(samples, count);
    channel.finder->Feed(samples, count);
}

void KeySpans::Hear(const float* planar, std::size_t frames)
{
    for (auto& channel : channels) {
        std::string error;
        const auto detector = channel->signal->Convert(std::span(planar, frames), error);
        if (!error.empty())
            throw std::runtime_error(error);
        Feed(*channel, detector.data(), detector.size());
        planar += kStep;
    }
}

void KeySpans::End(std::uint64_t frames)
{
    // Silence after the end lets the last partial block be heard and releases a key still sounding.
    const std::vector<std::int16_t> silence(2 * dtmf::kBlock, 0);
    for (auto& channel : channels) {
        std::string error;
        const auto tail = channel->signal->Convert({}, error);
        if (!error.empty())
            throw std::runtime_error(error);
        Feed(*channel, tail.data(), tail.size());
        Feed(*channel, silence.data(), silence.size());
        channel->engine->Flush();
        channel->finder->Flush();
    }
    for (Stretch& s : stretches)
        s.end = std::min(s.end, frames);
    std::erase_if(stretches, [](const Stretch& s) { return s.start >= s.end; });
}

KeySpans::Run KeySpans::Next(std::uint64_t at, std::uint64_t until)
{
    span.ended = false;
    if (at >= until)
        return {};
    Run run{0, true, false};
    if (!span.active) {
        const Stretch* first = nullptr;
        for (const Stretch& s : stretches)
            if (!first || s.start < first->start)
                first = &s;
        if (!first || first->start > at)
            return {std::min(first ? first->start : kOpen, until) - at, false, false};
        // A stretch that began before `at` would have come too late; the delay rules that out.
        span = {true, at, at, first->channel, false};
        run.starts = true;
    }
    // From the frames already out, the span reaches over every stretch that begins
    // before it ends or within the join; a stretch still sounding holds it open.
    std::uint64_t end = at;
    const auto reach = [&] { return end == kOpen ? kOpen : end + join; };
    for (bool grew = true; grew;) {
        grew = false;
        for (const Stretch& s : stretches) {
            if (s.start > reach())
                continue;
            if (s.channel != span.channel)
                span.channel = vardell::RedactedSpan::kSeveral;
            if (s.end > end)
                end = s.end, grew = true;
        }
    }
    span.end = end;
    run.frames = std::min(end, until) - at;
    span.ended = at + run.frames == end;
    return run;
}

void KeySpans::Wrote(const Run& run, vardell::RedactFill fill, const vardell::RedactedSink& sink)
{
    if (!run.overwrite || !span.ended)
        return;
    span.active = span.ended = false;
    std::erase_if(stretches, [&](const Stretch& s) { return s.end <= span.end; });
    if (sink)
        sink({span.channel, span.start, span.end, fill});
}
