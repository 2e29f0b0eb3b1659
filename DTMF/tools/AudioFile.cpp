#include "AudioFile.h"

#include <filesystem>

#include <sndfile.h>

#include "DtmfFacts.h"

namespace tool {

namespace {

// libsndfile's own reasons end with a full stop; the tool's lines do not.
std::string Reason(SNDFILE* file)
{
    std::string reason = sf_strerror(file);
    while (!reason.empty() && (reason.back() == '.' || reason.back() == ' ' || reason.back() == '\n'))
        reason.pop_back();
    return reason;
}

}  // namespace

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
