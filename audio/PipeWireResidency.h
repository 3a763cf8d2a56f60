// Keeps PipeWire's client library loaded once PortAudio has brought it in.
//
// PortAudio's ALSA host API opens the "pipewire" and "default" PCMs of PipeWire's ALSA plug-in
// while it lists devices. The plug-in sets up libpipewire's process-wide state and never
// releases it; alsa-lib unloads the plug-in, and with it libpipewire, at Pa_Terminate, so every
// Pa_Initialize/Pa_Terminate pair would strand another copy of that state (about 17 KB each, for
// every device scan and every stream start). Pinning the library makes later loads of the
// plug-in find the first copy again.
//
// Threads: called by PortAudioSession after each successful Pa_Initialize, under its lock.
#pragma once

#include <dlfcn.h>

inline void keepPipeWireClientLoaded()
{
    // RTLD_NOLOAD loads nothing: without the plug-in (or without PipeWire) this does nothing.
    if (void *library = dlopen("libpipewire-0.3.so.0", RTLD_LAZY | RTLD_NOLOAD | RTLD_NODELETE))
        dlclose(library);
}
