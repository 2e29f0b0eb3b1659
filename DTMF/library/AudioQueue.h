// The capture buffers of one open wave-input device, and the single-producer /
// single-consumer ring through which filled blocks pass from the device callback
// to the detector's worker.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "WaveAudio.h"

class AudioQueue {
public:
    static constexpr int BufferCount = 43;
    static constexpr int BufferBytes = 512;

    // Allocates and prepares the 43 buffers and gives them to the device in index
    // order. Returns null (having released everything) when that fails.
    static std::unique_ptr<AudioQueue> Create(HWAVEIN waveIn);
    ~AudioQueue();
    AudioQueue(const AudioQueue&) = delete;
    AudioQueue& operator=(const AudioQueue&) = delete;

    // Device callback only: queues a filled buffer; false when the ring is full.
    bool Put(WAVEHDR* header);
    // Worker only: copies the oldest block (512 bytes) out and hands its buffer
    // back to the device; false, touching nothing, when no block is waiting.
    bool Get(short* destination, std::uint32_t* tickCount);

private:
    explicit AudioQueue(HWAVEIN waveIn);

    struct Slot {
        WAVEHDR header{};
        std::unique_ptr<char[]> data;
        std::uint32_t tickCount = 0;
        bool prepared = false;
    };

    std::recursive_mutex lock;
    HWAVEIN waveIn;
    Slot slots[BufferCount];
    int order[BufferCount];
    std::atomic<int> head{0};
    std::atomic<int> tail{0};
};
