#include "WaveAudio.h"
BOOL PlaySoundA(const char*, HMODULE, DWORD) { return 0; }
