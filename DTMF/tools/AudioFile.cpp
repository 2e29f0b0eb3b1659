#include "AudioFile.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <memory>

#include <sndfile.h>
#include <soxr.h>

namespace tool {

namespace {

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

bool IsDetectorFormat(const SF_INFO& info)
{
    return info.samplerate == kDetectorRate && info.channels == 1 &&
           (info.format & SF_FORMAT_SUBMASK) == SF_FORMAT_PCM_16;
}

// Every other format: floats, averaged over the channels, then resampled.
bool ReadConverted(SNDFILE* file, const SF_INFO& info, std::vector<std::int16_t>& samples, std::string& error)
{
    const auto channels = static_cast<std::size_t>(info.channels);
    std::vector<float> mono;
    std::vector<float> frames(4096 * channels);
    for (;;) {
        const sf_count_t got = sf_readf_float(file, frames.data(), 4096);
        if (got <= 0)
            break;
        for (sf_count_t f = 0; f < got; ++f) {
            float sum = 0;
            for (std::size_t c = 0; c < channels; ++c)
                sum += frames[static_cast<std::size_t>(f) * channels + c];
            mono.push_back(sum / static_cast<float>(channels));
        }
    }
    if (sf_error(file) != SF_ERR_NO_ERROR) {
        error = Reason(file);
        return false;
    }

    std::vector<float> resampled;
    if (info.samplerate == kDetectorRate) {
        resampled = std::move(mono);
    } else {
        const double ratio = static_cast<double>(kDetectorRate) / info.samplerate;
        resampled.resize(static_cast<std::size_t>(std::ceil(static_cast<double>(mono.size()) * ratio)) + 16);
        std::size_t written = 0;
        const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
        const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
        if (soxr_error_t e = soxr_oneshot(info.samplerate, kDetectorRate, 1, mono.data(), mono.size(), nullptr,
                                          resampled.data(), resampled.size(), &written, &io, &quality, nullptr)) {
            error = std::string("resampling failed: ") + e;
            return false;
        }
        resampled.resize(written);
    }

    samples.resize(resampled.size());
    std::transform(resampled.begin(), resampled.end(), samples.begin(), [](float s) {
        return static_cast<std::int16_t>(std::lround(std::clamp(s * 32768.0f, -32768.0f, 32767.0f)));
    });
    return true;
}

}  // namespace

bool ReadDetectorSamples(const std::string& path, std::vector<std::int16_t>& samples, std::string& error)
{
    SF_INFO info{};
    SndfilePtr file(sf_open(path.c_str(), SFM_READ, &info));
    if (!file) {
        // libsndfile calls a directory an unknown format.
        error = std::filesystem::is_directory(path) ? "is a directory" : Reason(nullptr);
        return false;
    }
    if (info.channels < 1 || info.samplerate < 1) {
        error = "no audio in the file";
        return false;
    }
    samples.clear();
    if (!IsDetectorFormat(info))
        return ReadConverted(file.get(), info, samples, error);

    std::int16_t chunk[4096];
    for (;;) {
        const sf_count_t got = sf_read_short(file.get(), chunk, 4096);
        if (got <= 0)
            break;
        samples.insert(samples.end(), chunk, chunk + got);
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
    info.samplerate = kDetectorRate;
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
