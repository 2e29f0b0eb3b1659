// AudioQueue on a virtual input opened directly: the test's own callback keeps
// each filled header, so the test decides when and in which order Put sees them,
// and sees which buffers the queue hands back to the device.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "AudioQueue.h"
#include "VirtualAudio.h"

namespace {

constexpr int kBlock = 256;

// Sample j of block b is b * 256 + j, so every block is recognisable.
std::vector<std::int16_t> NumberedBlocks(int count)
{
    std::vector<std::int16_t> samples(static_cast<std::size_t>(count) * kBlock);
    for (std::size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<std::int16_t>(i);
    return samples;
}

bool HoldsBlock(const short* samples, int block)
{
    for (int j = 0; j < kBlock; ++j)
        if (samples[j] != block * kBlock + j)
            return false;
    return true;
}

struct Filled {
    std::mutex m;
    std::condition_variable cv;
    std::vector<WAVEHDR*> headers;

    static void Callback(HWAVEIN, unsigned int msg, DWORD_PTR instance, DWORD_PTR param1, DWORD_PTR)
    {
        if (msg != WIM_DATA)
            return;
        auto* self = reinterpret_cast<Filled*>(instance);
        std::lock_guard lock(self->m);
        self->headers.push_back(reinterpret_cast<WAVEHDR*>(param1));
        self->cv.notify_all();
    }

    // The first `count` headers the device returned (waits for them).
    std::vector<WAVEHDR*> First(std::size_t count)
    {
        std::unique_lock lock(m);
        cv.wait_for(lock, std::chrono::seconds(30), [&] { return headers.size() >= count; });
        return {headers.begin(), headers.begin() + static_cast<std::ptrdiff_t>(std::min(count, headers.size()))};
    }
};

class AudioQueueTest : public ::testing::Test {
protected:
    // Opens a virtual input holding `blocks` numbered blocks and creates the queue.
    void Open(int blocks)
    {
        vaudio::RemoveVirtualDevices();
        vaudio::UseServerDevices(false);
        const unsigned int device = vaudio::AddVirtualInput("Queue input", NumberedBlocks(blocks));
        const WAVEFORMATEX format{WAVE_FORMAT_PCM, 1, 11025, 22050, 2, 16, 0};
        ASSERT_EQ(waveInOpen(&waveIn, device, &format, reinterpret_cast<DWORD_PTR>(&Filled::Callback),
                             reinterpret_cast<DWORD_PTR>(&filled), CALLBACK_FUNCTION),
                  MMSYSERR_NOERROR);
        queue = AudioQueue::Create(waveIn);
        ASSERT_NE(queue, nullptr);
    }

    void TearDown() override
    {
        if (waveIn)
            waveInReset(waveIn);
        queue.reset();
        if (waveIn)
            waveInClose(waveIn);
        vaudio::RemoveVirtualDevices();
        vaudio::UseServerDevices(true);
    }

    HWAVEIN waveIn = nullptr;
    Filled filled;
    std::unique_ptr<AudioQueue> queue;
    short block[2 * kBlock] = {};
};

TEST_F(AudioQueueTest, FreshQueueHasNothingAndTouchesNothing)
{
    Open(1);
    std::fill(std::begin(block), std::end(block), short{7});
    std::uint32_t tick = 12345;
    EXPECT_FALSE(queue->Get(block, &tick));
    EXPECT_EQ(tick, 12345u);
    EXPECT_TRUE(std::all_of(std::begin(block), std::end(block), [](short s) { return s == 7; }));
}

TEST_F(AudioQueueTest, CreationFailsCleanlyOnAClosedDevice)
{
    EXPECT_EQ(AudioQueue::Create(nullptr), nullptr);
}

TEST_F(AudioQueueTest, BlocksComeOutInPutOrderWithTheirTicksAndGoBackToTheDevice)
{
    Open(3);
    waveInStart(waveIn);
    const auto headers = filled.First(3);
    ASSERT_EQ(headers.size(), 3u);
    for (int b = 0; b < 3; ++b) {
        EXPECT_EQ(headers[b]->dwUser, static_cast<DWORD_PTR>(b)) << "the device fills buffers in index order";
        ASSERT_TRUE(queue->Put(headers[b]));
        std::this_thread::sleep_for(std::chrono::milliseconds(15));
    }

    std::uint32_t ticks[3] = {};
    for (int b = 0; b < 3; ++b) {
        ASSERT_TRUE(queue->Get(block, &ticks[b]));
        EXPECT_TRUE(HoldsBlock(block, b)) << "block " << b;
        EXPECT_TRUE(headers[b]->dwFlags & WHDR_INQUEUE) << "buffer " << b << " handed back at its Get";
    }
    // Stamped at each Put, 15 ms apart at least (unsigned difference: wrap-safe).
    EXPECT_GE(static_cast<std::uint32_t>(ticks[1] - ticks[0]), 14u);
    EXPECT_GE(static_cast<std::uint32_t>(ticks[2] - ticks[1]), 14u);
    EXPECT_FALSE(queue->Get(block, nullptr));
}

TEST_F(AudioQueueTest, OutOfOrderBuffersComeOutInPutOrder)
{
    Open(6);
    waveInStart(waveIn);
    const auto headers = filled.First(6);
    ASSERT_EQ(headers.size(), 6u);
    const int putOrder[] = {5, 4, 0, 2};
    for (int b : putOrder)
        ASSERT_TRUE(queue->Put(headers[b]));
    for (int b : putOrder) {
        ASSERT_TRUE(queue->Get(block, nullptr));  // no tick wanted
        EXPECT_TRUE(HoldsBlock(block, b)) << "block " << b;
    }
    EXPECT_FALSE(queue->Get(block, nullptr));
}

// 42 blocks fill the ring and the 43rd is refused; that buffer stays out of
// circulation while the others go round again, through the wrap from 42 to 0.
TEST_F(AudioQueueTest, FullRingRefusesAndKeepsTheBufferThenWrapsInOrder)
{
    constexpr int kFirst = AudioQueue::BufferCount;       // every buffer filled once
    constexpr int kSecond = AudioQueue::BufferCount - 1;  // refilled after the drain
    Open(kFirst + kSecond);
    waveInStart(waveIn);
    auto headers = filled.First(kFirst);
    ASSERT_EQ(headers.size(), static_cast<std::size_t>(kFirst));

    for (int b = 0; b < kFirst - 1; ++b)
        ASSERT_TRUE(queue->Put(headers[b])) << "block " << b;
    WAVEHDR* refused = headers[kFirst - 1];
    EXPECT_FALSE(queue->Put(refused));

    for (int b = 0; b < kFirst - 1; ++b) {
        ASSERT_TRUE(queue->Get(block, nullptr));
        EXPECT_TRUE(HoldsBlock(block, b)) << "block " << b;
    }
    EXPECT_FALSE(queue->Get(block, nullptr));

    // The 42 handed-back buffers come round again with the next blocks.
    headers = filled.First(kFirst + kSecond);
    ASSERT_EQ(headers.size(), static_cast<std::size_t>(kFirst + kSecond));
    const std::vector<WAVEHDR*> second(headers.begin() + kFirst, headers.end());
    EXPECT_EQ(std::count(second.begin(), second.end(), refused), 0) << "a refused buffer never goes back";
    EXPECT_FALSE(refused->dwFlags & WHDR_INQUEUE);

    for (WAVEHDR* header : second)
        ASSERT_TRUE(queue->Put(header));
    for (int b = kFirst; b < kFirst + kSecond; ++b) {
        ASSERT_TRUE(queue->Get(block, nullptr));
        EXPECT_TRUE(HoldsBlock(block, b)) << "block " << b;
    }
    EXPECT_FALSE(queue->Get(block, nullptr));
}

}  // namespace
