// Samples in the encodings that the library reads by itself (raw input, and WAV
// from a pipe), turned into exactly the values that libsndfile gives for them, so
// that a recording decodes alike whichever road it takes. Internal to the library.
#pragma once

#include <cstddef>

#include "RawFormat.h"

namespace vardell {

// `count` samples from `bytes` as floats at full scale +-1 (libsndfile's normalised reading).
void ToFloats(SampleEncoding encoding, const unsigned char* bytes, std::size_t count, float* out);
// `count` s16le samples as they are.
void ToShorts(const unsigned char* bytes, std::size_t count, short* out);

}  // namespace vardell
