// What PortAudio's JACK host API needs to survive a JACK server that goes away under a running
// stream (the server killed or crashed, a PipeWire restart seen through its JACK library).
//
// PortAudio registers a shutdown callback for its JACK client. When the server is gone first
// and the stream is stopped afterwards, its stop waits ten minutes for a wake-up that the
// shutdown callback has already given to nobody; closing the stream then asserts on
// jack_port_unregister() and terminating asserts on jack_deactivate(), both of which fail on a
// client whose server is gone. This file defines jack_on_shutdown, jack_port_unregister,
// jack_deactivate and jack_client_close in the program itself, so that PortAudio's calls reach
// them first (a program's own symbols come before those of its libraries); each forwards to
// JACK's. They note which clients lost their server, let the engine repeat the shutdown
// callback to wake a waiting stop, and answer success for a dead client's port and client
// teardown, which has nothing left to undo on a server that no longer exists.
//
// Threads: the forwarders run on whichever thread PortAudio or JACK calls them from (the
// shutdown relay on JACK's own thread); the two queries below on any thread. A small table
// under its own lock; no call into PortAudio or JACK is made while holding it.
#pragma once

namespace veltrin::audio {

// True while a JACK client of PortAudio's has been told that its server shut down and has not
// been closed yet.
bool jackServerWentAway();

// Gives PortAudio its shutdown callback again for every client whose server went away, which
// wakes a stop or an abort that waits for that server. Harmless when nothing waits.
void wakeWaitsOnDeadJackServers();

} // namespace veltrin::audio
