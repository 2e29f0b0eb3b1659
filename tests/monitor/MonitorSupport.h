// DTMF recordings at 11025 Hz, and a window on the test thread that keeps every command text.
#pragma once

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "AudioMonitor.h"
#include "CommandReader.h"
#include "Messages.h"
#include "Tones.h"
#include "VirtualAudio.h"

namespace montest {

using namespace std::chrono_literals;
constexpr int kRate = 11025, kBlock = 256;

// `leadMs` of silence, the keys, `tailMs`, padded to whole blocks.
inline std::vector<std::int16_t> Recording(std::string_view keys, int leadMs = 100, int tailMs = 200)
{
    std::vector<std::int16_t> out(static_cast<std::size_t>(kRate * leadMs / 1000), 0);
    const auto tones = vardell::GenerateTones(keys, {});
    out.insert(out.end(), tones.begin(), tones.end());
    out.resize((out.size() + static_cast<std::size_t>(kRate * tailMs / 1000 + kBlock - 1)) / kBlock * kBlock, 0);
    return out;
}

// Every text that a reader sends for these keys, in order.
inline std::vector<std::string> Texts(std::string_view keys)
{
    std::vector<std::string> texts;
    std::string text;
    for (char key : keys)
        if ((text = key == '*' || key == '#' ? std::string(1, key) : text + key)[0] == '*' || text[0] == '#')
            texts.push_back(text);
    return texts;
}

// Waits until done() or `limit` (a guard against hangs), handling meanwhile, when `pump`,
// the messages sent to this thread.
template <class Done>
bool WaitUntil(Done done, std::chrono::milliseconds limit = 30s, bool pump = false)
{
    for (auto end = std::chrono::steady_clock::now() + limit; !done() && std::chrono::steady_clock::now() < end;)
        if (!pump || !PumpSentMessages())
            std::this_thread::sleep_for(2ms);
    return done();
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
    bool Pump(std::size_t count, std::chrono::milliseconds limit = 30s)
    {
        return WaitUntil([&] { return texts.size() >= count; }, limit, true);
    }
};

// Virtual devices only, numbered from 0 in the order a test adds them.
struct VirtualOnly {
    VirtualOnly() { vaudio::RemoveVirtualDevices(), vaudio::UseServerDevices(false); }
    ~VirtualOnly() { vaudio::RemoveVirtualDevices(), vaudio::UseServerDevices(true); }
};

}  // namespace montest
