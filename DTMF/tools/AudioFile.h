// Sound files in and out of the tool, in the detector's format: 11025 Hz mono 16-bit.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace tool {

constexpr int kDetectorRate = 11025;

// Reads any file libsndfile understands, mixes its channels down to one and
// resamples it to 11025 Hz. A file already 11025 Hz mono 16-bit PCM is taken
// sample for sample. On failure `error` holds the reason.
bool ReadDetectorSamples(const std::string& path, std::vector<std::int16_t>& samples, std::string& error);

// Writes an 11025 Hz mono 16-bit PCM WAV file; on failure `error` holds the reason.
bool WriteDetectorWav(const std::string& path, std::span<const std::int16_t> samples, std::string& error);

}  // namespace tool
