// STUB
#include "AudioQueue.h"
std::unique_ptr<AudioQueue> AudioQueue::Create(HWAVEIN) { return nullptr; }
AudioQueue::AudioQueue(HWAVEIN w) : waveIn(w) {}
AudioQueue::~AudioQueue() = default;
bool AudioQueue::Put(WAVEHDR*) { return false; }
bool AudioQueue::Get(short*, std::uint32_t*) { return false; }
