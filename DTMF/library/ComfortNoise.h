// Comfort noise for overwritten spans: white noise at each channel's background
// level, the quietest 10 ms piece among the last half second of samples kept,
// so that a gap in a call does not fall silent. The same stream gives the same
// noise. Internal to the library.
//
//     ComfortNoise noise(2, 8000);
//     noise.Keep(at, squares);        // each kept frame: its channels' squared samples (full scale 1)
//     noise.Skip(at, frames);         // frames overwritten: their pieces do not count
//     noise.Begin(at);                // a span begins at frame `at`: its levels are fixed
//     double v = noise.Next(channel); // its samples, one channel after another
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

class ComfortNoise {
public:
    static constexpr int kPieces = 50;  // of 10 ms

    ComfortNoise(int channels, int rate)
        : piece(std::max(1, rate / 100)),
          sums(static_cast<std::size_t>(channels)),
          quiet(static_cast<std::size_t>(channels) * kPieces, -1),
          levels(static_cast<std::size_t>(channels))
    {
    }

    void Keep(std::uint64_t at, const double* squares)
    {
        Reach(at);
        for (std::size_t c = 0; c < sums.size(); ++c)
            sums[c] += squares[c];
        if (++filled == piece)
            Close();
    }

    void Skip(std::uint64_t at, std::uint64_t frames)
    {
        Reach(at + frames - 1);
        spoiled = true;
    }

    void Begin(std::uint64_t at)
    {
        for (std::size_t c = 0; c < levels.size(); ++c) {
            double floor = -1;
            for (int p = 0; p < kPieces; ++p)
                if (const double q = quiet[c * kPieces + p]; q >= 0 && (floor < 0 || q < floor))
                    floor = q;
            levels[c] = floor > 0 ? std::sqrt(floor) : 0;
        }
        state = at * 0x9E3779B97F4A7C15u | 1;  // never 0, which xorshift keeps
    }

    // Gaussian-like: four uniform draws, scaled to unit variance.
    double Next(std::size_t channel)
    {
        double sum = 0;
        for (int i = 0; i < 4; ++i) {
            state ^= state << 13, state ^= state >> 7, state ^= state << 17;
            sum += static_cast<double>(state >> 11) * 0x1p-53 * 2 - 1;
        }
        return levels[channel] * sum * 0.8660254037844386;
    }

private:
    // Frame `at` lies in the current piece, or a later one: the current one closes.
    void Reach(std::uint64_t at)
    {
        if (at / piece != current) {
            if (filled > 0 || spoiled)
                Close();
            current = at / piece;
        }
    }

    void Close()
    {
        if (!spoiled && filled == piece) {
            for (std::size_t c = 0; c < sums.size(); ++c)
                quiet[c * kPieces + next] = sums[c] / static_cast<double>(piece);
            next = (next + 1) % kPieces;
        }
        std::fill(sums.begin(), sums.end(), 0.0);
        filled = 0, spoiled = false;
        ++current;
    }

    std::uint64_t piece;  // frames
    std::uint64_t current = 0, filled = 0;
    bool spoiled = false;
    int next = 0;
    std::vector<double> sums, quiet, levels;  // quiet: mean squares of the last pieces, -1 unset
    std::uint64_t state = 1;
};
