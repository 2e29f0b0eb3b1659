// DTMF recordings at 11025 Hz, and a window on the test thread that keeps every command text.
#pragma once

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "AudioMonitor.h"
#include "CommandReader.h"
#include "Messages.h"
#include "VirtualAudio.h"

namespace montest {

using namespace std::chrono_literals;
constexpr int kRate = 11025, kBlock = 256;

// `leadMs` of silence, each key (80 ms at -10 dBFS per tone, 60 ms gap), `tailMs`, padded to whole blocks.
inline std::vector<std::int16_t> Recording(std::string_view keys, int leadMs = 100, int tailMs = 200)
{
    static constexpr double rows[] = {697, 770, 852, 941}, cols[] = {1209, 1336, 1477, 1633};
    const auto ms = [](int n) { return static_cast<std::size_t>(kRate * n / 1000); };
    const double w = 2 * std::numbers::pi / kRate, a = 32767 * std::pow(10.0, -0.5);
    std::vector<std::int16_t> out(ms(leadMs), 0);
    for (char key : keys) {
        const auto i = std::string_view("123A456B789C*0#D").find(key);
        for (std::size_t t = 0; t < ms(80); ++t)
            out.push_back(static_cast<std::int16_t>(
                std::lround(a * (std::sin(w * rows[i / 4] * t) + std::sin(w * cols[i % 4] * t)))));
        out.insert(out.end(), ms(60), 0);
    }
    out.insert(out.end(), ms(tailMs), 0);
    out.resize((out.size() + kBlock - 1) / kBlock * kBlock, 0);
    return out;
}

// Every text that a reader sends for these keys, in order.
inline std::vector<std::string> Texts(std::string_view keys)
{
    std::vector<std::string> texts;
    std::string text;
    for (char key : keys) {
        text = key == '*' || key == '#' ? std::string(1, key) : text + key;
        if (text[0] == '*' || text[0] == '#')
            texts.push_back(text);
    }
    return texts;
}

// A window owned by the constructing thread; `sent` counts messages queued to it.
// It keeps every command text and every monitor state change ("lost: reason", "listening").
struct TextWindow {
    std::vector<std::string> texts, states;
    std::atomic<int> sent{0};
    HWND hwnd = CreateMessageWindow(
        [this](HWND, UINT msg, WPARAM wParam, LPARAM lParam) -> LRESULT {
            if (msg == WM_DTMFCOMMAND)
                texts.emplace_back(reinterpret_cast<const char*>(wParam));
            if (msg == WM_DTMFSTATE)
                states.push_back(wParam == WPARAM(MonitorState::Lost)
                                     ? "lost: " + std::string(reinterpret_cast<const char*>(lParam))
                                     : "listening");
            return 0;
        },
        [this] { ++sent; });
    ~TextWindow() { DestroyMessageWindow(hwnd); }

    // Handles sent messages until `count` texts have come or `limit` has passed (a guard against hangs).
    bool Pump(std::size_t count, std::chrono::milliseconds limit = 30s)
    {
        return PumpUntil([&] { return texts.size() >= count; }, limit);
    }
    template <class Done>
    bool PumpUntil(Done done, std::chrono::milliseconds limit = 30s)
    {
        for (auto end = std::chrono::steady_clock::now() + limit; !done() && std::chrono::steady_clock::now() < end;)
            if (!PumpSentMessages())
                std::this_thread::sleep_for(2ms);
        return done();
    }
};

// Virtual devices only, numbered from 0 in the order a test adds them.
struct VirtualOnly {
    VirtualOnly() { vaudio::RemoveVirtualDevices(), vaudio::UseServerDevices(false); }
    ~VirtualOnly() { vaudio::RemoveVirtualDevices(), vaudio::UseServerDevices(true); }
};

}  // namespace montest
