// AudioQueue on a virtual input whose filled buffers the test keeps, deciding when and in
// which order Put sees them, against a model of a bounded FIFO.
#include <gtest/gtest.h>

#include <deque>
#include <mutex>
#include <numeric>
#include <random>
#include <tuple>

#include "AudioQueue.h"
#include "MonitorSupport.h"

using namespace montest;
using Clock = std::chrono::steady_clock;

namespace {

std::mutex m;
std::vector<WAVEHDR*> filled;  // by the device, not yet put

void Filled(HWAVEIN, unsigned int msg, DWORD_PTR, DWORD_PTR header, DWORD_PTR)
{
    std::lock_guard lock(m);
    if (msg == WIM_DATA)
        filled.push_back(reinterpret_cast<WAVEHDR*>(header));
}

std::uint32_t Now()  // the queue's clock: steady milliseconds, wrapping at 2^32
{
    return std::uint32_t(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count());
}

// Random Puts (of filled buffers, in any order) and Gets: blocks come out whole, in Put order,
// stamped with the time of their Put; the ring holds 42 and keeps a refused buffer for good.
TEST(AudioQueue, RandomPutsAndGetsBehaveLikeABoundedFifo)
{
    VirtualOnly devices;
    std::vector<std::int16_t> samples(1500 * kBlock);
    std::iota(samples.begin(), samples.end(), std::int16_t{0});  // sample j of a block: its first + j
    const WAVEFORMATEX format{WAVE_FORMAT_PCM, 1, 11025, 22050, 2, 16, 0};
    HWAVEIN in = nullptr;
    ASSERT_EQ(waveInOpen(&in, vaudio::AddVirtualInput("Queue", samples), &format, reinterpret_cast<DWORD_PTR>(&Filled),
                         0, CALLBACK_FUNCTION),
              MMSYSERR_NOERROR);
    auto queue = AudioQueue::Create(in);
    ASSERT_TRUE(queue && waveInStart(in) == MMSYSERR_NOERROR);
    WAVEHDR stranger{};
    stranger.dwUser = AudioQueue::BufferCount;
    EXPECT_FALSE(queue->Put(&stranger));

    std::deque<std::tuple<std::int16_t, std::uint32_t, std::uint32_t>> model;  // first sample, clock around Put
    WAVEHDR* refused = nullptr;
    std::mt19937 random(3);
    ASSERT_TRUE(WaitUntil([] { return std::lock_guard(m), filled.size() == AudioQueue::BufferCount; }));
    const auto deadline = Clock::now() + 60s;  // only a hang comes near it
    for (int step = 0, gets = 0; gets < 1200; ++step) {
        ASSERT_LT(Clock::now(), deadline) << "the device stopped filling buffers";
        WAVEHDR* header = nullptr;
        if (std::lock_guard lock(m); !filled.empty() && (step < AudioQueue::BufferCount || random() % 8 < 5)) {
            std::swap(filled[random() % filled.size()], filled.back());
            header = filled.back();
            filled.pop_back();
        }
        if (header) {
            ASSERT_NE(header, refused) << "a refused buffer went back to the device";
            const auto from = Now();
            const bool room = model.size() < AudioQueue::BufferCount - 1;
            ASSERT_EQ(queue->Put(header), room);
            if (!room)
                refused = header;
            else
                model.emplace_back(reinterpret_cast<std::int16_t*>(header->lpData)[0], from, Now());
            continue;
        }
        short block[kBlock];
        std::uint32_t tick = 0;
        ASSERT_EQ(queue->Get(block, step % 2 ? &tick : nullptr), !model.empty());
        if (model.empty()) {
            std::this_thread::yield();  // the device is filling
            continue;
        }
        ++gets;
        const auto [first, from, to] = model.front();
        for (int j = 0; j < kBlock; ++j)
            ASSERT_EQ(block[j], static_cast<std::int16_t>(first + j)) << "get " << gets;
        EXPECT_TRUE(step % 2 == 0 || tick - from <= to - from);  // unsigned differences: wrap-safe
        model.pop_front();
    }
    EXPECT_NE(refused, nullptr) << "the ring was never full";
    waveInReset(in);
    queue.reset();
    EXPECT_EQ(waveInClose(in), MMSYSERR_NOERROR);
}

}  // namespace
