// Shared helpers of the wave-audio tests.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "VirtualAudio.h"
#include "WaveAudio.h"

namespace audiotest {
using namespace std::chrono_literals;
using Samples = std::vector<std::int16_t>;
using Bytes = std::vector<std::uint8_t>;
constexpr unsigned kHdr = sizeof(WAVEHDR);

inline WAVEFORMATEX Pcm(WORD channels = 1, DWORD rate = 11025)
{
    return {WAVE_FORMAT_PCM, channels, rate, rate * channels * 2, WORD(channels * 2), 16, 0};
}

// Polls `pred`; the time limit only guards against hangs.
inline bool WaitFor(const std::function<bool()>& pred)
{
    for (auto end = std::chrono::steady_clock::now() + 20s; std::chrono::steady_clock::now() < end;
         std::this_thread::sleep_for(5ms))
        if (pred())
            return true;
    return false;
}

// Records every callback, and whether one came on the thread that made the recorder;
// an optional hook runs inside the callback first.
class Recorder {
public:
    std::function<void(void* handle, unsigned int msg, DWORD_PTR p1)> hook;
    std::atomic<bool> onOwnThread{false};

    template <class H>
    static void Proc(H h, unsigned int msg, DWORD_PTR inst, DWORD_PTR p1, DWORD_PTR)
    {
        auto* self = reinterpret_cast<Recorder*>(inst);
        if (self->hook)
            self->hook(h, msg, p1);
        std::lock_guard lk(self->m_);
        self->msgs_.push_back({msg, p1});
        self->onOwnThread = self->onOwnThread || std::this_thread::get_id() == self->owner_;
    }
    DWORD_PTR In() const { return reinterpret_cast<DWORD_PTR>(&Proc<HWAVEIN>); }
    DWORD_PTR Out() const { return reinterpret_cast<DWORD_PTR>(&Proc<HWAVEOUT>); }
    DWORD_PTR Self() { return reinterpret_cast<DWORD_PTR>(this); }

    // Each message with its first parameter, in order.
    std::vector<std::pair<unsigned int, DWORD_PTR>> Messages()
    {
        std::lock_guard lk(m_);
        return msgs_;
    }
    std::vector<DWORD_PTR> Params(unsigned int msg)
    {
        std::vector<DWORD_PTR> out;
        for (auto& [m, p1] : Messages())
            if (m == msg)
                out.push_back(p1);
        return out;
    }
    std::size_t Count(unsigned int msg) { return Params(msg).size(); }
    bool WaitCount(unsigned int msg, std::size_t n)
    {
        return WaitFor([&] { return Count(msg) >= n; });
    }

private:
    std::mutex m_;
    std::vector<std::pair<unsigned int, DWORD_PTR>> msgs_;
    std::thread::id owner_ = std::this_thread::get_id();
};

// A caller-owned buffer with its header; a nonzero `seed` fills it with a byte pattern.
struct Block {
    std::vector<char> data;
    WAVEHDR hdr{};
    explicit Block(std::size_t bytes = 512, int seed = 0) : data(bytes, 0)
    {
        for (std::size_t i = 0; seed && i < bytes; ++i)
            data[i] = static_cast<char>(seed + int(i) * 7);
        hdr.lpData = data.data();
        hdr.dwBufferLength = static_cast<DWORD>(bytes);
    }
    explicit Block(const Samples& s) : Block(s.size() * 2) { std::memcpy(data.data(), s.data(), data.size()); }
    DWORD_PTR Ptr() { return reinterpret_cast<DWORD_PTR>(&hdr); }
    Bytes Head(std::size_t n) const { return {data.begin(), data.begin() + std::ptrdiff_t(n)}; }
};

inline Samples Ramp(std::size_t n, int start = 1)
{
    Samples s(n);
    std::ranges::generate(s, [v = start - 13]() mutable { return static_cast<std::int16_t>((v += 13) % 30000); });
    return s;
}
inline Bytes AsBytes(const Samples& s)
{
    auto* p = reinterpret_cast<const std::uint8_t*>(s.data());
    return {p, p + s.size() * 2};
}

// A mono PCM WAV at 11025 Hz written by hand, 8 or 16 bits.
inline std::string WriteWav(const std::string& name, const Bytes& data, std::uint16_t bits = 16)
{
    auto u32 = [](std::uint32_t v) { return std::string(reinterpret_cast<const char*>(&v), 4); };
    auto u16 = [](std::uint16_t v) { return std::string(reinterpret_cast<const char*>(&v), 2); };
    const auto size = std::uint32_t(data.size());
    const std::string path = ::testing::TempDir() + "/" + name;
    std::ofstream(path, std::ios::binary) << "RIFF" + u32(36 + size) + "WAVEfmt " + u32(16) + u16(1) + u16(1) +
                                                 u32(11025) + u32(11025 * bits / 8) + u16(bits / 8) + u16(bits) +
                                                 "data" + u32(size) + std::string(data.begin(), data.end());
    return path;
}

// Only virtual devices, none left over from another test.
class Virtual : public ::testing::Test {
protected:
    void SetUp() override
    {
        vaudio::UseServerDevices(false);
        vaudio::RemoveVirtualDevices();
    }
    void TearDown() override { vaudio::RemoveVirtualDevices(); }

    static HWAVEIN OpenIn(unsigned int dev, Recorder& rec, WAVEFORMATEX f = Pcm())
    {
        HWAVEIN h = nullptr;
        EXPECT_EQ(waveInOpen(&h, dev, &f, rec.In(), rec.Self(), CALLBACK_FUNCTION), MMSYSERR_NOERROR);
        return h;
    }
    static HWAVEOUT OpenOut(unsigned int dev, Recorder& rec, WAVEFORMATEX f = Pcm())
    {
        HWAVEOUT h = nullptr;
        EXPECT_EQ(waveOutOpen(&h, dev, &f, rec.Out(), rec.Self(), CALLBACK_FUNCTION), MMSYSERR_NOERROR);
        return h;
    }
    static void Add(HWAVEIN h, Block& b)
    {
        ASSERT_EQ(waveInPrepareHeader(h, &b.hdr, kHdr), MMSYSERR_NOERROR);
        ASSERT_EQ(waveInAddBuffer(h, &b.hdr, kHdr), MMSYSERR_NOERROR);
    }
    static void Write(HWAVEOUT h, Block& b)
    {
        ASSERT_EQ(waveOutPrepareHeader(h, &b.hdr, kHdr), MMSYSERR_NOERROR);
        ASSERT_EQ(waveOutWrite(h, &b.hdr, kHdr), MMSYSERR_NOERROR);
    }
};

}  // namespace audiotest
