// Fixed-point real-input FFT: one block of N 16-bit samples in, N/2 magnitudes out.
#pragma once

#include <memory>

#include "VardellExport.h"

class VARDELL_API FFT {
public:
    // size: a power of two, at least 4. Throws std::bad_alloc when a table cannot
    // be built and std::invalid_argument for a bad size, so no partly built
    // analyser can ever be used.
    explicit FFT(int size);
    ~FFT();
    FFT(const FFT&) = delete;
    FFT& operator=(const FFT&) = delete;

    // Windows and transforms `samples` (N values, overwritten: it is the workspace)
    // and writes the magnitudes of bins 0..N/2-1 to `out`.
    void Run(short* samples, int* out);

private:
    bool InitializeReverse();
    bool InitializeTrig();
    bool InitializeWindow();

    int points;
    std::unique_ptr<short[]> reverse;
    std::unique_ptr<short[]> window;
    std::unique_ptr<short[]> sinTable;
    std::unique_ptr<short[]> cosTable;
};
