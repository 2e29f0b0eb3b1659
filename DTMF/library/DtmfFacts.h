// The facts of DTMF as this library hears it, stated once: the capture rate and
// block, the keypad, the eight tones and the spectrum bins they fall in.
//
//     for (char key : dtmf::kKeys)                     // "123A456B789C*0#D"
//         dtmf::RowHz(key), dtmf::ColumnHz(key);       // 697..941 Hz, 1209..1633 Hz
//
// A 256-point spectrum at 11025 Hz has bins 43.07 Hz wide; bin k is centred on
// k * kBinHz. The default classifier reads the band kBandFirst..kBandLast alone.
#pragma once

#include <string_view>

namespace dtmf {

inline constexpr int kRate = 11025;  // samples per second, 16-bit mono
inline constexpr int kBlock = 256;   // samples per block: the unit of capture and transform
inline constexpr double kBinHz = static_cast<double>(kRate) / kBlock;

// Row-major keypad: the key of row r and column c is kKeys[c + 4 * r].
inline constexpr std::string_view kKeys = "123A456B789C*0#D";

// The rows (low group), then the columns (high group).
inline constexpr double kToneHz[8] = {697, 770, 852, 941, 1209, 1336, 1477, 1633};

// The bin nearest to a frequency.
constexpr int BinOf(double hz)
{
    return static_cast<int>(hz / kBinHz + 0.5);
}

inline constexpr int kRowBins[4] = {BinOf(kToneHz[0]), BinOf(kToneHz[1]), BinOf(kToneHz[2]), BinOf(kToneHz[3])};
inline constexpr int kColumnBins[4] = {BinOf(kToneHz[4]), BinOf(kToneHz[5]), BinOf(kToneHz[6]), BinOf(kToneHz[7])};
static_assert(kRowBins[0] == 16 && kRowBins[3] == 22 && kColumnBins[0] == 28 && kColumnBins[3] == 38);

// The classifier's band: the tone bins and the noise bins around them.
inline constexpr int kBandFirst = 15, kBandLast = 39;

// Position of a key in kKeys (row * 4 + column), or -1 for anything else.
constexpr int KeyIndex(char key)
{
    const auto at = key == '\0' ? std::string_view::npos : kKeys.find(key);
    return at == std::string_view::npos ? -1 : static_cast<int>(at);
}

// The tones of a valid key.
constexpr double RowHz(char key)
{
    return kToneHz[KeyIndex(key) / 4];
}
constexpr double ColumnHz(char key)
{
    return kToneHz[4 + KeyIndex(key) % 4];
}

}  // namespace dtmf
