#include <Vardell/AudioMonitor.h>
#include <Vardell/CWave.h>
#include <Vardell/CommandReader.h>
#include <Vardell/FFT.h>
#include <Vardell/VirtualAudio.h>  // std::span: needs C++20 from the exported target

#include <atomic>
#include <cstdio>
#include <string_view>

int main(int argc, char**)
{
    std::atomic<bool> done{false};
    HWND window = CreateMessageWindow([&](HWND, UINT msg, WPARAM text, LPARAM) -> LRESULT {
        if (msg == WM_DTMFCOMMAND) {
            std::printf("command so far: %s\n", reinterpret_cast<const char*>(text));
            done = std::string_view(reinterpret_cast<const char*>(text)) == "#99";
        }
        return 0;
    });

    CommandReader reader(window);
    if (argc > 1) {  // only listen when asked: the test just builds and starts it
        auto* monitor = new AudioMonitor(&reader, 0);
        WaitPumping([&] { return done.load(); });
        delete monitor;
    }
    FFT fft(256);
    CWave wave;
    DestroyMessageWindow(window);
    return wave.IsValid();
}
