// Sound files in and out of the tool, in the detector's format: 11025 Hz mono 16-bit.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "DtmfFacts.h"

namespace tool {

// Which signal of a recording to decode: its channels mixed down to one, one
// channel (from 0), or every channel on its own.
struct ChannelChoice {
    enum { MixDown, One, Each } mode = MixDown;
    int channel = 0;
};

// Receives the next piece of stream `stream` (0 for a mix-down or one channel,
// the channel for Each); all streams advance together.
using SampleSink = std::function<void(int stream, std::span<const std::int16_t> samples)>;

// Reads any file libsndfile understands ("-": standard input, which may be a
// pipe) piece by piece and hands on the chosen signal resampled to 11025 Hz.
// 16-bit PCM at 11025 Hz is taken sample for sample. On failure `error` holds
// the reason; what was read before a failure has been handed on.
bool StreamDetectorSamples(const std::string& path, ChannelChoice choice, const SampleSink& sink, std::string& error);

// Writes an 11025 Hz mono 16-bit PCM WAV file; on failure `error` holds the reason.
bool WriteDetectorWav(const std::string& path, std::span<const std::int16_t> samples, std::string& error);

}  // namespace tool
