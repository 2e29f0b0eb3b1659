// One PCM sound: its RIFF/WAVE header records, its samples and one output device.
#pragma once

#include <atomic>
#include <cstdint>

#include "VardellExport.h"
#include "WaveAudio.h"

class VARDELL_API CWave {
public:
    CWave();
    CWave(const CWave& other);  // deep copy; the copy starts Stopped on a device of its own
    CWave& operator=(const CWave& other);
    virtual ~CWave();

    int Load(const char* path);
    int Save(char* path);

    short GetChannels();
    unsigned long GetSampleRate();
    short GetBitsPerSample();
    unsigned char* GetData();
    unsigned long GetSize();
    int IsValid();

    void SetDevice(int id);
    int Play();
    int Pause();
    int Stop();
    int IsPlaying();
    int IsPaused();
    int IsStopped();
    int Mix(CWave& other);

private:
    int Close();
    int Open(int deviceId, short nChannels, unsigned long nSamplesPerSec, short wBitsPerSample);
    static int WaveOut_Proc(HWAVEOUT hwo, unsigned int uMsg, unsigned long dwInstance, unsigned long dwParam1,
                            unsigned long dwParam2);
    int Queue();
    void CopySamplesAndDevice(const CWave& other);

    struct RiffHeader {
        char id[4];
        std::uint32_t riffSize;
        char formType[4];
    };
    struct FormatChunk {
        char id[4];
        std::uint32_t size;
        std::uint16_t wFormatTag;
        std::uint16_t nChannels;
        std::uint32_t nSamplesPerSec;
        std::uint32_t nAvgBytesPerSec;
        std::uint16_t nBlockAlign;
        std::uint16_t wBitsPerSample;
    };
    static_assert(sizeof(RiffHeader) == 12 && sizeof(FormatChunk) == 24);

    RiffHeader riffHeader{};
    FormatChunk formatChunk{};
    unsigned char* data = nullptr;
    std::uint32_t dataSize = 0;
    HWAVEOUT waveOut = nullptr;
    WAVEHDR waveHeader{};
    // Atomic so that a query from another thread than the player's never races.
    std::atomic<int> stopped{1};
    std::atomic<int> paused{0};
    int deviceId = static_cast<int>(WAVE_MAPPER);
    int openDeviceId = static_cast<int>(WAVE_MAPPER);  // what waveOut was opened on; SetDevice may differ
};
