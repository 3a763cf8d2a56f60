// The window's log lines of the running streams' figures: one line a minute per stream, and one
// when the stream ends (the stream has gone from the runtime's snapshot; its latest figures are
// logged). Time is passed in, so tests drive an hour in a loop.
//
// Threads: one owner thread (the Wrapper's GUI thread); pure apart from its own state.
#pragma once

#include "NdiFigures.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

class FiguresLog
{
public:
    static constexpr double kEverySeconds = 60.0;

    // `now` in seconds on any steady clock; `sendXruns` and `receiveXruns` are the engine's
    // device xrun counters of the entries that send and that receive. Returns the lines to log.
    std::vector<std::string> update(double now, const std::vector<VeltrinNdiFigures> &figures,
                                    uint64_t sendXruns, uint64_t receiveXruns);

private:
    struct Stream {
        VeltrinNdiFigures latest;
        double started = 0;
        double nextLine = 0;
        uint64_t xrunsAtStart = 0;
        uint64_t xruns = 0;
    };
    std::map<std::string, Stream> m_streams; // by kind and name
};
