#include "WavHeader.h"

#include <cstring>

namespace vardell {

namespace {

constexpr std::size_t kMaxHeaderBytes = 1 << 20;  // chunks before the samples; beyond that, libsndfile's job

// The tail of the WAVE_FORMAT_EXTENSIBLE sub-format GUID after its first two bytes (the format tag).
constexpr unsigned char kGuidTail[14] = {0, 0, 0, 0, 0x10, 0, 0x80, 0, 0, 0xAA, 0, 0x38, 0x9B, 0x71};

std::uint32_t Little(const unsigned char* b, int bytes)
{
    std::uint32_t v = 0;
    for (int k = bytes - 1; k >= 0; --k)
        v = v << 8 | b[k];
    return v;
}

// The encoding of a format chunk's tag (PCM 1, float 3, A-law 6, mu-law 7) and sample width.
std::optional<SampleEncoding> EncodingOf(std::uint32_t tag, std::uint32_t bits)
{
    struct Tagged {
        std::uint32_t tag, bits;
        SampleEncoding encoding;
    };
    constexpr Tagged kTagged[] = {{1, 8, SampleEncoding::U8},     {1, 16, SampleEncoding::S16LE},
                                  {1, 24, SampleEncoding::S24LE}, {1, 32, SampleEncoding::S32LE},
                                  {3, 32, SampleEncoding::F32LE}, {6, 8, SampleEncoding::ALaw},
                                  {7, 8, SampleEncoding::ULaw}};
    for (const Tagged& t : kTagged)
        if (t.tag == tag && t.bits == bits)
            return t.encoding;
    return std::nullopt;
}

std::optional<RawFormat> ParseFormat(const std::string& chunk)
{
    const auto* b = reinterpret_cast<const unsigned char*>(chunk.data());
    if (chunk.size() < 16)
        return std::nullopt;
    std::uint32_t tag = Little(b, 2);
    const std::uint32_t channels = Little(b + 2, 2), rate = Little(b + 4, 4), align = Little(b + 12, 2);
    const std::uint32_t bits = Little(b + 14, 2);
    if (tag == 0xFFFE) {  // extensible: the real tag leads the sub-format; a narrower valid width is libsndfile's
        if (chunk.size() < 40 || std::memcmp(b + 26, kGuidTail, sizeof kGuidTail) != 0)
            return std::nullopt;
        const std::uint32_t valid = Little(b + 18, 2);
        if (valid != 0 && valid != bits)
            return std::nullopt;
        tag = Little(b + 24, 2);
    }
    const auto encoding = EncodingOf(tag, bits);
    if (!encoding || channels < 1 || channels > RawFormat::kMaxChannels || rate < 1 ||
        rate > static_cast<std::uint32_t>(RawFormat::kMaxRate) ||
        align != channels * static_cast<std::uint32_t>(SampleBytes(*encoding)))
        return std::nullopt;
    return RawFormat{static_cast<int>(rate), *encoding, static_cast<int>(channels)};
}

}  // namespace

std::optional<WavStream> ReadWavHeader(const ByteReader& read, std::string& consumed)
{
    // Appends `count` bytes to `consumed`; false when the input ends first.
    const auto take = [&](std::size_t count) {
        const std::size_t had = consumed.size();
        consumed.resize(had + count);
        const std::size_t got = read(reinterpret_cast<unsigned char*>(consumed.data() + had), count);
        consumed.resize(had + got);
        return got == count;
    };
    if (!take(12) || consumed.compare(0, 4, "RIFF") != 0 || consumed.compare(8, 4, "WAVE") != 0)
        return std::nullopt;
    std::optional<RawFormat> format;
    while (consumed.size() < kMaxHeaderBytes && take(8)) {
        const std::string id = consumed.substr(consumed.size() - 8, 4);
        const std::uint32_t size =
            Little(reinterpret_cast<const unsigned char*>(consumed.data()) + consumed.size() - 4, 4);
        if (id == "data")
            return format ? std::optional<WavStream>({*format, size}) : std::nullopt;
        const std::uint64_t padded = std::uint64_t{size} + (size & 1);  // chunks keep an even length
        if (padded > kMaxHeaderBytes || !take(static_cast<std::size_t>(padded)))
            return std::nullopt;
        if (id == "fmt ")
            format = ParseFormat(consumed.substr(consumed.size() - static_cast<std::size_t>(padded), size));
        if (id == "fmt " && !format)
            return std::nullopt;
    }
    return std::nullopt;
}

}  // namespace vardell
