#include "AudioQueue.h"

#include <chrono>
#include <cstring>
#include <new>

namespace {

// Milliseconds since an arbitrary fixed point (boot, on Linux), wrapping at 2^32.
std::uint32_t TickCount()
{
    using namespace std::chrono;
    return static_cast<std::uint32_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

}  // namespace

AudioQueue::AudioQueue(HWAVEIN waveIn) : waveIn(waveIn)
{
    for (int& position : order)
        position = -1;
}

std::unique_ptr<AudioQueue> AudioQueue::Create(HWAVEIN waveIn)
{
    std::unique_ptr<AudioQueue> q(new (std::nothrow) AudioQueue(waveIn));
    if (!q)
        return nullptr;

    for (int i = 0; i < BufferCount; ++i) {
        Slot& slot = q->slots[i];
        slot.data.reset(new (std::nothrow) char[BufferBytes]());
        bool ok = slot.data != nullptr;
        if (ok) {
            slot.header.lpData = slot.data.get();
            slot.header.dwBufferLength = BufferBytes;
            slot.header.dwUser = static_cast<DWORD_PTR>(i);
            slot.header.dwFlags = 0;
            ok = waveInPrepareHeader(waveIn, &slot.header, sizeof(WAVEHDR)) == MMSYSERR_NOERROR;
        }
        if (!ok) {
            // The buffers already added must come back before they are freed.
            if (i > 0)
                waveInReset(waveIn);
            return nullptr;
        }
        slot.prepared = true;
        waveInAddBuffer(waveIn, &slot.header, sizeof(WAVEHDR));
    }
    return q;
}

AudioQueue::~AudioQueue()
{
    for (Slot& slot : slots) {
        if (slot.prepared) {
            waveInUnprepareHeader(waveIn, &slot.header, sizeof(WAVEHDR));
            slot.prepared = false;
        }
    }
}

bool AudioQueue::Put(WAVEHDR* header)
{
    const DWORD_PTR index = header->dwUser;
    if (index >= static_cast<DWORD_PTR>(BufferCount))
        return false;  // not one of ours: never index out of the slots
    const int h = head.load(std::memory_order_relaxed);
    const int next = (h + 1) % BufferCount;
    if (next == tail.load(std::memory_order_acquire))
        return false;  // full: the buffer stays with the queue, out of circulation

    std::lock_guard guard(lock);
    order[h] = static_cast<int>(index);
    slots[index].tickCount = TickCount();
    head.store(next, std::memory_order_release);
    return true;
}

bool AudioQueue::Get(short* destination, std::uint32_t* tickCount)
{
    const int t = tail.load(std::memory_order_relaxed);
    if (t == head.load(std::memory_order_acquire))
        return false;

    WAVEHDR* header;
    {
        std::lock_guard guard(lock);
        const int i = order[t];
        order[t] = -1;
        Slot& slot = slots[i];
        // The whole buffer, whatever the device reports as recorded.
        std::memcpy(destination, slot.data.get(), BufferBytes);
        if (tickCount)
            *tickCount = slot.tickCount;
        header = &slot.header;
        tail.store((t + 1) % BufferCount, std::memory_order_release);
    }
    // Outside the lock: no wave-input call is made while it is held.
    waveInAddBuffer(waveIn, header, sizeof(WAVEHDR));
    return true;
}
