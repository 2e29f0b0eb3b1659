// libpulse, mapped into the process at the first use of the sound server rather
// than when the process starts: libpulse and the libraries it brings (D-Bus,
// X11, systemd, gcrypt, ...) cost about 5 ms of every start, which a process
// that only reads recordings (vardell decode over an archive, the Python module)
// would pay for nothing. Internal to the audio layer.
//
//     if (const PulseLibrary* pa = LoadPulse())
//         pa->threaded_mainloop_new();
#pragma once

#include <pulse/pulseaudio.h>

// The functions the backend calls, by their names less "pa_".
// clang-format off
#define VARDELL_PULSE_FUNCTIONS(F) \
    F(context_connect) F(context_disconnect) F(context_errno) F(context_get_server_info)                     \
    F(context_get_sink_info_list) F(context_get_source_info_list) F(context_get_state) F(context_new)        \
    F(context_set_state_callback) F(context_unref) F(frame_size) F(gettimeofday) F(operation_cancel)         \
    F(operation_get_state) F(operation_unref) F(sample_spec_valid) F(stream_connect_playback)                \
    F(stream_connect_record) F(stream_cork) F(stream_disconnect) F(stream_drain) F(stream_drop)              \
    F(stream_flush) F(stream_get_context) F(stream_get_state) F(stream_new) F(stream_peek)                   \
    F(stream_readable_size) F(stream_set_read_callback) F(stream_set_state_callback)                         \
    F(stream_set_write_callback) F(stream_unref) F(stream_writable_size) F(stream_write) F(strerror)         \
    F(threaded_mainloop_free) F(threaded_mainloop_get_api) F(threaded_mainloop_lock)                         \
    F(threaded_mainloop_new) F(threaded_mainloop_signal) F(threaded_mainloop_start)                          \
    F(threaded_mainloop_unlock) F(threaded_mainloop_wait) F(timeval_add) F(usec_to_bytes)
// clang-format on

struct PulseLibrary {
#define VARDELL_PULSE_POINTER(name) decltype(&::pa_##name) name = nullptr;
    VARDELL_PULSE_FUNCTIONS(VARDELL_PULSE_POINTER)
#undef VARDELL_PULSE_POINTER
};

// libpulse's functions, loaded by the first call on any thread and kept until the
// process ends; null when libpulse.so.0 is not installed or lacks one of them.
const PulseLibrary* LoadPulse();
