// The capture buffers of one open wave-input device, and the single-producer /
// single-consumer ring through which filled blocks pass from the device callback
// to the detector's worker.
//
// Layout: 43 buffers of 512 bytes (256 samples of 16-bit mono PCM each); slot i
// owns buffer i and its WAVEHDR, whose dwUser is i. The ring `order` holds buffer
// indices in the order Put received them; it is empty when head == tail and full
// when head + 1 == tail (mod 43), so at most 42 blocks wait. Every buffer is at
// any time with the device, waiting in the ring, inside a Get, or (refused by a
// full ring) held by the queue until it is destroyed.
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
    // The device must have returned every buffer (stopped and reset) before this.
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
    std::atomic<int> head{0};  // written by Put only
    std::atomic<int> tail{0};  // written by Get only
};
