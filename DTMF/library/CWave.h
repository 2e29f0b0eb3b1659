// One PCM sound: its RIFF/WAVE header records, its samples and one output device.
//
//     CWave sound;
//     if (sound.Load("ring.wav")) {   // 1: done, 0: failed (as every int result here)
//         sound.SetDevice(0);         // output device 0; the system's choice by default
//         sound.Play();               // returns at once; IsStopped() once it has played
//     }
//
// Threads: an object is used by one thread at a time. Play, Pause and Stop
// return without waiting for the sound (Stop waits only for the device to give
// the block back). The end of the sound is noted on the device's callback thread;
// IsPlaying, IsPaused and IsStopped may be asked from any thread.

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

    // Reads or writes a whole file on the calling thread.
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
    // Mixes `other` into this sound in place, over the shorter length; both stopped, same format.
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
