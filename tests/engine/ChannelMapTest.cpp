// The channel map's parsers and device check, table-driven: what each text gives, or the one
// line that says what is wrong with it.
#include "ChannelMap.h"

#include <gtest/gtest.h>
#include <string>
#include <tuple>

// Whether the text is pairs (-m) or a list (-c), the text, and the routes as "stream>device"
// pairs, 1-based, or the error line.
TEST(ChannelMapTest, ParsersGiveRoutesOrOneLine)
{
    const std::tuple<bool, std::string, std::string> cases[] = {
        {false, "1,2", "1>1 2>2"},
        {false, "4,3", "1>4 2>3"},
        {false, "64", "1>64"},
        {false, "1,1", "-c names device channel 1 twice"},
        {true, "1:3,2:4", "1>3 2>4"},
        {false, "0", "-c takes channel numbers from 1 to 64, not \"0\""},
        {false, "65", "-c takes channel numbers from 1 to 64, not \"65\""},
        {false, "1,x", "-c takes channel numbers from 1 to 64, not \"x\""},
        {false, "", "-c takes channel numbers from 1 to 64, not \"\""},
        {false, "+1", "-c takes channel numbers from 1 to 64, not \"+1\""},
        {true, "1:1,1:2", "1>1 1>2"}, // one source channel on two outputs
        {true, "1:2,2:2", "-m sends two source channels to device channel 2"},
        {true, "1:2:3", "-m takes SOURCE:DEVICE pairs such as 1:3,2:4, not \"1:2:3\""},
        {true, "3", "-m takes SOURCE:DEVICE pairs such as 1:3,2:4, not \"3\""},
        {true, "0:1", "-m takes channel numbers from 1 to 64, not \"0\""},
    };
    for (const auto &[pairs, text, expected] : cases) {
        ChannelMap map;
        std::string got = pairs ? ChannelMap::parsePairs(text, "-m", map)
                                : ChannelMap::parseList(text, "-c", map);
        EXPECT_TRUE(got.empty() || map.empty()) << text;
        for (const ChannelRoute &r : map.routes)
            got += (got.empty() ? "" : " ") + std::to_string(r.stream + 1) + ">"
                   + std::to_string(r.device + 1);
        EXPECT_EQ(got, expected) << text;
    }
    // The counts a stream opens with, and the check against the device's channels.
    ChannelMap map;
    ASSERT_EQ(ChannelMap::parsePairs("2:5,1:3", "--map", map), "");
    EXPECT_EQ(std::make_tuple(map.deviceChannels(), map.streamChannels()), std::make_tuple(5, 2));
    EXPECT_EQ(map.checkDevice(5, "--map") + map.checkDevice(4, "--map") + "|"
                  + map.checkDevice(1, "--map"),
              "--map names device channel 5, but the device has 4 channels|"
              "--map names device channel 5, but the device has 1 channel");
}
