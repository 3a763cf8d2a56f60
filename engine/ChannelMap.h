// Which channels of a stream go to or come from which channels of the device. An empty map is
// the engine's own rule: stream channel c is device channel c, over all the device's channels
// (up to 64). A map opens the device with as many channels as its highest device channel needs
// and moves only the channels it lists.
//
// Threads: built and checked before a stream starts; gather() and scatter() run on the audio
// thread and take no lock, allocate nothing and make no system call.
#pragma once

#include <string>
#include <vector>

struct ChannelRoute {
    int stream = 0; // 0-based channel of the NDI stream
    int device = 0; // 0-based channel of the device
};

struct ChannelMap {
    static constexpr int kMaxChannels = 64;

    std::vector<ChannelRoute> routes;

    bool empty() const { return routes.empty(); }
    // Channels the device is opened with: one past the highest device channel.
    int deviceChannels() const;
    // Channels of the stream: one past the highest stream channel.
    int streamChannels() const;

    // Stream channel i is device channel list[i]: for a send, the device inputs published in
    // that order; for playback, the source's first channels onto those device outputs. `text`
    // is "1,2" (1-based). Returns the error line (empty when good); a device channel named
    // twice is refused.
    static std::string parseList(const std::string &text, const std::string &option,
                                 ChannelMap &out);
    // Playback: "SRC:DEV,..." pairs, 1-based. A source channel may go to several device
    // channels; a device channel takes one source channel.
    static std::string parsePairs(const std::string &text, const std::string &option,
                                  ChannelMap &out);

    // The error line when a device channel lies beyond `available`, else empty.
    std::string checkDevice(int available, const std::string &option) const;

    // Capture: device block (interleaved, deviceStride floats a frame) to a planar stream
    // block (streamChannels() channels, `frames` floats each).
    void gather(const float *device, int deviceStride, int frames, float *planar) const;
    // Playback: planar stream block (channel c at planar + c * planarStride) onto an
    // interleaved device block of deviceStride channels; unmapped device channels are silent.
    void scatter(const float *planar, int planarStride, int streamChannelsThere, int frames,
                 float *device, int deviceStride) const;
};
