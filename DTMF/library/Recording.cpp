#include "Recording.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <memory>
#include <span>
#include <vector>
#include <unistd.h>

#include <sndfile.h>

#include "DetectorSignal.h"

namespace vardell {

namespace {

constexpr sf_count_t kChunkFrames = 4096;

struct SndfileCloser {
    void operator()(SNDFILE* file) const { sf_close(file); }
};
using SndfilePtr = std::unique_ptr<SNDFILE, SndfileCloser>;

// libsndfile's own reasons end with a full stop; the tool's lines do not.
std::string Reason(SNDFILE* file)
{
    std::string reason = sf_strerror(file);
    while (!reason.empty() && (reason.back() == '.' || reason.back() == ' ' || reason.back() == '\n'))
        reason.pop_back();
    return reason;
}

// Hands a stream's piece on; several streams go in slices of one block, so that their outputs come in time order.
void HandOn(const SampleSink& sink, int stream, std::span<const std::int16_t> samples, std::size_t from,
            std::size_t count)
{
    if (from < samples.size())
        sink(stream, samples.data() + from, std::min(count, samples.size() - from));
}

}  // namespace

bool StreamDetectorSamples(const std::string& path, ChannelChoice choice, const SampleSink& sink, std::string& error)
{
    SF_INFO info{};
    SndfilePtr file(path == "-" ? sf_open_fd(STDIN_FILENO, SFM_READ, &info, SF_FALSE)
                                : sf_open(path.c_str(), SFM_READ, &info));
    if (!file) {
        // libsndfile calls a directory an unknown format.
        error = std::filesystem::is_directory(path) ? "is a directory" : Reason(nullptr);
        return false;
    }
    if (info.channels < 1 || info.samplerate < 1) {
        error = "no audio in the file";
        return false;
    }
    if (choice.mode == ChannelChoice::One && choice.channel >= info.channels) {
        error = "there is no channel " + std::to_string(choice.channel + 1) + " in the file (it has " +
                std::to_string(info.channels) + ")";
        return false;
    }
    const auto channels = static_cast<std::size_t>(info.channels);
    const std::size_t streams = choice.mode == ChannelChoice::Each ? channels : 1;
    // Which channel a stream takes; a mix-down averages them all.
    const auto channelOf = [&](std::size_t stream) {
        return choice.mode == ChannelChoice::One ? static_cast<std::size_t>(choice.channel) : stream;
    };
    const bool mixDown = choice.mode == ChannelChoice::MixDown && channels > 1;
    std::vector<std::unique_ptr<DetectorSignal>> converters;
    for (std::size_t s = 0; s < streams; ++s) {
        converters.push_back(std::make_unique<DetectorSignal>(info.samplerate, error));
        if (!error.empty())
            return false;
    }
    // 16-bit samples are read as they are when no mix-down or soxr needs floats.
    const bool direct =
        converters[0]->TakesSamples() && (info.format & SF_FORMAT_SUBMASK) == SF_FORMAT_PCM_16 && !mixDown;
    std::vector<short> shorts(direct ? kChunkFrames * channels : 0);
    std::vector<float> floats(direct ? 0 : kChunkFrames * channels), mono(kChunkFrames);
    std::vector<std::vector<std::int16_t>> picked(direct ? streams : 0, std::vector<std::int16_t>(kChunkFrames));
    std::vector<std::span<const std::int16_t>> out(streams);
    for (bool more = true; more;) {
        const sf_count_t got = direct ? sf_readf_short(file.get(), shorts.data(), kChunkFrames)
                                      : sf_readf_float(file.get(), floats.data(), kChunkFrames);
        more = got > 0;
        const auto frames = static_cast<std::size_t>(std::max<sf_count_t>(got, 0));
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
                return false;
        }
        std::size_t longest = 0;
        for (const auto& piece : out)
            longest = std::max(longest, piece.size());
        const std::size_t slice = streams > 1 ? 256 : std::max<std::size_t>(longest, 1);
        for (std::size_t from = 0; from < longest; from += slice)
            for (std::size_t s = 0; s < streams; ++s)
                HandOn(sink, static_cast<int>(s), out[s], from, slice);
    }
    if (sf_error(file.get()) != SF_ERR_NO_ERROR) {
        error = Reason(file.get());
        return false;
    }
    return true;
}

}  // namespace vardell
