// The simple sound player: one sound at a time on WAVE_MAPPER, through the
// service's own waveOut* path. A new call stops and replaces the sound playing.
#include <sndfile.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "WaveAudio.h"

namespace {

struct Player {
    std::mutex m;  // serialises PlaySoundA calls; never taken by the callback
    HWAVEOUT out = nullptr;
    WAVEHDR hdr{};
    std::vector<std::int16_t> pcm;

    // Completion, signalled by the callback for SND_SYNC callers.
    std::mutex doneMutex;
    std::condition_variable doneCv;
    bool done = false;

    void StopLocked()
    {
        if (!out)
            return;
        waveOutReset(out);
        waveOutUnprepareHeader(out, &hdr, sizeof hdr);
        waveOutClose(out);
        out = nullptr;
        pcm.clear();
    }
};

// Never destroyed: a sound may still be playing while the process exits.
Player& player()
{
    static Player& p = *new Player;
    return p;
}

void onPlayer(HWAVEOUT, unsigned int msg, DWORD_PTR instance, DWORD_PTR, DWORD_PTR)
{
    if (msg != WOM_DONE)
        return;
    auto* p = reinterpret_cast<Player*>(instance);
    std::lock_guard lk(p->doneMutex);
    p->done = true;
    p->doneCv.notify_all();
}

// Any file libsndfile reads, as interleaved 16-bit samples at the file's own rate and channels.
bool readSound(const char* path, std::vector<std::int16_t>& pcm, WAVEFORMATEX& fmt)
{
    SF_INFO info{};
    SNDFILE* f = sf_open(path, SFM_READ, &info);
    if (!f)
        return false;
    bool ok = info.channels > 0 && info.channels <= 32 && info.samplerate > 0 && info.frames > 0;
    if (ok) {
        sf_command(f, SFC_SET_CLIPPING, nullptr, SF_TRUE);  // float files beyond full scale clip, not wrap
        pcm.resize(static_cast<std::size_t>(info.frames) * static_cast<std::size_t>(info.channels));
        sf_count_t got = sf_readf_short(f, pcm.data(), info.frames);
        pcm.resize(static_cast<std::size_t>(std::max<sf_count_t>(got, 0)) * static_cast<std::size_t>(info.channels));
        ok = !pcm.empty();
    }
    sf_close(f);
    if (!ok)
        return false;
    fmt = {};
    fmt.wFormatTag = WAVE_FORMAT_PCM;
    fmt.nChannels = static_cast<WORD>(info.channels);
    fmt.nSamplesPerSec = static_cast<DWORD>(info.samplerate);
    fmt.wBitsPerSample = 16;
    fmt.nBlockAlign = static_cast<WORD>(2 * info.channels);
    fmt.nAvgBytesPerSec = fmt.nSamplesPerSec * fmt.nBlockAlign;
    return true;
}

}  // namespace

extern "C" BOOL PlaySoundA(const char* sound, HMODULE, DWORD flags)
{
    Player& p = player();
    std::unique_lock lk(p.m);
    p.StopLocked();
    if (!sound)
        return 1;
    // Only files: resources and aliases are not supported, and no default sound is ever played.
    if (!(flags & SND_FILENAME))
        return 0;

    WAVEFORMATEX fmt;
    if (!readSound(sound, p.pcm, fmt))
        return 0;
    if (p.pcm.size() * 2 > 0xFFFFFFFFu)
        return 0;
    {
        std::lock_guard dl(p.doneMutex);
        p.done = false;
    }
    if (waveOutOpen(&p.out, WAVE_MAPPER, &fmt, reinterpret_cast<DWORD_PTR>(&onPlayer), reinterpret_cast<DWORD_PTR>(&p),
                    CALLBACK_FUNCTION) != MMSYSERR_NOERROR) {
        p.out = nullptr;
        p.pcm.clear();
        return 0;
    }
    p.hdr = {};
    p.hdr.lpData = reinterpret_cast<char*>(p.pcm.data());
    p.hdr.dwBufferLength = static_cast<DWORD>(p.pcm.size() * 2);
    if (waveOutPrepareHeader(p.out, &p.hdr, sizeof p.hdr) != MMSYSERR_NOERROR ||
        waveOutWrite(p.out, &p.hdr, sizeof p.hdr) != MMSYSERR_NOERROR) {
        p.StopLocked();
        return 0;
    }
    if (!(flags & SND_ASYNC)) {
        // Synchronous: wait for the end (the lock is released so another call may stop it), then close.
        HWAVEOUT playing = p.out;
        lk.unlock();
        {
            std::unique_lock dl(p.doneMutex);
            p.doneCv.wait(dl, [&] { return p.done; });
        }
        lk.lock();
        if (p.out == playing)
            p.StopLocked();
    }
    return 1;
}
