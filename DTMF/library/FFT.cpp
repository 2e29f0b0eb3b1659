// STUB
#include "FFT.h"
FFT::FFT(int size) : points(size) {}
FFT::~FFT() = default;
void FFT::Run(short*, int* out) { for (int i = 0; i < points / 2; ++i) out[i] = 1; }
bool FFT::InitializeReverse() { return true; }
bool FFT::InitializeTrig() { return true; }
bool FFT::InitializeWindow() { return true; }
