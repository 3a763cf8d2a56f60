// Which way the program reaches the machine's sound devices, chosen once when it starts.
//
// PortAudio reaches JACK through libjack and ALSA through alsa-lib. On a desktop where PipeWire
// runs and no JACK server does, ALSA shows PipeWire as two devices ("pipewire" and "default")
// of 64 channels at a fixed rate, with the graph's timing hidden behind the plug-in's own
// buffer. PipeWire's JACK library, loaded in place of JACK's, shows every device of the graph
// under its own name with its own channels and runs each stream in the graph's cycle. That is
// what the pw-jack wrapper does with LD_LIBRARY_PATH; the program does it by itself: when the
// route calls for it, it executes itself again with PipeWire's JACK library first on the
// library path, before any thread has started. A running JACK server keeps priority, and the
// environment variable VELTRIN_AUDIO_ROUTE ("alsa" or "jack") overrides the choice.
//
// Each stream asks the graph for its own block size as the graph's quantum: PipeWire's JACK
// library reads the request from PIPEWIRE_LATENCY when PortAudio opens its JACK client.
//
// Threads: chooseAudioRoute() runs first in main(), alone; the rest on any thread.
#pragma once

#include <string>

namespace veltrin::audio {

enum class Route {
    Jack,         // libjack as loaded, with a JACK server running (or asked for)
    PipeWireJack, // PipeWire's JACK library, the graph's devices by name
    Alsa,         // alsa-lib only (PipeWire through its ALSA plug-in, if it runs)
};

// What the choice is made from.
struct RouteFacts {
    std::string asked;          // VELTRIN_AUDIO_ROUTE: "", "alsa", "jack", or "pipewire-jack"
                                // (set by the program itself when it executes itself again)
    bool jackServer = false;    // a JACK server answers on its socket
    bool pipeWire = false;      // a PipeWire daemon answers on its socket
    bool pipeWireJackLoaded = false; // the libjack in this process is already PipeWire's
    std::string pipeWireJackDir;     // where PipeWire's libjack.so.0 is; empty: not installed
};

struct RouteChoice {
    Route route = Route::Alsa;
    // Non-empty: execute the program again with this directory first on LD_LIBRARY_PATH.
    std::string loadFrom;
    // One line for the log: the route and why.
    std::string note;
    // The note says something the user should act on (a package to install).
    bool warning = false;
};

// The choice itself, from the facts alone.
RouteChoice chooseRoute(const RouteFacts &facts);

// Looks at this machine and process, chooses, and executes the program again when PipeWire's
// JACK library must be loaded (this then does not return). Later calls do nothing.
void chooseAudioRoute(char **argv);

// The choice made by chooseAudioRoute(); Route::Alsa with an empty note before it ran.
const RouteChoice &audioRoute();

// The file of the libjack.so.0 loaded in this process; empty when none is.
std::string loadedLibJack();
// True when `libjackPath` is PipeWire's JACK library.
bool isPipeWireLibJack(const std::string &libjackPath);
// The directory of PipeWire's libjack.so.0 on this machine; empty when it is not installed.
std::string pipeWireJackDir();

// On PipeWire's JACK library, unless the user set PIPEWIRE_LATENCY: the JACK client PortAudio
// opens next asks the graph for a quantum of `frames` at `rate`. Called by PortAudioSession
// under PortAudio's lock, right before an initialisation; it takes effect when that opens a new
// client (no other session alive). Does nothing on the other routes.
void askForQuantum(unsigned long frames, double rate);

} // namespace veltrin::audio
