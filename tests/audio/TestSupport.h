// Shared helpers of the wave-audio tests: a callback recorder and header buffers.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "VirtualAudio.h"
#include "WaveAudio.h"

namespace audiotest {

inline WAVEFORMATEX Pcm(WORD channels, DWORD rate, WORD bits) {
    WAVEFORMATEX f{};
    f.wFormatTag = WAVE_FORMAT_PCM;
    f.nChannels = channels;
    f.nSamplesPerSec = rate;
    f.wBitsPerSample = bits;
    f.nBlockAlign = static_cast<WORD>(channels * bits / 8);
    f.nAvgBytesPerSec = rate * f.nBlockAlign;
    return f;
}

inline WAVEFORMATEX Mono11k() { return Pcm(1, 11025, 16); }

struct Message {
    unsigned int msg;
    DWORD_PTR param1;
    std::thread::id thread;
};

// Records every callback; an optional hook runs inside the callback.
class Recorder {
public:
    std::function<void(void* handle, unsigned int msg, DWORD_PTR p1)> hook;

    static void InProc(HWAVEIN h, unsigned int msg, DWORD_PTR inst, DWORD_PTR p1, DWORD_PTR) {
        reinterpret_cast<Recorder*>(inst)->record(h, msg, p1);
    }
    static void OutProc(HWAVEOUT h, unsigned int msg, DWORD_PTR inst, DWORD_PTR p1, DWORD_PTR) {
        reinterpret_cast<Recorder*>(inst)->record(h, msg, p1);
    }
    DWORD_PTR In() const { return reinterpret_cast<DWORD_PTR>(&InProc); }
    DWORD_PTR Out() const { return reinterpret_cast<DWORD_PTR>(&OutProc); }
    DWORD_PTR Self() { return reinterpret_cast<DWORD_PTR>(this); }

    std::vector<Message> Messages() {
        std::lock_guard lk(m_);
        return msgs_;
    }
    std::size_t Count(unsigned int msg) {
        std::lock_guard lk(m_);
        std::size_t n = 0;
        for (auto& x : msgs_) n += x.msg == msg;
        return n;
    }
    std::vector<DWORD_PTR> Params(unsigned int msg) {
        std::lock_guard lk(m_);
        std::vector<DWORD_PTR> out;
        for (auto& x : msgs_)
            if (x.msg == msg) out.push_back(x.param1);
        return out;
    }
    // Generous: guards against hangs only.
    bool WaitCount(unsigned int msg, std::size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
        std::unique_lock lk(m_);
        return cv_.wait_for(lk, timeout, [&] {
            std::size_t c = 0;
            for (auto& x : msgs_) c += x.msg == msg;
            return c >= n;
        });
    }

private:
    void record(void* h, unsigned int msg, DWORD_PTR p1) {
        if (hook) hook(h, msg, p1);
        // Notify under the lock: a waiter may destroy the recorder as soon as it wakes.
        std::lock_guard lk(m_);
        msgs_.push_back({msg, p1, std::this_thread::get_id()});
        cv_.notify_all();
    }
    std::mutex m_;
    std::condition_variable cv_;
    std::vector<Message> msgs_;
};

// A caller-owned buffer with its header.
struct Block {
    std::vector<char> data;
    WAVEHDR hdr{};
    explicit Block(std::size_t bytes) : data(bytes, 0) {
        hdr.lpData = data.data();
        hdr.dwBufferLength = static_cast<DWORD>(bytes);
    }
    DWORD_PTR Ptr() { return reinterpret_cast<DWORD_PTR>(&hdr); }
    std::vector<std::int16_t> Samples() const {
        std::vector<std::int16_t> s(hdr.dwBytesRecorded / 2);
        std::memcpy(s.data(), data.data(), s.size() * 2);
        return s;
    }
};

inline std::vector<std::int16_t> Ramp(std::size_t n, int start = 1) {
    std::vector<std::int16_t> s(n);
    for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<std::int16_t>((start + int(i)) % 30000);
    return s;
}

}  // namespace audiotest
