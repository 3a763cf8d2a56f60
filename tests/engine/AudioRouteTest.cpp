// The choice of the way to the sound devices, as a table: what runs on the machine, what is
// installed and what the user asked for, and the route, the library to load and the warning.
#include "AudioRoute.h"

#include <gtest/gtest.h>
#include <string>
#include <tuple>

using veltrin::audio::chooseRoute;
using veltrin::audio::Route;
using veltrin::audio::RouteFacts;

TEST(AudioRouteTest, ChoosesFromWhatRunsAndWhatIsInstalled)
{
    const std::string dir = "/usr/lib/x86_64-linux-gnu/pipewire-0.3/jack";
    // What is known, and the route, whether PipeWire's library is loaded, and the warning.
    const std::tuple<RouteFacts, Route, bool, bool> cases[] = {
        // PipeWire alone: its JACK library
        {{"", false, true, false, dir}, Route::PipeWireJack, true, false},
        // a JACK server beside PipeWire keeps priority
        {{"", true, true, false, dir}, Route::Jack, false, false},
        // already on PipeWire's library (pw-jack)
        {{"", false, true, true, dir}, Route::PipeWireJack, false, false},
        // PipeWire without its JACK library: ALSA, and say so
        {{"", false, true, false, ""}, Route::Alsa, false, true},
        // nothing runs: ALSA
        {{"", false, false, false, dir}, Route::Alsa, false, false},
        // asked for ALSA
        {{"alsa", false, true, false, dir}, Route::Alsa, false, false},
        // asked for ALSA under pw-jack
        {{"alsa", false, true, true, dir}, Route::Alsa, false, false},
        // asked for JACK with no server
        {{"jack", false, true, false, dir}, Route::Jack, false, true},
        // ran again and the library still did not load
        {{"pipewire-jack", false, true, false, dir}, Route::Alsa, false, true},
    };
    for (const auto &[facts, route, load, warning] : cases) {
        const auto choice = chooseRoute(facts);
        EXPECT_EQ(std::make_tuple(int(choice.route), choice.loadFrom, choice.warning),
                  std::make_tuple(int(route), std::string(load ? dir : ""), warning))
            << facts.asked << facts.jackServer << facts.pipeWireJackLoaded << facts.pipeWireJackDir;
        EXPECT_FALSE(choice.note.empty());
    }
    // The warning names the package to install.
    EXPECT_NE(chooseRoute({"", false, true, false, ""}).note.find("pipewire-jack"),
              std::string::npos);
}
