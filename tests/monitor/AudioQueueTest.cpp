// AudioQueue on a virtual input whose filled headers the test keeps, so that it decides
// when and in which order Put sees them, and sees which buffers go back to the device.
#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <numeric>

#include "AudioQueue.h"
#include "MonitorSupport.h"

using namespace montest;

namespace {

class AudioQueueTest : public ::testing::Test {
protected:
    // A started virtual input whose sample j of block b is b * 256 + j, and its queue.
    void Open(int blocks)
    {
        std::vector<std::int16_t> samples(static_cast<std::size_t>(blocks) * kBlock);
        std::iota(samples.begin(), samples.end(), std::int16_t{0});
        const WAVEFORMATEX format{WAVE_FORMAT_PCM, 1, 11025, 22050, 2, 16, 0};
        ASSERT_EQ(waveInOpen(&waveIn, vaudio::AddVirtualInput("Queue input", samples), &format,
                             reinterpret_cast<DWORD_PTR>(&Filled), reinterpret_cast<DWORD_PTR>(this),
                             CALLBACK_FUNCTION),
                  MMSYSERR_NOERROR);
        ASSERT_NE(queue = AudioQueue::Create(waveIn), nullptr);
        waveInStart(waveIn);
    }
    void TearDown() override
    {
        if (waveIn)
            waveInReset(waveIn);
        queue.reset();
        if (waveIn)
            waveInClose(waveIn);
    }
    static void Filled(HWAVEIN, unsigned int msg, DWORD_PTR self, DWORD_PTR header, DWORD_PTR)
    {
        auto* test = reinterpret_cast<AudioQueueTest*>(self);
        std::lock_guard lock(test->m);
        if (msg == WIM_DATA)
            test->headers.push_back(reinterpret_cast<WAVEHDR*>(header));
    }
    // The first `count` headers the device filled (waits for them).
    std::vector<WAVEHDR*> First(std::size_t count)
    {
        for (auto end = std::chrono::steady_clock::now() + 30s; std::chrono::steady_clock::now() < end;) {
            if (std::lock_guard lock(m); headers.size() >= count)
                return {headers.begin(), headers.begin() + static_cast<std::ptrdiff_t>(count)};
            std::this_thread::sleep_for(1ms);
        }
        return {};
    }
    void ExpectNext(int b, std::uint32_t* tick = nullptr)
    {
        ASSERT_TRUE(queue->Get(block, tick)) << "block " << b;
        for (int j = 0; j < kBlock; ++j)
            ASSERT_EQ(block[j], b * kBlock + j) << "block " << b;
    }

    VirtualOnly devices;
    HWAVEIN waveIn = nullptr;
    std::unique_ptr<AudioQueue> queue;
    std::mutex m;
    std::vector<WAVEHDR*> headers;
    short block[kBlock] = {};
};

TEST_F(AudioQueueTest, BlocksComeOutInPutOrderWithTheirTicksAndGoBackToTheDevice)
{
    EXPECT_EQ(AudioQueue::Create(nullptr), nullptr);
    Open(6);
    const auto filled = First(6);
    ASSERT_EQ(filled.size(), 6u);
    for (int b = 0; b < 6; ++b)
        EXPECT_EQ(filled[b]->dwUser, DWORD_PTR(b)) << "buffers are added in index order";

    std::fill(std::begin(block), std::end(block), short{7});
    std::uint32_t ticks[4] = {12345};
    EXPECT_FALSE(queue->Get(block, ticks));
    EXPECT_EQ(ticks[0], 12345u);
    EXPECT_TRUE(std::all_of(std::begin(block), std::end(block), [](short s) { return s == 7; }));
    WAVEHDR stranger{};
    stranger.dwUser = AudioQueue::BufferCount;
    EXPECT_FALSE(queue->Put(&stranger));

    const int order[] = {5, 4, 0, 2};
    for (int b : order) {
        ASSERT_TRUE(queue->Put(filled[b]));
        std::this_thread::sleep_for(15ms);
    }
    for (int i = 0; i < 4; ++i) {
        ExpectNext(order[i], &ticks[i]);
        EXPECT_TRUE(filled[order[i]]->dwFlags & WHDR_INQUEUE) << "handed back at its Get";
    }
    for (int i = 1; i < 4; ++i)  // stamped at each Put (unsigned difference: wrap-safe)
        EXPECT_GE(static_cast<std::uint32_t>(ticks[i] - ticks[i - 1]), 14u);
    EXPECT_FALSE(queue->Get(block, nullptr));
}

// 42 blocks fill the ring and the 43rd is refused; that buffer stays out of
// circulation while the others go round again, through the wrap from 42 to 0.
TEST_F(AudioQueueTest, FullRingRefusesAndKeepsTheBufferThenWrapsInOrder)
{
    constexpr int kFirst = AudioQueue::BufferCount, kSecond = kFirst - 1;
    Open(kFirst + kSecond);
    auto filled = First(kFirst);
    ASSERT_EQ(filled.size(), std::size_t{kFirst});
    for (int b = 0; b < kFirst - 1; ++b)
        ASSERT_TRUE(queue->Put(filled[b])) << "block " << b;
    WAVEHDR* refused = filled[kFirst - 1];
    EXPECT_FALSE(queue->Put(refused));
    for (int b = 0; b < kFirst - 1; ++b)
        ExpectNext(b);  // no tick wanted
    EXPECT_FALSE(queue->Get(block, nullptr));

    filled = First(kFirst + kSecond);
    ASSERT_EQ(filled.size(), std::size_t{kFirst + kSecond});
    EXPECT_EQ(std::count(filled.begin() + kFirst, filled.end(), refused), 0) << "a refused buffer never goes back";
    EXPECT_FALSE(refused->dwFlags & WHDR_INQUEUE);
    for (int b = kFirst; b < kFirst + kSecond; ++b)
        ASSERT_TRUE(queue->Put(filled[b]));
    for (int b = kFirst; b < kFirst + kSecond; ++b)
        ExpectNext(b);
    EXPECT_FALSE(queue->Get(block, nullptr));
}

}  // namespace
