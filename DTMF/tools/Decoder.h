// Decoding a recording as a listening application hears it: the samples go
// through the library's KeyEngine and a CommandReader, on the calling thread.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string_view>

#include "CommandReader.h"
#include "KeyEngine.h"

namespace tool {

enum class DecodeOutput {
    Commands,  // every command text that the reader sends
    Keys,      // every key as the detector hands it on
};

// seconds: stream time at the end of the block that produced `line`.
using DecodeSink = std::function<void(double seconds, std::string_view line)>;

// One stream of 11025 Hz mono samples, fed in pieces of any size; a final
// partial block is never decoded. The reader's gap rule runs on stream time.
class Decoder {
public:
    // strict: KeyEngine's strict detection instead of the plain one.
    Decoder(DecodeOutput output, DecodeSink sink, bool strict = false);
    void Feed(std::span<const std::int16_t> samples) { engine.Feed(samples); }

private:
    double BlockEnd() const;

    DecodeOutput output;
    DecodeSink sink;
    CommandReader reader;
    KeyEngine engine;
};

// Decodes a whole recording held in memory.
void DecodeSamples(std::span<const std::int16_t> samples, DecodeOutput output, const DecodeSink& sink,
                   bool strict = false);

}  // namespace tool
