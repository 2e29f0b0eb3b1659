// Helpers for the monitor tests: DTMF recordings synthesised at 11025 Hz, and a
// message window on the test thread that collects every command text.
#pragma once

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "CommandReader.h"
#include "Messages.h"

namespace montest {

constexpr int kRate = 11025;
constexpr int kBlock = 256;

inline int Samples(int ms) { return kRate * ms / 1000; }

// One key at -10 dBFS per tone, followed by `gapMs` of silence.
inline void AppendKey(std::vector<std::int16_t>& out, char key, int toneMs = 80, int gapMs = 60)
{
    static constexpr std::string_view keys = "123A456B789C*0#D";
    static constexpr double rows[] = {697, 770, 852, 941};
    static constexpr double cols[] = {1209, 1336, 1477, 1633};
    const auto index = keys.find(key);
    const double amplitude = 32767.0 * std::pow(10.0, -10.0 / 20.0);
    const double pi = 3.14159265358979323846;
    const double low = rows[index / 4], high = cols[index % 4];
    for (int t = 0, n = Samples(toneMs); t < n; ++t) {
        double v = amplitude * (std::sin(2 * pi * low * t / kRate) + std::sin(2 * pi * high * t / kRate));
        out.push_back(static_cast<std::int16_t>(std::lround(v)));
    }
    out.insert(out.end(), Samples(gapMs), 0);
}

// `leadMs` of silence, the keys, `tailMs` of silence, padded to whole blocks.
inline std::vector<std::int16_t> Recording(std::string_view keys, int leadMs = 100, int tailMs = 200)
{
    std::vector<std::int16_t> out(Samples(leadMs), 0);
    for (char key : keys)
        AppendKey(out, key);
    out.insert(out.end(), Samples(tailMs), 0);
    out.resize((out.size() + kBlock - 1) / kBlock * kBlock, 0);
    return out;
}

// Every text that a reader would send for these keys, in order.
inline std::vector<std::string> ExpectedTexts(std::string_view keys)
{
    std::vector<std::string> texts;
    std::string text;
    for (char key : keys) {
        text = (key == '*' || key == '#') ? std::string(1, key) : text + key;
        if (text[0] == '*' || text[0] == '#')
            texts.push_back(text);
    }
    return texts;
}

// A window owned by the constructing thread that keeps every WM_DTMFCOMMAND text.
class TextWindow {
public:
    TextWindow()
        : hwnd(CreateMessageWindow([this](HWND, UINT msg, WPARAM wParam, LPARAM) -> LRESULT {
              if (msg == WM_DTMFCOMMAND)
                  texts.emplace_back(reinterpret_cast<const char*>(wParam));
              return 0;
          },
                                   [this] { ++sent; }))
    {
    }
    ~TextWindow() { DestroyMessageWindow(hwnd); }
    TextWindow(const TextWindow&) = delete;
    TextWindow& operator=(const TextWindow&) = delete;

    // Handles sent messages until `count` texts have arrived or the deadline
    // passes (a guard against hangs, not a timing requirement).
    bool WaitForTexts(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(30))
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        std::jthread ticker([](std::stop_token stop) {
            while (!stop.stop_requested()) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                NotifyPumpingThreads();
            }
        });
        WaitPumping([&] { return texts.size() >= count || std::chrono::steady_clock::now() >= deadline; });
        return texts.size() >= count;
    }

    // Handles whatever has been sent for a while, e.g. to see that nothing more comes.
    void PumpFor(std::chrono::milliseconds duration)
    {
        const auto until = std::chrono::steady_clock::now() + duration;
        while (std::chrono::steady_clock::now() < until) {
            PumpSentMessages();
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }

    std::atomic<int> sent{0};  // messages queued by other threads, handled or not
    HWND hwnd;
    std::vector<std::string> texts;
};

}  // namespace montest
