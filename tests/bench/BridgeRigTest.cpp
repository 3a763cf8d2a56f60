// The bridge benchmark's rig on a real JACK dummy server, with no bridge: the probe's outputs
// fed back to its own inputs, on a server the skew library runs 1000 ppm fast. This is the
// whole chain a bridge measurement goes through (server, probe process, its log, the clock
// fit, the analysis), on a path whose delay is known exactly.
#include "BenchRig.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <string>

using namespace veltrin::bench;

namespace {

TEST(BridgeRig, ProbeFedBackToItselfMeasuresOnePeriodOnAServerSetOffByThousandPpm)
{
    char dir[] = "/tmp/veltrin-rig-test-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const RigPrograms programs{VELTRIN_BRIDGE_PROBE, "", VELTRIN_JACK_SKEW};
    SideConfig config;
    config.label = "rig";
    config.rate = 48000;
    config.period = 256;
    config.channels = 2;
    config.ppm = 1000;
    BenchSide side(config, programs, dir);
    ASSERT_TRUE(side.ok()) << "see " << dir;
    ProbeProcess probe(side, ProbeProcess::Role::Both, 2, 0.05, programs);
    ASSERT_TRUE(probe.ok()) << "see " << dir;
    for (int k = 0; k < 2; ++k)
        ASSERT_TRUE(side.control().connect(probe.port(true, k), probe.port(false, k)));

    const Measurement m = measure(probe, probe, BridgeProcesses{}, 5, 0.5);
    ASSERT_TRUE(m.figures.ran);
    // What a client writes reaches its own input in the next cycle, to the sample.
    EXPECT_NEAR(m.figures.medianMs, 256 / 48.0, 1e-6);
    EXPECT_NEAR((m.clocks.rateA / 48000 - 1) * 1e6, 1000, 20);
    EXPECT_GT(m.figures.emitted, 90);
}

} // namespace
