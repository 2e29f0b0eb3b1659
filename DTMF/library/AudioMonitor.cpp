// STUB
#include "AudioMonitor.h"
CommandReader* AudioMonitor::myReader = nullptr;
AudioQueue* AudioMonitor::queue = nullptr;
FFT* AudioMonitor::myFFT = nullptr;
std::atomic<bool> AudioMonitor::quit{false};
HWAVEIN AudioMonitor::wavdev = nullptr;
std::atomic<void*> AudioMonitor::myThread{nullptr};
int AudioMonitor::threshold = 6;
AudioMonitor::AudioMonitor(HWND, std::string) {}
AudioMonitor::AudioMonitor(CommandReader*, int) {}
AudioMonitor::~AudioMonitor() = default;
AudioMonitor& AudioMonitor::operator=(const AudioMonitor& o) { ownsReader = o.ownsReader; return *this; }
void AudioMonitor::Quit() { quit = true; }
void AudioMonitor::ThreadFunc() {}
void AudioMonitor::WaveCallback(HWAVEIN, unsigned int, DWORD_PTR, DWORD_PTR, DWORD_PTR) {}
void AudioMonitor::SetUp(int) {}
