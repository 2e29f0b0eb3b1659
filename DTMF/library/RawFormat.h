// Headerless samples, as radio and capture programs write them (rtl_fm, arecord,
// sox -t raw, ffmpeg -f s16le): the rate, the encoding of one sample and the
// number of interleaved channels, which no header tells.
//
//     vardell::RawFormat raw;
//     raw.rate = 22050;                                          // s16le mono unless set
//     if (auto encoding = vardell::ParseSampleEncoding("ulaw"))   // nullopt: no such name
//         raw.encoding = *encoding;
//
// Threads: any thread.
#pragma once

#include <optional>
#include <string_view>

#include "VardellExport.h"

namespace vardell {

enum class SampleEncoding {
    S16LE,  // 16-bit signed, little-endian
    S16BE,  // 16-bit signed, big-endian
    U8,     // 8-bit unsigned, 128 is silence
    S8,     // 8-bit signed
    S24LE,  // 24-bit signed in 3 bytes, little-endian
    S32LE,  // 32-bit signed, little-endian
    F32LE,  // 32-bit IEEE float, little-endian, full scale +-1
    ULaw,   // G.711 mu-law
    ALaw,   // G.711 A-law
};

// Every encoding, in the order of the enum.
inline constexpr SampleEncoding kSampleEncodings[] = {
    SampleEncoding::S16LE, SampleEncoding::S16BE, SampleEncoding::U8,   SampleEncoding::S8,  SampleEncoding::S24LE,
    SampleEncoding::S32LE, SampleEncoding::F32LE, SampleEncoding::ULaw, SampleEncoding::ALaw};

struct RawFormat {
    static constexpr int kMinRate = 1000, kMaxRate = 1000000;  // samples per second
    static constexpr int kMaxChannels = 1024;

    int rate = 0;
    SampleEncoding encoding = SampleEncoding::S16LE;
    int channels = 1;
};

// The encoding's name: "s16le", "s16be", "u8", "s8", "s24le", "s32le", "f32le", "ulaw", "alaw".
VARDELL_API const char* SampleEncodingName(SampleEncoding encoding);
// The encoding of that name, or nullopt.
VARDELL_API std::optional<SampleEncoding> ParseSampleEncoding(std::string_view name);
// Bytes of one sample of one channel.
VARDELL_API int SampleBytes(SampleEncoding encoding);

}  // namespace vardell
