#include "AudioFile.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <memory>
#include <unistd.h>

#include <sndfile.h>
#include <soxr.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tool {

namespace {

constexpr sf_count_t kChunkFrames = 4096;

struct SndfileCloser {
    void operator()(SNDFILE* file) const { sf_close(file); }
};
using SndfilePtr = std::unique_ptr<SNDFILE, SndfileCloser>;

struct SoxrDeleter {
    void operator()(soxr_t resampler) const { soxr_delete(resampler); }
};
using SoxrPtr = std::unique_ptr<std::remove_pointer_t<soxr_t>, SoxrDeleter>;

// libsndfile's own reasons end with a full stop; the tool's lines do not.
std::string Reason(SNDFILE* file)
{
    std::string reason = sf_strerror(file);
    while (!reason.empty() && (reason.back() == '.' || reason.back() == ' ' || reason.back() == '\n'))
        reason.pop_back();
    return reason;
}

// lround of the clamped, scaled sample (halves away from zero), without the
// library call: v minus its truncation is exact for |v| < 2^23. NaN gives 0, as
// lround's out-of-range result does in 16 bits.
std::int16_t ToSample(float s)
{
    const float v = std::clamp(s * 32768.0f, -32768.0f, 32767.0f);
    if (v != v)
        return 0;
    const auto whole = static_cast<int>(v);
    const float fraction = v - static_cast<float>(whole);
    return static_cast<std::int16_t>(whole + (fraction >= 0.5f) - (fraction <= -0.5f));
}

// ToSample over a span, four at a time where the processor allows.
void ToSamples(std::span<const float> in, std::int16_t* out)
{
    std::size_t i = 0;
#if defined(__SSE2__)
    const __m128 scale = _mm_set1_ps(32768.0f), low = _mm_set1_ps(-32768.0f), high = _mm_set1_ps(32767.0f);
    const __m128 half = _mm_set1_ps(0.5f), minusHalf = _mm_set1_ps(-0.5f);
    for (; i + 4 <= in.size(); i += 4) {
        const __m128 scaled = _mm_mul_ps(_mm_loadu_ps(in.data() + i), scale);
        const __m128 v = _mm_min_ps(_mm_max_ps(scaled, low), high);  // NaN becomes `low`; masked below
        const __m128i whole = _mm_cvttps_epi32(v);
        const __m128 fraction = _mm_sub_ps(v, _mm_cvtepi32_ps(whole));
        __m128i rounded = _mm_sub_epi32(whole, _mm_castps_si128(_mm_cmpge_ps(fraction, half)));
        rounded = _mm_add_epi32(rounded, _mm_castps_si128(_mm_cmple_ps(fraction, minusHalf)));
        rounded = _mm_andnot_si128(_mm_castps_si128(_mm_cmpunord_ps(scaled, scaled)), rounded);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + i), _mm_packs_epi32(rounded, rounded));
    }
#endif
    for (; i < in.size(); ++i)
        out[i] = ToSample(in[i]);
}

// One stream of floats on its way to 11025 Hz 16-bit: resampled (soxr's high
// quality, as one pass over the whole signal would be) unless already at 11025 Hz.
class Converter {
public:
    Converter(int rate, std::string& error)
    {
        if (rate == dtmf::kRate)
            return;
        const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
        const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
        soxr_error_t e = nullptr;
        resampler.reset(soxr_create(rate, dtmf::kRate, 1, &e, &io, &quality, nullptr));
        if (e)
            error = std::string("resampling failed: ") + e;
        ratio = static_cast<double>(dtmf::kRate) / rate;
    }

    // `in` empty: the end of the signal, which flushes the resampler.
    std::span<const std::int16_t> Convert(std::span<const float> in, std::string& error)
    {
        out.clear();
        if (!resampler) {
            out.resize(in.size());
            ToSamples(in, out.data());
            return out;
        }
        resampled.resize(static_cast<std::size_t>(std::ceil(static_cast<double>(in.size()) * ratio)) + 64);
        const bool flush = in.empty();
        do {
            std::size_t used = 0, made = 0;
            if (soxr_error_t e = soxr_process(resampler.get(), flush ? nullptr : in.data(), in.size(), &used,
                                              resampled.data(), resampled.size(), &made)) {
                error = std::string("resampling failed: ") + e;
                return {};
            }
            const std::size_t had = out.size();
            out.resize(had + made);
            ToSamples(std::span(resampled).first(made), out.data() + had);
            in = in.subspan(used);
            if (flush && made == 0)
                break;
        } while (flush || !in.empty());
        return out;
    }

private:
    SoxrPtr resampler;
    double ratio = 1;
    std::vector<float> resampled;
    std::vector<std::int16_t> out;
};

// Hands a stream's piece on; several streams go in slices of one block, so that their outputs come in time order.
void HandOn(const SampleSink& sink, int stream, std::span<const std::int16_t> samples, std::size_t from,
            std::size_t count)
{
    if (from < samples.size())
        sink(stream, samples.subspan(from, std::min(count, samples.size() - from)));
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
    const bool direct =
        info.samplerate == dtmf::kRate && (info.format & SF_FORMAT_SUBMASK) == SF_FORMAT_PCM_16 && !mixDown;

    std::vector<std::unique_ptr<Converter>> converters;
    for (std::size_t s = 0; s < streams && !direct; ++s) {
        converters.push_back(std::make_unique<Converter>(info.samplerate, error));
        if (!error.empty())
            return false;
    }
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
            if (direct && channels == 1) {
                out[s] = std::span(shorts).first(frames);
                continue;
            }
            if (direct) {
                for (std::size_t f = 0; f < frames; ++f)
                    picked[s][f] = shorts[f * channels + c];
                out[s] = std::span(picked[s]).first(frames);
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

bool WriteDetectorWav(const std::string& path, std::span<const std::int16_t> samples, std::string& error)
{
    SF_INFO info{};
    info.samplerate = dtmf::kRate;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!file) {
        // libsndfile calls a directory an unknown format.
        error = std::filesystem::is_directory(path) ? "is a directory" : Reason(nullptr);
        return false;
    }
    const auto count = static_cast<sf_count_t>(samples.size());
    const bool wrote = sf_write_short(file, samples.data(), count) == count;
    if (!wrote)
        error = Reason(file);
    // sf_close flushes and rewrites the header: its result decides as much as the write's.
    if (sf_close(file) != 0 && wrote) {
        error = "could not finish writing the file";
        return false;
    }
    return wrote;
}

}  // namespace tool
