// The wave-audio service: capture and playback through caller-supplied buffers
// with completion callbacks, under the classic waveIn*/waveOut* names.
//
// Devices are numbered 0..N-1 per direction: first the in-process virtual devices
// (VirtualAudio.h) in registration order, then the sound server's (PulseAudio;
// its default device first). Every operation answers MMSYSERR_NOERROR (0) for
// success. Callbacks run on a thread of the service, never on the caller's, and
// none is made after the close of its device has returned.
//
// A device that is lost while open (the sound server went away, the device was
// removed, its stream failed) says so once with WIM_LOST or WOM_LOST, whose first
// parameter is the reason as a NUL-terminated text valid during the call; every
// block it still held then comes back as usual (WIM_DATA, WOM_DONE). From then on
// the handle only refuses new work (MMSYSERR_NODRIVER); reset, unprepare and close
// work as always.
#pragma once

#include <cstdint>

#include "VardellExport.h"

using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using DWORD_PTR = std::uintptr_t;
using MMRESULT = unsigned int;
using BOOL = int;

struct HWAVEIN__;
struct HWAVEOUT__;
struct HMODULE__;
using HWAVEIN = HWAVEIN__*;
using HWAVEOUT = HWAVEOUT__*;
using HMODULE = HMODULE__*;

constexpr MMRESULT MMSYSERR_NOERROR = 0;
constexpr MMRESULT MMSYSERR_ERROR = 1;
constexpr MMRESULT MMSYSERR_BADDEVICEID = 2;
constexpr MMRESULT MMSYSERR_ALLOCATED = 4;
constexpr MMRESULT MMSYSERR_INVALHANDLE = 5;
constexpr MMRESULT MMSYSERR_NODRIVER = 6;
constexpr MMRESULT MMSYSERR_NOMEM = 7;
constexpr MMRESULT MMSYSERR_INVALFLAG = 10;
constexpr MMRESULT MMSYSERR_INVALPARAM = 11;
constexpr MMRESULT WAVERR_BADFORMAT = 32;
constexpr MMRESULT WAVERR_STILLPLAYING = 33;
constexpr MMRESULT WAVERR_UNPREPARED = 34;

constexpr unsigned int WAVE_MAPPER = static_cast<unsigned int>(-1);

constexpr DWORD CALLBACK_NULL = 0x00000;
constexpr DWORD CALLBACK_FUNCTION = 0x30000;
// With CALLBACK_FUNCTION: a filled buffer's WIM_DATA (and a loss) is delivered on
// the service thread that filled it, with the device's lock held, instead of on
// the device's own callback thread: one thread switch less per block. The
// callback must return quickly and make no wave-audio call.
constexpr DWORD WAVE_CALLBACK_INLINE = 0x00100000;

constexpr unsigned int WOM_OPEN = 0x3BB;
constexpr unsigned int WOM_CLOSE = 0x3BC;
constexpr unsigned int WOM_DONE = 0x3BD;
constexpr unsigned int WIM_OPEN = 0x3BE;
constexpr unsigned int WIM_CLOSE = 0x3BF;
constexpr unsigned int WIM_DATA = 0x3C0;
constexpr unsigned int WOM_LOST = 0x3E0;
constexpr unsigned int WIM_LOST = 0x3E1;

constexpr WORD WAVE_FORMAT_PCM = 1;

constexpr DWORD WHDR_DONE = 0x01;
constexpr DWORD WHDR_PREPARED = 0x02;
constexpr DWORD WHDR_BEGINLOOP = 0x04;
constexpr DWORD WHDR_ENDLOOP = 0x08;
constexpr DWORD WHDR_INQUEUE = 0x10;

constexpr DWORD SND_SYNC = 0x0000;
constexpr DWORD SND_ASYNC = 0x0001;
constexpr DWORD SND_NODEFAULT = 0x0002;
constexpr DWORD SND_FILENAME = 0x20000;

constexpr int MAXPNAMELEN = 32;

struct WAVEFORMATEX {
    WORD wFormatTag;
    WORD nChannels;
    DWORD nSamplesPerSec;
    DWORD nAvgBytesPerSec;
    WORD nBlockAlign;
    WORD wBitsPerSample;
    WORD cbSize;
};

struct WAVEHDR {
    char* lpData;
    DWORD dwBufferLength;
    DWORD dwBytesRecorded;
    DWORD_PTR dwUser;
    DWORD dwFlags;
    DWORD dwLoops;
    WAVEHDR* lpNext;
    DWORD_PTR reserved;
};

// A device's record; an output device's adds what it supports.
struct WAVECAPSA {
    WORD wMid;
    WORD wPid;
    DWORD vDriverVersion;
    char szPname[MAXPNAMELEN];  // NUL-terminated name
    DWORD dwFormats;
    WORD wChannels;
    WORD wReserved1;
};
struct WAVEINCAPSA : WAVECAPSA {};
struct WAVEOUTCAPSA : WAVECAPSA {
    DWORD dwSupport;
};
static_assert(sizeof(WAVEINCAPSA) == 48 && sizeof(WAVEOUTCAPSA) == 52);

using WAVEINPROC = void (*)(HWAVEIN, unsigned int uMsg, DWORD_PTR dwInstance, DWORD_PTR dwParam1, DWORD_PTR dwParam2);
using WAVEOUTPROC = void (*)(HWAVEOUT, unsigned int uMsg, DWORD_PTR dwInstance, DWORD_PTR dwParam1, DWORD_PTR dwParam2);

// Each operation for input, then output, in the order of a device's life. Any thread may call them; they return
// without waiting for the device, but for Reset and Close (below).
extern "C" {
// Counting devices renumbers the sound server's: numbers hold until the next count.
VARDELL_API unsigned int waveInGetNumDevs();
VARDELL_API unsigned int waveOutGetNumDevs();
VARDELL_API MMRESULT waveInGetDevCapsA(std::uintptr_t uDeviceID, WAVEINCAPSA* pwic, unsigned int cbwic);
VARDELL_API MMRESULT waveOutGetDevCapsA(std::uintptr_t uDeviceID, WAVEOUTCAPSA* pwoc, unsigned int cbwoc);
// The callback (CALLBACK_FUNCTION) gets WIM_OPEN/WOM_OPEN first, on the device's own thread.
VARDELL_API MMRESULT waveInOpen(HWAVEIN* phwi, unsigned int uDeviceID, const WAVEFORMATEX* pwfx, DWORD_PTR dwCallback,
                                DWORD_PTR dwInstance, DWORD fdwOpen);
VARDELL_API MMRESULT waveOutOpen(HWAVEOUT* phwo, unsigned int uDeviceID, const WAVEFORMATEX* pwfx, DWORD_PTR dwCallback,
                                 DWORD_PTR dwInstance, DWORD fdwOpen);
VARDELL_API MMRESULT waveInPrepareHeader(HWAVEIN hwi, WAVEHDR* pwh, unsigned int cbwh);
VARDELL_API MMRESULT waveOutPrepareHeader(HWAVEOUT hwo, WAVEHDR* pwh, unsigned int cbwh);
// A buffer to fill (WIM_DATA when full), a block to play (WOM_DONE when played).
VARDELL_API MMRESULT waveInAddBuffer(HWAVEIN hwi, WAVEHDR* pwh, unsigned int cbwh);
VARDELL_API MMRESULT waveOutWrite(HWAVEOUT hwo, WAVEHDR* pwh, unsigned int cbwh);
VARDELL_API MMRESULT waveInStart(HWAVEIN hwi);
VARDELL_API MMRESULT waveOutRestart(HWAVEOUT hwo);
VARDELL_API MMRESULT waveInStop(HWAVEIN hwi);
VARDELL_API MMRESULT waveOutPause(HWAVEOUT hwo);
// Stop and give back every buffer or block (WHDR_DONE, WIM_DATA / WOM_DONE) before they return.
VARDELL_API MMRESULT waveInReset(HWAVEIN hwi);
VARDELL_API MMRESULT waveOutReset(HWAVEOUT hwo);
VARDELL_API MMRESULT waveInUnprepareHeader(HWAVEIN hwi, WAVEHDR* pwh, unsigned int cbwh);
VARDELL_API MMRESULT waveOutUnprepareHeader(HWAVEOUT hwo, WAVEHDR* pwh, unsigned int cbwh);
// No callback runs once these have returned; from inside a callback they let it finish first.
VARDELL_API MMRESULT waveInClose(HWAVEIN hwi);
VARDELL_API MMRESULT waveOutClose(HWAVEOUT hwo);

// Plays a WAV file on the default output device: SND_SYNC blocks until it has
// played, SND_ASYNC returns at once and stops any sound it played before.
VARDELL_API BOOL PlaySoundA(const char* pszSound, HMODULE hmod, DWORD fdwSound);
}
