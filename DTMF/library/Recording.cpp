#include "Recording.h"

#include <algorithm>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "DetectorSignal.h"
#include "FrameSource.h"

namespace vardell {

namespace {

// Frames converted at a time: a file is read in pieces of this size, and frames
// held in memory go in the same pieces, so that both give the same samples.
constexpr std::size_t kChunkFrames = 4096;

// Hands a stream's piece on; several streams go in slices of one block, so that their outputs come in time order.
void HandOn(const SampleSink& sink, int stream, std::span<const std::int16_t> samples, std::size_t from,
            std::size_t count)
{
    if (from < samples.size())
        sink(stream, samples.data() + from, std::min(count, samples.size() - from));
}

}  // namespace

struct FrameStreams::State {
    std::size_t channels = 0, streams = 0;
    ChannelChoice choice;
    bool mixDown = false;
    SampleSink sink;
    std::vector<std::unique_ptr<DetectorSignal>> converters;
    std::vector<float> widened, mono;  // 16-bit frames as floats; one stream's channel
    std::vector<std::vector<std::int16_t>> picked;
    std::vector<std::span<const std::int16_t>> out;
    std::string error;
    bool finished = false;

    // Which channel a stream takes; a mix-down averages them all.
    std::size_t ChannelOf(std::size_t stream) const
    {
        return choice.mode == ChannelChoice::One ? static_cast<std::size_t>(choice.channel) : stream;
    }

    // At most kChunkFrames frames, 16-bit (taken as they are) or float; none: the end.
    bool Convert(const std::int16_t* shorts, const float* frameFloats, std::size_t frames)
    {
        for (std::size_t s = 0; s < streams; ++s) {
            const std::size_t c = ChannelOf(s);
            if (shorts) {
                std::span<const std::int16_t> signal(shorts, frames);  // one channel: as read
                if (channels > 1) {
                    for (std::size_t f = 0; f < frames; ++f)
                        picked[s][f] = shorts[f * channels + c];
                    signal = std::span(picked[s]).first(frames);
                }
                out[s] = converters[s]->Convert(signal);  // no frames: the flush
                continue;
            }
            std::span<const float> signal(frameFloats, frames);  // one channel: as read
            if (channels > 1) {
                for (std::size_t f = 0; f < frames; ++f) {
                    if (mixDown) {
                        float sum = 0;
                        for (std::size_t k = 0; k < channels; ++k)
                            sum += frameFloats[f * channels + k];
                        mono[f] = sum / static_cast<float>(channels);
                    } else {
                        mono[f] = frameFloats[f * channels + c];
                    }
                }
                signal = std::span(mono).first(frames);
            }
            out[s] = converters[s]->Convert(signal, error);  // no frames: the flush
            if (!error.empty())
                return false;
        }
        std::size_t longest = 0;
        for (const auto& piece : out)
            longest = std::max(longest, piece.size());
        const std::size_t slice = streams > 1 ? 256 : std::max<std::size_t>(longest, 1);
        for (std::size_t from = 0; from < longest; from += slice)
            for (std::size_t s = 0; s < streams; ++s)
                HandOn(sink, static_cast<int>(s), out[s], from, slice);
        return true;
    }
};

FrameStreams::FrameStreams(int rate, int channels, ChannelChoice choice, SampleSink sink, std::string& error)
    : state(std::make_unique<State>())
{
    State& s = *state;
    if (rate < 1 || channels < 1)
        s.error = "no audio: a rate and a channel count of at least 1 are needed";
    else if (choice.mode == ChannelChoice::One && (choice.channel < 0 || choice.channel >= channels))
        s.error = "there is no channel " + std::to_string(choice.channel + 1) + " (there are " +
                  std::to_string(channels) + ")";
    s.channels = static_cast<std::size_t>(std::max(channels, 1));
    s.streams = choice.mode == ChannelChoice::Each ? s.channels : 1;
    s.choice = choice;
    s.mixDown = choice.mode == ChannelChoice::MixDown && channels > 1;
    s.sink = std::move(sink);
    s.out.resize(s.streams);
    if (s.channels > 1)
        s.picked.assign(s.streams, std::vector<std::int16_t>(kChunkFrames)), s.mono.resize(kChunkFrames);
    for (std::size_t i = 0; i < s.streams && s.error.empty(); ++i)
        s.converters.push_back(std::make_unique<DetectorSignal>(rate, s.error));
    error = s.error;
}

FrameStreams::~FrameStreams() = default;

bool FrameStreams::TakesShorts() const
{
    return state->error.empty() && state->converters[0]->TakesSamples() && !state->mixDown;
}

bool FrameStreams::Feed(const std::int16_t* frames, std::size_t count)
{
    State& s = *state;
    if (s.finished)
        return false;
    if (!TakesShorts()) {
        // As libsndfile reads 16-bit samples as floats.
        s.widened.resize(kChunkFrames * s.channels);
        for (std::size_t done = 0; done < count && s.error.empty(); done += kChunkFrames) {
            const std::size_t n = std::min(count - done, kChunkFrames) * s.channels;
            for (std::size_t i = 0; i < n; ++i)
                s.widened[i] = frames[done * s.channels + i] * (1.0f / 0x8000);
            s.Convert(nullptr, s.widened.data(), n / s.channels);
        }
        return s.error.empty();
    }
    for (std::size_t done = 0; done < count; done += kChunkFrames)
        s.Convert(frames + done * s.channels, nullptr, std::min(count - done, kChunkFrames));
    return true;
}

bool FrameStreams::Feed(const float* frames, std::size_t count)
{
    State& s = *state;
    if (s.finished)
        return false;
    for (std::size_t done = 0; done < count && s.error.empty(); done += kChunkFrames)
        s.Convert(nullptr, frames + done * s.channels, std::min(count - done, kChunkFrames));
    return s.error.empty();
}

bool FrameStreams::Finish()
{
    State& s = *state;
    if (s.finished || !s.error.empty())
        return s.error.empty();
    s.finished = true;
    static constexpr float kNone = 0;
    return s.Convert(nullptr, &kNone, 0);
}

const std::string& FrameStreams::Error() const
{
    return state->error;
}

ReadOutcome StreamDetectorSamples(const std::string& path, const ReadOptions& options, const SampleSink& sink)
{
    ReadOutcome outcome;
    std::string& error = outcome.error;
    const std::unique_ptr<FrameSource> source = OpenFrameSource(path, options.raw, error);
    if (!source)
        return outcome;
    const ChannelChoice choice = options.channels;
    if (source->Channels() < 1 || source->Rate() < 1) {
        error = "no audio in the file";
        return outcome;
    }
    if (choice.mode == ChannelChoice::One && choice.channel >= source->Channels()) {
        error = "there is no channel " + std::to_string(choice.channel + 1) + " in the file (it has " +
                std::to_string(source->Channels()) + ")";
        return outcome;
    }
    FrameStreams streams(source->Rate(), source->Channels(), choice, sink, error);
    if (!error.empty())
        return outcome;
    const auto channels = static_cast<std::size_t>(source->Channels());
    // 16-bit samples are read as they are when no mix-down or soxr needs floats.
    const bool direct = streams.TakesShorts() && source->Pcm16();
    const std::size_t piece = source->PieceFrames();  // FrameStreams converts it in its own pieces
    // Not zeroed: a short file would spend as long on that as on its decoding.
    const auto shorts = std::make_unique_for_overwrite<short[]>(direct ? piece * channels : 0);
    const auto floats = std::make_unique_for_overwrite<float[]>(direct ? 0 : piece * channels);
    for (;;) {
        const std::size_t frames =
            direct ? source->ReadShorts(shorts.get(), piece) : source->ReadFloats(floats.get(), piece);
        if (frames == 0)
            break;
        if (!(direct ? streams.Feed(shorts.get(), frames) : streams.Feed(floats.get(), frames))) {
            error = streams.Error();
            return outcome;
        }
    }
    if (!streams.Finish()) {
        error = streams.Error();
        return outcome;
    }
    error = source->Error();
    outcome.warning = source->Warning();
    return outcome;
}

bool StreamDetectorSamples(const std::string& path, ChannelChoice choice, const SampleSink& sink, std::string& error)
{
    ReadOptions options;
    options.channels = choice;
    error = StreamDetectorSamples(path, options, sink).error;
    return error.empty();
}

}  // namespace vardell
