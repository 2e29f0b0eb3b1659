#include "Decoder.h"

#include <algorithm>

#include "AudioFile.h"
#include "AudioMonitor.h"
#include "CommandReader.h"
#include "FFT.h"
#include "OwnedWindow.h"

namespace tool {

namespace {

constexpr std::size_t kBlock = 256;
constexpr int kDetectionFactor = 6;  // the monitor's, so a file decodes as it would live

}  // namespace

void DecodeSamples(std::span<const std::int16_t> samples, DecodeOutput output, const DecodeSink& sink)
{
    std::size_t block = 0;
    const auto blockEnd = [&] { return static_cast<double>((block + 1) * kBlock) / kDetectorRate; };

    // Created on this thread, so the reader's SendMessageA calls the handler directly.
    OwnedWindow window([&](HWND, UINT msg, WPARAM wParam, LPARAM) -> LRESULT {
        if (msg == WM_DTMFCOMMAND)
            sink(blockEnd(), reinterpret_cast<const char*>(wParam));
        return 0;
    });
    // Stream time: whole seconds at the start of the current block.
    CommandReader reader(window.Get(), [&] { return static_cast<long long>(block * kBlock / kDetectorRate); });

    struct KeySink {
        DecodeOutput output;
        CommandReader& reader;
        const DecodeSink& sink;
        double now = 0;
        void ProcessChar(char key)
        {
            if (output == DecodeOutput::Keys)
                sink(now, std::string_view(&key, 1));
            else
                reader.ProcessChar(key);
        }
    } keySink{output, reader, sink};

    FFT fft(kBlock);
    KeyDetector detector;
    short work[kBlock];
    int spectrum[kBlock / 2];
    const std::size_t blocks = samples.size() / kBlock;
    for (block = 0; block < blocks; ++block) {
        // Run transforms in place: the recording itself stays untouched.
        std::copy_n(samples.begin() + static_cast<std::ptrdiff_t>(block * kBlock), kBlock, work);
        fft.Run(work, spectrum);
        keySink.now = blockEnd();
        detector.ProcessBlock(spectrum, kDetectionFactor, keySink);
    }
}

}  // namespace tool
