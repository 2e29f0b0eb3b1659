#include "Redactor.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "ComfortNoise.h"
#include "KeySpans.h"

namespace vardell {

namespace {

template <class Sample>
constexpr double kFullScale = std::is_floating_point_v<Sample> ? 1.0 : -double{std::numeric_limits<Sample>::min()};

// Exact for 16-bit and floating point; 32-bit keeps float's 24 bits, plenty for the detectors.
template <class Sample>
float Normalised(Sample x)
{
    return static_cast<float>(x) * static_cast<float>(1 / kFullScale<Sample>);
}

template <class Sample>
Sample FromNormalised(double v)
{
    if constexpr (std::is_floating_point_v<Sample>) {
        return static_cast<Sample>(v);
    } else {
        using Limits = std::numeric_limits<Sample>;
        return static_cast<Sample>(
            std::clamp(std::round(v * kFullScale<Sample>), double{Limits::min()}, double{Limits::max()}));
    }
}

}  // namespace

template <class Sample>
struct Redactor<Sample>::State {
    State(int channelCount, int rate, RedactOptions o, RedactedSink s)
        : channels(static_cast<std::size_t>(channelCount)),
          options(o),
          sink(std::move(s)),
          spans(channelCount, rate, o.strict),
          capacity(spans.Delay() + KeySpans::kStep),
          ring(capacity * channels),
          planar(KeySpans::kStep * channels),
          squares(channels)
    {
        if (options.fill == RedactFill::Noise)
            noise.emplace(channelCount, rate);
    }

    // Copies the next frames into the ring, which has room for them.
    void Take(const Sample* in, std::size_t frames)
    {
        while (frames > 0) {
            const std::size_t at = taken % capacity, n = std::min(frames, capacity - at);
            std::memcpy(&ring[at * channels], in, n * channels * sizeof(Sample));
            in += n * channels, frames -= n, taken += n;
        }
    }

    void Hear(std::size_t frames)
    {
        std::size_t at = heard % capacity;
        for (std::size_t f = 0; f < frames; ++f, at = at + 1 == capacity ? 0 : at + 1)
            for (std::size_t c = 0; c < channels; ++c)
                planar[c * KeySpans::kStep + f] = Normalised(ring[at * channels + c]);
        spans.Hear(planar.data(), frames);
        heard += frames;
    }

    // Writes the frames up to `until` to `out`; returns their count.
    std::size_t Release(std::uint64_t until, Sample* out)
    {
        const std::uint64_t first = given;
        while (given < until) {
            const KeySpans::Run run = spans.Next(given, until);
            if (run.overwrite)
                Overwrite(run, out);
            else
                Keep(run.frames, out);
            out += run.frames * channels;
            given += run.frames;
            spans.Wrote(run, options.fill, sink);
        }
        return given - first;
    }

    void Keep(std::uint64_t frames, Sample* out)
    {
        for (std::uint64_t f = 0; f < frames;) {
            const std::size_t at = (given + f) % capacity, n = std::min<std::size_t>(frames - f, capacity - at);
            std::memcpy(out + f * channels, &ring[at * channels], n * channels * sizeof(Sample));
            f += n;
        }
        for (std::uint64_t f = 0; noise && f < frames; ++f) {
            const Sample* frame = out + f * channels;
            for (std::size_t c = 0; c < channels; ++c) {
                const double v = Normalised(frame[c]);
                squares[c] = v * v;
            }
            noise->Keep(given + f, squares.data());
        }
    }

    void Overwrite(const KeySpans::Run& run, Sample* out)
    {
        if (!noise) {
            std::fill_n(out, run.frames * channels, Sample{});
            return;
        }
        if (run.starts)
            noise->Begin(given);
        noise->Skip(given, run.frames);
        for (std::size_t i = 0; i < run.frames * channels; ++i)
            out[i] = FromNormalised<Sample>(noise->Next(i % channels));
    }

    std::size_t channels;
    RedactOptions options;
    RedactedSink sink;
    KeySpans spans;
    std::size_t capacity;  // frames
    std::vector<Sample> ring;
    std::vector<float> planar;  // the next step for the detectors, channel by channel
    std::vector<double> squares;
    std::optional<ComfortNoise> noise;
    std::uint64_t taken = 0, heard = 0, given = 0;  // frames taken in, heard by the detectors, given out
    bool finished = false;
};

template <class Sample>
Redactor<Sample>::Redactor(int channels, int rate, RedactOptions options, RedactedSink sink)
{
    if (const std::string refusal = KeySpans::Refusal(channels, rate); !refusal.empty())
        throw std::invalid_argument(refusal);
    state = std::make_unique<State>(channels, rate, options, std::move(sink));
}

template <class Sample>
Redactor<Sample>::~Redactor() = default;
template <class Sample>
Redactor<Sample>::Redactor(Redactor&&) noexcept = default;
template <class Sample>
Redactor<Sample>& Redactor<Sample>::operator=(Redactor&&) noexcept = default;

template <class Sample>
std::size_t Redactor<Sample>::Delay() const
{
    return state->spans.Delay();
}

template <class Sample>
std::size_t Redactor<Sample>::Process(const Sample* in, std::size_t frames, Sample* out)
{
    State& s = *state;
    if (s.finished)
        throw std::logic_error("the redactor's stream has finished");
    std::size_t wrote = 0;
    const std::size_t delay = s.spans.Delay();
    while (frames > 0) {
        const std::size_t n = std::min(frames, KeySpans::kStep);
        s.Take(in, n);
        in += n * s.channels, frames -= n;
        if (s.taken - s.heard >= KeySpans::kStep)
            s.Hear(KeySpans::kStep);
        if (s.taken > delay)
            wrote += s.Release(s.taken - delay, out + wrote * s.channels);
    }
    return wrote;
}

template <class Sample>
std::size_t Redactor<Sample>::Finish(Sample* out)
{
    State& s = *state;
    if (s.finished)
        throw std::logic_error("the redactor's stream has finished");
    s.finished = true;
    if (s.heard < s.taken)
        s.Hear(s.taken - s.heard);
    s.spans.End(s.taken);
    return s.Release(s.taken, out);
}

template class Redactor<std::int16_t>;
template class Redactor<std::int32_t>;
template class Redactor<float>;
template class Redactor<double>;

}  // namespace vardell
