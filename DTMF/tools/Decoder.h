// Decoding a recording along the live road: 256-sample blocks, FFT(256)::Run,
// KeyDetector::ProcessBlock and CommandReader::ProcessChar, whose notifications
// reach a message window on the calling thread.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string_view>

namespace tool {

enum class DecodeOutput {
    Commands,  // every command text that the reader sends
    Keys,      // every key as the detector hands it on
};

// seconds: stream time at the end of the block that produced `line`.
using DecodeSink = std::function<void(double seconds, std::string_view line)>;

// Decodes 11025 Hz mono samples; a final partial block is dropped.
void DecodeSamples(std::span<const std::int16_t> samples, DecodeOutput output, const DecodeSink& sink);

}  // namespace tool
