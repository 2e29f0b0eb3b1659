#include "RecordingDecoder.h"

#include <memory>
#include <utility>
#include <vector>

namespace vardell {

namespace {

// One Decoder per stream, made as the streams come, each marking its lines and records with its channel.
class StreamDecoders {
public:
    StreamDecoders(const DecodeSettings& settings, LineSink lines, RecordSink records)
        : settings(settings), lines(std::move(lines)), records(std::move(records))
    {
    }

    void operator()(int stream, const std::int16_t* samples, std::size_t count)
    {
        while (decoders.size() <= static_cast<std::size_t>(stream)) {
            const int channel = ChannelOf(static_cast<int>(decoders.size()));
            decoders.push_back(std::make_unique<Decoder>(
                settings.output,
                [this, channel](double seconds, std::string_view line) {
                    if (lines)
                        lines(channel, seconds, line);
                },
                !records ? RecordSink()
                         : [this, channel](const KeyRecord& record) {
                               KeyRecord marked = record;
                               marked.channel = channel;
                               records(marked);
                           },
                settings.strict));
        }
        decoders[static_cast<std::size_t>(stream)]->Feed(samples, count);
    }

    void Flush()
    {
        for (const auto& decoder : decoders)
            decoder->Flush();
    }

private:
    int ChannelOf(int stream) const
    {
        const ChannelChoice choice = settings.input.channels;
        return choice.mode == ChannelChoice::MixDown ? 0
               : choice.mode == ChannelChoice::One   ? choice.channel + 1
                                                     : stream + 1;
    }

    DecodeSettings settings;
    LineSink lines;
    RecordSink records;
    std::vector<std::unique_ptr<Decoder>> decoders;
};

}  // namespace

ReadOutcome DecodeRecording(const std::string& path, const DecodeSettings& settings, const LineSink& lines,
                            const RecordSink& records)
{
    StreamDecoders decoders(settings, lines, records);
    ReadOutcome outcome = StreamDetectorSamples(path, settings.input, std::ref(decoders));
    decoders.Flush();
    return outcome;
}

struct FrameDecoder::State {
    State(int rate, int channels, const DecodeSettings& settings, LineSink lines, RecordSink records,
          std::string& error)
        : decoders(settings, std::move(lines), std::move(records)),
          streams(rate, channels, settings.input.channels, std::ref(decoders), error)
    {
    }
    StreamDecoders decoders;
    FrameStreams streams;  // feeds `decoders`
};

FrameDecoder::FrameDecoder(int rate, int channels, const DecodeSettings& settings, LineSink lines, RecordSink records,
                           std::string& error)
    : state(std::make_unique<State>(rate, channels, settings, std::move(lines), std::move(records), error))
{
}

FrameDecoder::~FrameDecoder() = default;

FrameStreams& FrameDecoder::Frames() const
{
    return state->streams;
}

bool FrameDecoder::Finish()
{
    const bool ok = state->streams.Finish();
    state->decoders.Flush();
    return ok;
}

}  // namespace vardell
