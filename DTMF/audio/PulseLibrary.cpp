#include "PulseLibrary.h"

#include <dlfcn.h>

namespace {

PulseLibrary* Load()
{
    // Never closed: the mainloop's thread runs in it until the process ends.
    void* handle = dlopen("libpulse.so.0", RTLD_NOW | RTLD_LOCAL);
    if (!handle)
        return nullptr;
    static PulseLibrary library;
    bool whole = true;
#define VARDELL_PULSE_LOAD(name)                                                                                       \
    library.name = reinterpret_cast<decltype(library.name)>(dlsym(handle, "pa_" #name));                               \
    whole = whole && library.name;
    VARDELL_PULSE_FUNCTIONS(VARDELL_PULSE_LOAD)
#undef VARDELL_PULSE_LOAD
    return whole ? &library : nullptr;
}

}  // namespace

const PulseLibrary* LoadPulse()
{
    static const PulseLibrary* const library = Load();
    return library;
}
