// Sound files written by the tool, in the detector's format: 11025 Hz mono 16-bit.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace tool {

// Writes an 11025 Hz mono 16-bit PCM WAV file; on failure `error` holds the reason.
bool WriteDetectorWav(const std::string& path, std::span<const std::int16_t> samples, std::string& error);

}  // namespace tool
