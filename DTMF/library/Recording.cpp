#include "Recording.h"

#include <algorithm>
#include <memory>
#include <span>
#include <vector>

#include "DetectorSignal.h"
#include "FrameSource.h"

namespace vardell {

namespace {

constexpr std::size_t kChunkFrames = 4096;

// Hands a stream's piece on; several streams go in slices of one block, so that their outputs come in time order.
void HandOn(const SampleSink& sink, int stream, std::span<const std::int16_t> samples, std::size_t from,
            std::size_t count)
{
    if (from < samples.size())
        sink(stream, samples.data() + from, std::min(count, samples.size() - from));
}

}  // namespace

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
    const auto channels = static_cast<std::size_t>(source->Channels());
    const std::size_t streams = choice.mode == ChannelChoice::Each ? channels : 1;
    // Which channel a stream takes; a mix-down averages them all.
    const auto channelOf = [&](std::size_t stream) {
        return choice.mode == ChannelChoice::One ? static_cast<std::size_t>(choice.channel) : stream;
    };
    const bool mixDown = choice.mode == ChannelChoice::MixDown && channels > 1;
    std::vector<std::unique_ptr<DetectorSignal>> converters;
    for (std::size_t s = 0; s < streams; ++s) {
        converters.push_back(std::make_unique<DetectorSignal>(source->Rate(), error));
        if (!error.empty())
            return outcome;
    }
    // 16-bit samples are read as they are when no mix-down or soxr needs floats.
    const bool direct = converters[0]->TakesSamples() && source->Pcm16() && !mixDown;
    std::vector<short> shorts(direct ? kChunkFrames * channels : 0);
    std::vector<float> floats(direct ? 0 : kChunkFrames * channels), mono(kChunkFrames);
    std::vector<std::vector<std::int16_t>> picked(direct ? streams : 0, std::vector<std::int16_t>(kChunkFrames));
    std::vector<std::span<const std::int16_t>> out(streams);
    for (bool more = true; more;) {
        const std::size_t frames =
            direct ? source->ReadShorts(shorts.data(), kChunkFrames) : source->ReadFloats(floats.data(), kChunkFrames);
        more = frames > 0;
        for (std::size_t s = 0; s < streams; ++s) {
            const std::size_t c = channelOf(s);
            if (direct) {
                std::span<const std::int16_t> signal = std::span(shorts).first(frames);  // one channel: as read
                if (channels > 1) {
                    for (std::size_t f = 0; f < frames; ++f)
                        picked[s][f] = shorts[f * channels + c];
                    signal = std::span(picked[s]).first(frames);
                }
                out[s] = converters[s]->Convert(signal);  // no frames: the flush
                continue;
            }
            std::span<const float> signal = std::span(floats).first(frames);  // one channel: as read
            if (channels > 1) {
                for (std::size_t f = 0; f < frames; ++f) {
                    if (mixDown) {
                        float sum = 0;
                        for (std::size_t k = 0; k < channels; ++k)
                            sum += floats[f * channels + k];
                        mono[f] = sum / static_cast<float>(channels);
                    } else {
                        mono[f] = floats[f * channels + c];
                    }
                }
                signal = std::span(mono).first(frames);
            }
            out[s] = converters[s]->Convert(signal, error);  // no frames: the flush
            if (!error.empty())
                return outcome;
        }
        std::size_t longest = 0;
        for (const auto& piece : out)
            longest = std::max(longest, piece.size());
        const std::size_t slice = streams > 1 ? 256 : std::max<std::size_t>(longest, 1);
        for (std::size_t from = 0; from < longest; from += slice)
            for (std::size_t s = 0; s < streams; ++s)
                HandOn(sink, static_cast<int>(s), out[s], from, slice);
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
