#include "RecordingDecoder.h"

#include <memory>
#include <vector>

namespace vardell {

ReadOutcome DecodeRecording(const std::string& path, const DecodeSettings& settings, const LineSink& lines,
                            const RecordSink& records)
{
    const ChannelChoice choice = settings.input.channels;
    std::vector<std::unique_ptr<Decoder>> decoders;  // one per stream, made as the streams come
    const auto channelOf = [&choice](int stream) {
        return choice.mode == ChannelChoice::MixDown ? 0
               : choice.mode == ChannelChoice::One   ? choice.channel + 1
                                                     : stream + 1;
    };
    ReadOutcome outcome =
        StreamDetectorSamples(path, settings.input, [&](int stream, const std::int16_t* samples, std::size_t count) {
            while (decoders.size() <= static_cast<std::size_t>(stream)) {
                const int channel = channelOf(static_cast<int>(decoders.size()));
                decoders.push_back(std::make_unique<Decoder>(
                    settings.output,
                    [&lines, channel](double seconds, std::string_view line) {
                        if (lines)
                            lines(channel, seconds, line);
                    },
                    !records ? RecordSink()
                             : [&records, channel](const KeyRecord& record) {
                                   KeyRecord marked = record;
                                   marked.channel = channel;
                                   records(marked);
                               },
                    settings.strict));
            }
            decoders[static_cast<std::size_t>(stream)]->Feed(samples, count);
        });
    for (const auto& decoder : decoders)
        decoder->Flush();
    return outcome;
}

}  // namespace vardell
