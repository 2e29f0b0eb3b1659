// The header of a WAV stream read from a pipe, so that the library can read its
// samples as they arrive: libsndfile reads a pipe only in whole requests. Only the
// encodings of PcmSamples.h qualify; anything else goes back to libsndfile.
// Internal to the library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "RawFormat.h"

namespace vardell {

struct WavStream {
    RawFormat format;
    std::uint64_t dataBytes = 0;  // as the data chunk says: 0xFFFFFFFF from a writer that could not seek
};

// Reads up to `count` bytes, fewer only at the end of the input.
using ByteReader = std::function<std::size_t(unsigned char* bytes, std::size_t count)>;

// Reads a RIFF WAVE header up to the first byte of its samples, keeping every
// byte that it read in `consumed`. nullopt: not a WAV stream of that kind.
std::optional<WavStream> ReadWavHeader(const ByteReader& read, std::string& consumed);

}  // namespace vardell
