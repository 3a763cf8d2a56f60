#include "ChannelMap.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>

namespace {

// One 1-based channel number from 1 to 64, or -1.
int channelNumber(const std::string &text)
{
    if (text.empty() || text.size() > 3 || text.find_first_not_of("0123456789") != text.npos)
        return -1;
    const long value = std::strtol(text.c_str(), nullptr, 10);
    return value >= 1 && value <= ChannelMap::kMaxChannels ? int(value) : -1;
}

std::vector<std::string> split(const std::string &text, char separator)
{
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const size_t at = text.find(separator, start);
        parts.push_back(text.substr(start, at == text.npos ? text.npos : at - start));
        if (at == text.npos)
            return parts;
        start = at + 1;
    }
}

std::string badNumber(const std::string &option, const std::string &item)
{
    return option + " takes channel numbers from 1 to 64, not \"" + item + "\"";
}

// The device channel routed twice, as a 1-based number, or 0.
int repeatedDevice(const ChannelMap &map)
{
    std::vector<bool> seen(ChannelMap::kMaxChannels, false);
    for (const ChannelRoute &r : map.routes) {
        if (seen[size_t(r.device)])
            return r.device + 1;
        seen[size_t(r.device)] = true;
    }
    return 0;
}

} // namespace

std::string ChannelMap::parseList(const std::string &text, const std::string &option,
                                  ChannelMap &out)
{
    ChannelMap map;
    int stream = 0;
    for (const std::string &item : split(text, ',')) {
        const int channel = channelNumber(item);
        if (channel < 0)
            return badNumber(option, item);
        map.routes.push_back({stream++, channel - 1});
    }
    if (const int twice = repeatedDevice(map); twice != 0)
        return option + " names device channel " + std::to_string(twice) + " twice";
    out = std::move(map);
    return {};
}

int ChannelMap::deviceChannels() const
{
    int n = 0;
    for (const ChannelRoute &r : routes)
        n = std::max(n, r.device + 1);
    return n;
}

int ChannelMap::streamChannels() const
{
    int n = 0;
    for (const ChannelRoute &r : routes)
        n = std::max(n, r.stream + 1);
    return n;
}

std::string ChannelMap::parsePairs(const std::string &text, const std::string &option,
                                   ChannelMap &out)
{
    ChannelMap map;
    for (const std::string &item : split(text, ',')) {
        const std::vector<std::string> pair = split(item, ':');
        if (pair.size() != 2)
            return option + " takes SOURCE:DEVICE pairs such as 1:3,2:4, not \"" + item + "\"";
        const int source = channelNumber(pair[0]), device = channelNumber(pair[1]);
        if (source < 0)
            return badNumber(option, pair[0]);
        if (device < 0)
            return badNumber(option, pair[1]);
        map.routes.push_back({source - 1, device - 1});
    }
    if (const int twice = repeatedDevice(map); twice != 0)
        return option + " sends two source channels to device channel " + std::to_string(twice);
    out = std::move(map);
    return {};
}

std::string ChannelMap::checkDevice(int available, const std::string &option) const
{
    const int needed = deviceChannels();
    if (needed <= available)
        return {};
    return option + " names device channel " + std::to_string(needed) + ", but the device has "
           + std::to_string(available) + (available == 1 ? " channel" : " channels");
}

void ChannelMap::gather(const float *device, int deviceStride, int frames, float *planar) const
{
    for (const ChannelRoute &r : routes) {
        float *to = planar + size_t(r.stream) * size_t(frames);
        const float *from = device + r.device;
        for (int f = 0; f < frames; ++f)
            to[f] = from[size_t(f) * size_t(deviceStride)];
    }
}

void ChannelMap::scatter(const float *planar, int planarStride, int streamChannelsThere, int frames,
                         float *device, int deviceStride) const
{
    std::fill(device, device + size_t(frames) * size_t(deviceStride), 0.0f);
    for (const ChannelRoute &r : routes) {
        if (r.stream >= streamChannelsThere || r.device >= deviceStride)
            continue;
        const float *from = planar + size_t(r.stream) * size_t(planarStride);
        float *to = device + r.device;
        for (int f = 0; f < frames; ++f)
            to[size_t(f) * size_t(deviceStride)] = from[f];
    }
}
