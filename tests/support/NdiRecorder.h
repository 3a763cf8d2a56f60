// A link-time double of the NDI runtime for the engine's, discovery's and the controller's
// tests. Link `veltrin_ndi_recorder` instead of the runtime. It keeps every frame sent, serves
// scripted audio from its frame synchronisers and a scripted source list from its finders,
// logs or counts every create and destroy, and can be told to fail creations (null handles).
//
// The creations and destructions of senders, receivers and frame synchronisers go to the shared
// call log (CallLog.h), in order with the fake PortAudio's calls, as "+send" and "-send",
// "+recv" and "-recv", "+framesync" and "-framesync"; a failed creation is logged too.
//
// Threads: any; the recorder guards its state with a mutex (it is a test double, never the
// real-time path of the product).
#pragma once

#include "NdiLib.h"

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace ndirec {

struct SentFrame {
    std::string sender; // the sender's p_ndi_name
    int sampleRate, channels, samples;
    int64_t timecode;
    int channelStrideBytes;
    std::vector<float> planar; // channels * samples, channel after channel
};
// The runtime's and the finders' lifecycle calls (the other objects' go to the call log).
struct Counts {
    int initialize = 0, destroy = 0, findersCreated = 0, findersDestroyed = 0;
};

struct CaptureRequest {
    int sampleRate, channels, samples;
};

// What the runtime answers until the next reset().
struct Script {
    // Value of channel c at frame f of the audio the frame synchronisers hand out, counted from
    // each synchroniser's first capture (default: silence). Frames are always exactly what was
    // asked.
    std::function<float(long long frame, int channel)> framesyncSignal;
    // Creations that fail (null handles), and NDIlib_initialize's answer.
    bool failSender = false, failFramesync = false, initializeResult = true;
};

// Clears the frames, the counters and the source list, and answers by `script` from now on.
void reset(const Script &script = {});
Counts counts();
std::vector<SentFrame> sentFrames();           // the most recent 100000
std::vector<CaptureRequest> captureRequests(); // the most recent 10000
// Source list served by the finders. Each call marks the list changed: the next
// NDIlib_find_wait_for_sources returns true at once; otherwise it waits out its time-out
// (capped at 50 ms so tests stay quick) and returns false.
void setSources(const std::vector<std::pair<std::string, std::string>> &nameAndAddress);

} // namespace ndirec
