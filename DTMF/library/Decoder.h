// Decoding a recording as a listening application hears it: the samples go
// through the library's KeyEngine and a CommandReader, with the reader's clock
// on stream time.
//
//     vardell::Decoder decoder(vardell::DecodeOutput::Commands, [](double seconds, std::string_view text) {
//         std::printf("%.3f %.*s\n", seconds, int(text.size()), text.data());
//     });
//     decoder.Feed(samples, count);          // 11025 Hz mono, as often as samples come
//
// Threads: a decoder is used by one thread at a time; its sink runs inside Feed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>

#include "CommandReader.h"
#include "KeyEngine.h"
#include "VardellExport.h"

namespace vardell {

enum class DecodeOutput {
    Commands,  // every command text that the reader sends
    Keys,      // every key as the detector hands it on
};

// seconds: stream time at the end of the block that produced `line`.
using DecodeSink = std::function<void(double seconds, std::string_view line)>;

// One stream of 11025 Hz mono samples, fed in pieces of any size; a final
// partial block is never decoded. The reader's gap rule runs on stream time.
class VARDELL_API Decoder {
public:
    // strict: KeyEngine's strict detection instead of the plain one.
    Decoder(DecodeOutput output, DecodeSink sink, bool strict = false);
    void Feed(const std::int16_t* samples, std::size_t count) { engine.Feed(samples, count); }

private:
    double BlockEnd() const;

    DecodeOutput output;
    DecodeSink sink;
    CommandReader reader;
    KeyEngine engine;
};

// Decodes a whole recording held in memory.
VARDELL_API void DecodeSamples(const std::int16_t* samples, std::size_t count, DecodeOutput output,
                               const DecodeSink& sink, bool strict = false);

}  // namespace vardell
