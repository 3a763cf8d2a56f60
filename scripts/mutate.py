#!/usr/bin/env python3
"""Mutation run: plants each fault of a fixed list in the source tree, rebuilds incrementally and
lets the normal test suite judge whether the fault is caught.

Usage: scripts/mutate.py [--build DIR] [--only ID,ID...] [--list] [--out FILE]

Run it in a scratch worktree with a configured build directory (it edits sources in place and
puts every file back after each mutant, also on Ctrl-C). Slow by design: it is not part of CI.
Each fault is a (file, exact original text, replacement) triple; the original must occur once in
the file, so that a list gone stale after a refactor fails loudly instead of planting nothing.
A fault whose code has moved is listed with every place it may be, as a file (same texts) or a
(file, original, replacement) triple: the first place that holds its original text is mutated.

The judge is the whole normal suite (ctest under scripts/netns-run). To reach a verdict sooner it
first runs the tests named in the fault's hint and stops at the first failure, then the rest; a
fault counts as survived only when every test of the suite passed. A suite run that exceeds the
time limit, or tests of the hint that run longer than 150 s, count as caught (the fault hangs
something).
"""
import argparse
import os
import signal
import subprocess
import sys
import time

# (id, places, original, replacement, tests to run first)
MUTANTS = [
    # app/
    ("app-log-prefix", ["app/LoggingUtils.cpp"],
     'return "Warning: %s (%s:%u, %s)\\n";', 'return "Warn: %s (%s:%u, %s)\\n";', "app_startup"),
    ("app-exit-on-load", ["app/Startup.cpp"],
     "if (!object && url == mainUrl)", "if (object && url == mainUrl)", "app_startup"),
    # workers/
    ("workers-level-square", ["workers/LevelPoller.cpp"],
     "sum += interleaved[i] * interleaved[i];", "sum += interleaved[i];", "wrapper_test|app_pages"),
    ("workers-refusal-log", ["workers/InPutProcess.cpp"],
     "    if (ran == 0)\n        logRefusedStart(QStringLiteral(\"Capture to NDI\"),",
     "    if (ran != 0)\n        logRefusedStart(QStringLiteral(\"Capture to NDI\"),", "wrapper_test"),
    # discovery/
    ("scan-removal", ["discovery/NDIScan.cpp"], "if (n == known)", "if (n <= known)", "ndi_scan"),
    ("scan-outputs", ["discovery/ScanDevice.cpp"],
     "if (device.outputs <= 0)", "if (device.outputs < 0)", "wrapper_test|app_pages"),
    # controller/
    ("ctl-loss-state", ["controller/DeviceLossWatch.cpp"],
     "if (state == m_state)", "if (state != m_state)", "wrapper_test|app_pages"),
    ("ctl-figures-period", ["controller/FiguresLog.cpp"],
     "s.nextLine = now + kEverySeconds;", "s.nextLine = now;", "wrapper"),
    ("ctl-entry-name", ["controller/wrapper_devices.cpp"],
     "return fields.size() >= 2 ? fields.at(1) : entry;",
     "return fields.size() >= 2 ? fields.at(0) : entry;", "wrapper_test"),
    ("ctl-stop-pending", ["controller/StreamControl.cpp"],
     "    if (m_stopping) {", "    if (false) {", "wrapper_test"),
    # qml/
    ("qml-lock-device-list", ["qml/SimplePage.qml"],
     "inputDeviceList.enabled = !checked", "inputDeviceList.enabled = checked", "app_pages"),
    ("qml-duplex-start", ["qml/DuplexPage.qml"],
     "wrapper.startInOutThread()", "wrapper.stopInOutThread()", "app_pages"),
    ("qml-gauge-warning", ["qml/LevelGauge.qml"],
     'position: 0.0; color: gauge.value > gauge.warning ? "red"',
     'position: 0.0; color: gauge.value < gauge.warning ? "red"', "app_pages"),
    # ndi/
    ("ndi-receiver-plural", ["ndi/FiguresText.cpp"],
     '(f.connections == 1 ? " receiver" : " receivers")',
     '(f.connections == 0 ? " receiver" : " receivers")', "cli_test|wrapper"),
    ("ndi-dropped-frames", ["ndi/NdiLoader.cpp"],
     "f.framesDropped = uint64_t(std::max<int64_t>(dropped.audioFrames, 0));",
     "f.framesDropped = uint64_t(std::max<int64_t>(total.audioFrames, 0));", "cli_test|wrapper_test"),
    ("ndi-chosen-api", ["ndi/NdiLoader.cpp"],
     "return chosen != nullptr ? *chosen : rt::builtinApi();",
     "return chosen != nullptr && false ? *chosen : rt::builtinApi();",
     "veltrin_loader"),
    # audio/
    ("audio-name-case", ["audio/PortAudioSession.cpp"],
     "return strcasecmp(a.c_str(), b.c_str()) == 0;", "return a == b;", "engine_fake|cli_test"),
    ("audio-jack-down", ["audio/JackServerWatch.cpp"],
     "            return c.down;", "            return !c.down;", "engine_fake|cli_test"),
    # engine/ (the PortAudio callbacks and the lock-free meter tap)
    ("engine-xrun-count", ["engine/Audio.Capture.Playback.cpp"],
     "        xruns.fetch_add(1, std::memory_order_relaxed);", "        (void)xruns;", "engine_fake"),
    ("engine-output-gain", ["engine/Audio.Capture.Playback.cpp"],
     "out[i] *= playback.gain;", "out[i] *= 1.0f;", "engine_fake"),
    ("engine-duplex-meter", ["engine/Audio.Capture.Playback.cpp"],
     "pullBlock(*records.playback, static_cast<float *>(output), frames);",
     "pullBlock(*records.playback, static_cast<float *>(output), frames, false);", "engine_fake"),
    ("engine-tap-torn", ["engine/LevelTap.cpp"],
     "if (m_sequence.load(std::memory_order_relaxed) != before)", "if (false)", "level_tap"),
    ("engine-map-zero", ["engine/ChannelMap.cpp"],
     "return value >= 1 && value <= ChannelMap::kMaxChannels ? int(value) : -1;",
     "return value >= 0 && value <= ChannelMap::kMaxChannels ? int(value) : -1;", "channel_map"),
    ("engine-link-silence", ["engine/DeviceLink.cpp"],
     "if (calls != m_lastCalls) {", "if (calls == m_lastCalls) {", "pipewire_alsa|engine_fake"),
    # runtime/ (the lock-free ring, the wire format, the transport)
    ("rt-ring-room", ["runtime/SpscByteRing.h"],
     "if (m_capacity - (head - tail) < total)", "if (m_capacity - (head - tail) < total / 2)",
     "spsc_ring"),
    ("rt-ring-skip", ["runtime/SpscByteRing.h"],
     "m_reservedSkip = need <= toEnd ? 0 : toEnd;", "m_reservedSkip = 0;", "spsc_ring"),
    ("rt-ring-acquire", ["runtime/SpscByteRing.h"],
     "const uint64_t tail = m_tail.load(std::memory_order_acquire);",
     "const uint64_t tail = m_tail.load(std::memory_order_relaxed);", "spsc_ring"),
    ("rt-layout-groups", ["runtime/WireFormat.cpp"],
     "if (groups < ceilDiv(dataShards, kMaxGroupData) || groups > dataShards)",
     "if (groups < ceilDiv(dataShards, kMaxGroupData))", "wire_format"),
    ("rt-layout-parity", ["runtime/WireFormat.cpp"],
     "return parity >= 0 && parity <= kMaxParity;", "return parity >= 0 && parity < kMaxParity;",
     "wire_format"),
    ("rt-stripe", [("runtime/WireFormat.h", "return g + pos * groups;",
                    "return g * dataShards / groups + pos;"),
                   ("runtime/Sender.cpp", "g + pos * l.groups", "g * l.dataShards / l.groups + pos")],
     None, None, "wire_format|transport"),
    ("rt-parity-group", [("runtime/WireFormat.h", "(index - dataShards) / parity",
                          "(index - dataShards) % groups"),
                         ("runtime/BlockAssembler.cpp", "(index - n) / m_layout.parity",
                          "(index - n) % m_layout.groups")],
     None, None, "wire_format|transport"),
    ("rt-siphash-rounds", ["runtime/SipHash.cpp", "runtime/Sender.cpp"],
     "for (int i = 0; i < 4; ++i)", "for (int i = 0; i < 3; ++i)", "wire_format|transport"),
    ("rt-same-address", ["runtime/net/Socket.cpp", "runtime/Sender.cpp"],
     "return a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;",
     "return a.sin_addr.s_addr == b.sin_addr.s_addr;", "transport"),
    ("rt-receiver-quiet", ["runtime/Receiver.cpp"],
     "return m_ended || now - m_lastHeard > seconds(kQuietLimit);",
     "return m_ended || now - m_lastHeard > 100 * seconds(kQuietLimit);", "transport"),
    ("rt-erasure-present", ["runtime/ErasureCode.cpp"],
     "        if (present[r])", "        if (!present[r])", "wire_format|transport"),
    ("rt-convert-stride", ["runtime/AudioConvert.cpp"],
     "strideBytes > 0 ? strideBytes / static_cast<int>(sizeof(float)) : samples;",
     "strideBytes > 0 ? strideBytes / static_cast<int>(sizeof(float)) + 1 : samples;",
     "audio_convert"),
    ("rt-announce-blank-name", ["runtime/Runtime.cpp"],
     "if (name.text.find_first_not_of(' ') != std::string::npos)",
     "if (name.text.find_first_not_of(' ') == std::string::npos)", "cli_test|pipewire_alsa"),
    # runtime/ (the frame synchroniser: the real-time pull and its parts)
    ("fs-stall", ["runtime/FrameSync.cpp",
                  ("runtime/FrameSyncParts.cpp",
                   "const bool stalled = interval > dt + std::max(2 * dt, m_stallMs * 1e-3);",
                   "const bool stalled = interval > dt + 100 * std::max(2 * dt, m_stallMs * 1e-3);")],
     "const bool stalled = interval > dt + std::max(2 * dt, m_config.stallMs * 1e-3);",
     "const bool stalled = interval > dt + 100 * std::max(2 * dt, m_config.stallMs * 1e-3);",
     "framesync"),
    ("fs-arrival-seqlock", ["runtime/FrameSync.cpp"],
     "if ((seq & 1) == 0 && seq == s.arrivalSeq.load(std::memory_order_relaxed))",
     "if ((seq & 1) == 0 || seq == s.arrivalSeq.load(std::memory_order_relaxed))", "framesync"),
    ("fs-owed-expiry", ["runtime/FrameSync.cpp", "runtime/FrameSyncParts.cpp"],
     "if (now > m_owedUntil)", "if (now < m_owedUntil)", "framesync"),
    ("fs-resync-excess", ["runtime/FrameSync.cpp",
                          ("runtime/FrameSync.cpp",
                           "if (p.level - m_target.value() > m_config.resyncAboveMs * 1e-3 * p.rate) {",
                           "if (p.level - m_target.value() > 100 * m_config.resyncAboveMs * 1e-3 * p.rate) {")],
     "if (level - m_target > m_config.resyncAboveMs * 1e-3 * rate) {",
     "if (level - m_target > 100 * m_config.resyncAboveMs * 1e-3 * rate) {", "framesync"),
    ("fs-give-back", ["runtime/FrameSync.cpp", "runtime/FrameSyncParts.cpp"],
     "&& now - m_lastShort > m_config.giveBackSeconds)",
     "&& now - m_lastShort > 100 * m_config.giveBackSeconds)", "framesync"),
    ("fs-late-series", ["runtime/FrameSync.cpp", "runtime/FrameSyncParts.h"],
     "m_target += shortfall;", "m_target += 0 * shortfall;", "framesync"),
    ("fs-cycle-grow", ["runtime/FrameSync.cpp", "runtime/FrameSyncParts.cpp"],
     "m_target += change;", "m_target += 0 * change;", "framesync"),
    ("fs-drift-integrate", ["runtime/FrameSyncParts.cpp"],
     "if (std::abs(error) < m_config.integrateWithin)",
     "if (std::abs(error) > m_config.integrateWithin)", "framesync"),
    ("fs-decision-band", ["runtime/FrameSyncParts.cpp"],
     "if (m_outsideBand > m_config.holdSeconds)",
     "if (m_outsideBand > 100 * m_config.holdSeconds)", "framesync"),
    ("fs-planner-window", ["runtime/FrameSyncParts.cpp"],
     "if (m_observed < window)", "if (m_observed < window / 4)", "framesync"),
    ("fs-device-cycle", ["runtime/FrameSyncParts.cpp"],
     "if (backToBack) {", "if (backToBack && false) {", "framesync"),
    ("fs-lateness-persist", ["runtime/FrameSyncParts.cpp"],
     "return now - m_firstLate >= m_config.persistSeconds;", "return now - m_firstLate >= 0;",
     "framesync"),
    # runtime/ (the sender's subscribers and pacing, the assembler, the receiver)
    ("tx-max-clients", ["runtime/Sender.cpp", "runtime/SubscriberRegistry.cpp"],
     "if (int(m_subscribers.size()) >= kMaxClients) {",
     "if (int(m_subscribers.size()) > kMaxClients) {", "transport"),
    ("tx-subscription-expiry", ["runtime/Sender.cpp", "runtime/SubscriberRegistry.cpp"],
     "return now - s.refreshed > kSubscriptionTimeout;",
     "return now - s.refreshed > 100 * kSubscriptionTimeout;", "transport"),
    ("tx-pace", ["runtime/Sender.cpp", "runtime/Pacer.cpp"],
     "if (m_due > now) {", "if (m_due > now + 1) {", "transport"),
    ("tx-leave", ["runtime/Sender.cpp", "runtime/SubscriberRegistry.cpp"],
     "if (request.common.kind == wire::Kind::Leave) {",
     "if (request.common.kind == wire::Kind::Leave && false) {", "transport"),
    ("asm-late-block", ["runtime/BlockAssembler.cpp"],
     "if (block < m_next) {", "if (block < m_next - 1) {", "wire_format|transport"),
    ("asm-decode", ["runtime/BlockAssembler.cpp"],
     "if (lost > 0 && ready) {", "if (lost > 0 && ready && false) {", "wire_format|transport"),
    ("asm-conceal-previous", ["runtime/BlockAssembler.cpp"],
     "if (m_havePrevious && samples + p >= 0)", "if (m_havePrevious && samples + p >= 0 && false)",
     "wire_format|transport"),
    ("rx-other-sender", ["runtime/Receiver.cpp",
                         ("runtime/Receiver.cpp", "if (!sameAddress(from, *target))",
                          "if (!sameAddress(from, *target) && false)")],
     "if (!sameAddress(from, m_target))", "if (!sameAddress(from, m_target) && false)",
     "transport"),
    # runtime/discovery/
    ("disc-dns-pointer-loop", ["runtime/discovery/DnsMessage.cpp"],
     "if (target >= at) {", "if (target > at) {", "dns_message"),
    ("disc-safe-bidi", ["runtime/discovery/SafeText.cpp"],
     "|| (cp >= 0x202A && cp <= 0x202E) || (cp >= 0x2066 && cp <= 0x2069);",
     "|| (cp >= 0x2066 && cp <= 0x2069);", "dns_message|discovery_config"),
    ("disc-config-lower", ["runtime/discovery/DiscoveryConfig.cpp"],
     "        if (c >= 'A' && c <= 'Z')", "        if (c >= 'A' && c < 'Z')", "discovery_config"),
    ("disc-json-depth", ["runtime/discovery/JsonValue.cpp"],
     "if (depth > JsonValue::kMaxDepth || m_pos >= m_text.size())", "if (m_pos >= m_text.size())",
     "discovery_config"),
    ("disc-unconfirmed-cap", ["runtime/discovery/RecordCache.cpp", "runtime/discovery/DiscoveryEngine.cpp"],
     "if (!forConfirmed && m_byAge[0].size() >= m_limits.maxUnconfirmed) {",
     "if (false) {", "dns_message|discovery_loopback"),
    ("disc-ttl-cap", ["runtime/discovery/RecordCache.cpp", "runtime/discovery/DiscoveryEngine.cpp"],
     "std::chrono::seconds(std::min(r.ttl, kMaxCachedTtl))", "std::chrono::seconds(r.ttl)",
     "dns_message|discovery_loopback"),
    ("disc-legacy-ttl", ["runtime/discovery/Responder.cpp", "runtime/discovery/DiscoveryEngine.cpp"],
     "legacy ? std::min(kRecordTtlSeconds, kLegacyTtlCap) : kRecordTtlSeconds;",
     "kRecordTtlSeconds;", "dns_message|discovery_loopback"),
    ("disc-goodbye", ["runtime/discovery/RecordCache.cpp", "runtime/discovery/DiscoveryEngine.cpp"],
     "if (r.ttl == 0) { // goodbye", "if (r.ttl == 1) { // goodbye",
     "dns_message|discovery_loopback"),
    # cli/
    ("cli-whole-range", ["cli/Options.cpp"],
     "if (!parseWhole(text, value) || value < low || value > high)",
     "if (!parseWhole(text, value) || value < low)", "cli_test"),
    ("cli-meter-rms", ["cli/LevelMeter.cpp"],
     "decibels(std::sqrt(squares / static_cast<double>(m_frames)))",
     "decibels(squares / static_cast<double>(m_frames))", "cli_test"),
    ("cli-duplex-device", ["cli/DeviceTable.cpp"],
     "return device.inputs > 0 && device.outputs > 0;",
     "return device.inputs > 0 || device.outputs > 0;", "cli_test"),
    ("cli-max-latency", ["cli/StreamStats.cpp"],
     "it->second.maxLatencyMs = std::max(it->second.maxLatencyMs, f.latencyMs);",
     "it->second.maxLatencyMs = f.latencyMs;", "cli_test"),
]


def run(cmd, cwd, limit=None):
    # A process group of its own, so that a suite that overran is stopped with every test,
    # server and helper it started.
    p = subprocess.Popen(cmd, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                         start_new_session=True)
    try:
        return p.wait(timeout=limit)
    except subprocess.TimeoutExpired:
        os.killpg(p.pid, signal.SIGKILL)
        p.wait()
        return "timeout"


def judge(build, root, hint, limit):
    """0 when the whole suite passed, else a short reason."""
    netns = os.path.join(root, "scripts", "netns-run")
    base = ["nice", "-n", "19", netns, "ctest", "-j2", "--stop-on-failure"]
    deadline = time.time() + limit
    failed_log = os.path.join(build, "Testing", "Temporary", "LastTestsFailed.log")
    for selection in (["-R", hint], ["-E", hint]):
        if os.path.exists(failed_log):
            os.remove(failed_log)
        # The tests of the hint take under a minute together (the longest test about 30 s):
        # past 150 s they hang on the fault, so that a hang costs minutes, not the whole limit.
        budget = deadline - time.time()
        if selection[0] == "-R":
            budget = min(budget, 150)
        rc = run(base + selection, build, max(1, budget))
        if rc == "timeout":
            return "timed out" + (" (" + hint + ")" if selection[0] == "-R" else "")
        if rc != 0:
            # "<number>:<name>" per failed test; the names make a verdict easy to audit.
            names = []
            if os.path.exists(failed_log):
                names = [l.strip().split(":", 1)[-1] for l in open(failed_log) if l.strip()]
            return "failed: " + (",".join(names) or "(no test named)")
    return 0


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--build", default="build")
    p.add_argument("--only", default="")
    p.add_argument("--list", action="store_true")
    p.add_argument("--out", default="mutation-results.txt")
    p.add_argument("--limit", type=float, default=600, help="seconds for one suite run")
    a = p.parse_args()
    root = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
    build = os.path.abspath(os.path.join(root, a.build))
    chosen = [m for m in MUTANTS if not a.only or m[0] in a.only.split(",")]
    # Every fault must resolve to one place before anything is run.
    plan = []
    for ident, places, original, replacement, hint in chosen:
        for place in places:
            f, o, r = place if isinstance(place, tuple) else (place, original, replacement)
            path = os.path.join(root, f)
            if os.path.exists(path) and open(path).read().count(o) == 1:
                plan.append((ident, f, o, r, hint))
                break
        else:
            sys.exit("%s: the original text is not found once in any of its places" % ident)
    if a.list:
        for ident, f, _, _, _ in plan:
            print("%-24s %s" % (ident, f))
        print("%d faults" % len(plan))
        return 0

    results, start = [], time.time()
    out = open(os.path.join(root, a.out), "w")
    for ident, f, original, replacement, hint in plan:
        path = os.path.join(root, f)
        text = open(path).read()
        t0 = time.time()
        try:
            with open(path, "w") as w:
                w.write(text.replace(original, replacement))
            if run(["nice", "-n", "19", "cmake", "--build", build, "-j2"], root) != 0:
                verdict = "build-failed"
            else:
                reason = judge(build, root, hint, a.limit)
                verdict = "survived" if reason == 0 else "caught"
                if reason != 0:
                    verdict += " " + reason
        finally:
            with open(path, "w") as w:
                w.write(text)
        line = "%-24s %-44s %-10s %4.0f s" % (ident, f, verdict, time.time() - t0)
        print(line, flush=True)
        out.write(line + "\n")
        out.flush()
        results.append((ident, verdict.split()[0]))
    # Leave the build matching the sources again.
    run(["nice", "-n", "19", "cmake", "--build", build, "-j2"], root)
    counts = {k: sum(1 for _, v in results if v == k) for k in ("caught", "survived", "build-failed")}
    summary = "mutants %d, caught %d, survived %d, build-failed %d, wall %.0f s" % (
        len(results), counts["caught"], counts["survived"], counts["build-failed"],
        time.time() - start)
    survivors = [i for i, v in results if v == "survived"]
    print(summary)
    print("survivors: " + (", ".join(survivors) or "none"))
    out.write(summary + "\nsurvivors: " + (", ".join(survivors) or "none") + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
