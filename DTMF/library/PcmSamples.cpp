#include "PcmSamples.h"

#include <array>
#include <cstdint>
#include <cstring>

namespace vardell {

namespace {

struct EncodingFacts {
    const char* name;
    int bytes;
};

constexpr EncodingFacts kFacts[] = {{"s16le", 2}, {"s16be", 2}, {"u8", 1},   {"s8", 1},  {"s24le", 3},
                                    {"s32le", 4}, {"f32le", 4}, {"ulaw", 1}, {"alaw", 1}};
static_assert(std::size(kFacts) == std::size(kSampleEncodings));

const EncodingFacts& Facts(SampleEncoding encoding)
{
    return kFacts[static_cast<int>(encoding)];
}

// G.711 expanded to 16 bits, as the standard's reference decoders give it.
std::int16_t FromULaw(unsigned char code)
{
    const int u = ~code & 0xFF;
    const int magnitude = ((((u & 0x0F) << 3) + 0x84) << ((u >> 4) & 7)) - 0x84;
    return static_cast<std::int16_t>(u & 0x80 ? -magnitude : magnitude);
}

std::int16_t FromALaw(unsigned char code)
{
    const int a = code ^ 0x55;
    const int segment = (a >> 4) & 7;
    int magnitude = ((a & 0x0F) << 4) + (segment == 0 ? 8 : 0x108);
    if (segment > 1)
        magnitude <<= segment - 1;
    return static_cast<std::int16_t>(a & 0x80 ? magnitude : -magnitude);
}

struct CompandTables {
    std::array<float, 256> ulaw, alaw;
    CompandTables()
    {
        for (int code = 0; code < 256; ++code) {
            ulaw[code] = FromULaw(static_cast<unsigned char>(code)) * (1.0f / 0x8000);
            alaw[code] = FromALaw(static_cast<unsigned char>(code)) * (1.0f / 0x8000);
        }
    }
};

const CompandTables& Compand()
{
    static const CompandTables tables;
    return tables;
}

std::int32_t Signed32(std::uint32_t bits)
{
    std::int32_t value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

}  // namespace

const char* SampleEncodingName(SampleEncoding encoding)
{
    return Facts(encoding).name;
}

std::optional<SampleEncoding> ParseSampleEncoding(std::string_view name)
{
    for (SampleEncoding encoding : kSampleEncodings)
        if (name == Facts(encoding).name)
            return encoding;
    return std::nullopt;
}

int SampleBytes(SampleEncoding encoding)
{
    return Facts(encoding).bytes;
}

// Each scale is a power of two, applied to the integer converted to float, as
// libsndfile does: the results agree to the bit.
void ToFloats(SampleEncoding encoding, const unsigned char* b, std::size_t count, float* out)
{
    const auto each = [count, out](auto sample) {
        for (std::size_t i = 0; i < count; ++i)
            out[i] = sample(i);
    };
    const auto little = [b](std::size_t at, int bytes) {
        std::uint32_t v = 0;
        for (int k = bytes - 1; k >= 0; --k)
            v = v << 8 | b[at + static_cast<std::size_t>(k)];
        return v;
    };
    const CompandTables& tables = Compand();
    switch (encoding) {
    case SampleEncoding::S16LE:
        return each([&](std::size_t i) { return static_cast<std::int16_t>(little(2 * i, 2)) * (1.0f / 0x8000); });
    case SampleEncoding::S16BE:
        return each(
            [&](std::size_t i) { return static_cast<std::int16_t>(b[2 * i] << 8 | b[2 * i + 1]) * (1.0f / 0x8000); });
    case SampleEncoding::U8:
        return each([&](std::size_t i) { return static_cast<float>(b[i] - 128) * (1.0f / 0x80); });
    case SampleEncoding::S8:
        return each([&](std::size_t i) { return static_cast<float>(static_cast<signed char>(b[i])) * (1.0f / 0x80); });
    case SampleEncoding::S24LE:
        return each(
            [&](std::size_t i) { return static_cast<float>(Signed32(little(3 * i, 3) << 8)) * (1.0f / 0x80000000u); });
    case SampleEncoding::S32LE:
        return each(
            [&](std::size_t i) { return static_cast<float>(Signed32(little(4 * i, 4))) * (1.0f / 0x80000000u); });
    case SampleEncoding::F32LE:
        return each([&](std::size_t i) {
            float value;
            const std::uint32_t bits = little(4 * i, 4);
            std::memcpy(&value, &bits, sizeof value);
            return value;
        });
    case SampleEncoding::ULaw:
        return each([&](std::size_t i) { return tables.ulaw[b[i]]; });
    case SampleEncoding::ALaw:
        return each([&](std::size_t i) { return tables.alaw[b[i]]; });
    }
}

void ToShorts(const unsigned char* b, std::size_t count, short* out)
{
    for (std::size_t i = 0; i < count; ++i)
        out[i] = static_cast<short>(b[2 * i] | b[2 * i + 1] << 8);
}

}  // namespace vardell
