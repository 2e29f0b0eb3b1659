// Fixed-point real-input FFT: one block of N 16-bit samples in, N/2 magnitudes out.
//
//     FFT fft(256);
//     short block[256] = {...};   // overwritten: it is the workspace
//     int magnitudes[128];
//     fft.Run(block, magnitudes);
//
// Threads: the tables are read-only once built, but Run, RunBand, Transform and FormBins
// write no state of the object either; one analyser may serve several threads at once.
#pragma once

#include <memory>

#include "VardellExport.h"

class VARDELL_API FFT {
public:
    // size: a power of two, at least 4 and at most 32768 (reverse holds 16-bit
    // offsets up to N-2). Throws std::bad_alloc when a table cannot be built and
    // std::invalid_argument for a bad size, so no partly built analyser can ever
    // be used.
    explicit FFT(int size);
    ~FFT();
    FFT(const FFT&) = delete;
    FFT& operator=(const FFT&) = delete;

    // Windows and transforms `samples` (N values, overwritten: it is the workspace)
    // and writes the magnitudes of bins 0..N/2-1 to `out`.
    void Run(short* samples, int* out);
    // The same magnitudes for bins first..last only (1 <= first <= last <= N/4), into
    // out[first..last]; `samples` is read, `work` (N values) is the workspace.
    void RunBand(const short* samples, short* work, int* out, int first, int last);
    // RunBand in two steps, for a caller that forms more bins in some blocks only:
    // Transform windows and transforms `samples` into `work`; FormBins then forms
    // bins first..last (1 <= first <= last <= N/4) and, with `mirrors`, also bins
    // N/2-last..N/2-first. Bins k and N/2-k are formed together and in place, so
    // each k may be formed once per Transform.
    void Transform(const short* samples, short* work) const;
    void FormBins(short* work, int* out, int first, int last, bool mirrors = false) const;

private:
    friend struct FFTTableAccess;  // lets the tests read the tables; defined only there

    bool InitializeReverse();
    bool InitializeTrig();
    bool InitializeWindow();
    void Butterflies(short* x) const;
    void FastButterflies(short* x) const;
    void Split(short* x, int i, int j) const;

    // All tables are Q15 where they hold fractions; reverse holds word offsets.
    int points;
    bool wide;  // the butterflies eight at a time (AVX2), where the processor has it; the tests clear it
    std::unique_ptr<short[]> reverse;   // [N/2] 2 * bitrev(i): offset of point bitrev(i)'s real part
    std::unique_ptr<short[]> window;    // [N]   periodic Hamming, peak 32767
    std::unique_ptr<short[]> sinTable;  // [N/2] -32768 sin(theta), bit-reversed order
    std::unique_ptr<short[]> cosTable;  // [N/2] -32768 cos(theta), bit-reversed order
};
