#include "Options.h"

namespace veltrin::cli {

// Kept in step with docs/veltrin-cli.1, which says the same at more length.
std::string helpText()
{
    return R"help(veltrin-cli: audio between sound cards and the NDI network, from a shell or a service.

Usage:
  veltrin-cli devices [--json]
  veltrin-cli sources [--wait SECONDS | --watch] [--json]
  veltrin-cli send    --device DEVICE --name NAME [--channels LIST] [STREAM OPTIONS]
  veltrin-cli play    --source "HOST (name)" --device DEVICE [--wait SECONDS]
                      [--channels LIST | --map SRC:DEV,...] [STREAM OPTIONS]
  veltrin-cli duplex  --device DEVICE --name NAME --source "HOST (name)" [--wait SECONDS]
                      [--in-gain DB] [--out-gain DB] [--in-channels LIST]
                      [--out-channels LIST | --map SRC:DEV,...] [STREAM OPTIONS]
  veltrin-cli --help | --version

Commands:
  devices  List the audio devices as the window lists them, each numbered within its list:
           input devices (for send), output devices (for play), duplex devices (for duplex).
  sources  List the NDI sources found on the network within --wait seconds (default 2).
           With --watch, print each source as it appears ("+ NAME  ADDRESS") and as it goes
           ("- NAME  ADDRESS"), until SIGINT or SIGTERM.
  send     Capture an input device and publish it as the NDI source NAME; receivers see it
           as "HOST (NAME)", HOST being this machine's NDI name.
  play     Receive the NDI source "HOST (name)" and play it on an output device. The source
           must appear within --wait seconds (default 5); if it goes away later, the device
           plays silence until it comes back.
  duplex   Both on one device that records and plays: publish its input as NAME and play
           the source on its output.
  send, play and duplex run until SIGINT (Ctrl-C) or SIGTERM, then stop the stream in order
  and exit with status 0.

Stream options:
  --device DEVICE   The device's PortAudio name ("system"), its entry as 'devices' and the
                    window show it ("JACK Audio Connection Kit  system", two spaces), or its
                    number in the list of its kind. Letter case does not matter.
  --frames N        Frames per block, 32 to 2048 (default 256).
  --rate HZ         Sample rate in Hz, 8000 to 192000 (default: the device's default rate).
  --gain DB         Gain in decibels, -120 to 40 (default 0): applied to what is sent (send),
                    to what is played (play), to both (duplex).
  --in-gain DB      duplex: the gain of what is sent.
  --out-gain DB     duplex: the gain of what is played.
  --meter           Print the levels once a second on standard output.
  --exit-on-loss    End with status 7 when the device goes away, instead of waiting for it
                    (for a service that a supervisor such as systemd restarts).
  --stats           Print the stream's figures once a second on standard output (below).
  --stats-json      The same as one JSON object a line, for a monitoring agent or jq.
  --channels LIST   send: the device inputs to publish, in that order ("1,2": inputs 1 and
                    2 as channels 1 and 2). play: the device outputs that the source's first
                    channels play on ("3,4": source 1 on output 3, source 2 on output 4).
                    Without it a stream moves all the device's channels, up to 64.
  --map SRC:DEV,... play, duplex: source channel SRC plays on device output DEV ("1:3,2:4";
                    one source channel may feed several outputs). Outputs not named are silent.
  --in-channels LIST, --out-channels LIST
                    duplex: --channels for what is sent and for what is played.
                    Channels count from 1; a channel the device lacks, or one named twice,
                    is a wrong command line (status 2).
  --jack-name NAME  The stream's client name on a JACK server (default veltrin-cli).
Other options:
  --wait SECONDS    sources: how long to listen; play, duplex: how long to wait for --source.
  --watch           sources: keep listening and print each change (one JSON object a line
                    with --json: "event" "appeared" or "gone", "name", "address").
  --json            devices, sources: print JSON instead of text.
  -v, --verbose     Also print the diagnostics of the audio libraries and of Qt.
  -h, --help        Print this text.
  -V, --version     Print the version and that of the NDI runtime in use.

Output:
  Standard output carries only the listings, the meter and figure lines and the source
  changes. Everything else goes to standard error: the NDI runtime in use, what is running,
  the engine's messages and errors; the program's own lines start with "veltrin-cli: ".
  A meter line holds one value per channel, in dBFS, over the blocks seen in the last second:
    in   rms -18.1 -18.3  peak -12.0 -12.2 dBFS
  "in" is what the device captures (before the gain), "out" what it plays (after the gain);
  -inf is digital silence; duplex prints both lines.
  devices --json prints one object with the keys "input", "output" and "duplex". "input" and
  "output" hold objects with the keys "number", "entry", "hostApi", "name", "channels" and
  "defaultSampleRate"; "duplex" holds objects with the keys "number" and "name".
  sources --json prints one object with the keys "runtime" (the NDI runtime in use) and
  "sources", which holds objects with the keys "name" and "address".

When a device goes away:
  A device that stops delivering audio while streaming (a USB interface pulled out, the JACK
  server stopped or crashed, PipeWire restarted) is reported at once on standard error:
    device "system" went away; waiting for it to return
  The stream keeps running: send and duplex keep the NDI source on the network, carrying
  silence, so receivers stay connected; play and duplex stay connected to their source. The
  device is looked for by its name about once a second and opened again with the same rate,
  block size and channels; audio resumes within about two seconds of its return, announced by
    device "system" is back
  The meters show -inf meanwhile. SIGINT and SIGTERM still end the program within three
  seconds: a device that does not answer its stop within 1.5 s is left behind with a line
  that says so. With --exit-on-loss the program stops at the first loss and exits with 7.
Stream figures (--stats, --stats-json, SIGUSR1):
  One line a second per sender and receiver of the stream:
    receive "HOST (name)": latency 6.1 ms (reserve 5.6 ms), clock copying +0.4 ppm, late 0,
    datagrams 5630 received 12 repaired 0 concealed 12 lost, frames 1877 received 0 dropped,
    underruns 0, xruns 0
    send "HOST (name)": 1 receiver, 5630 datagrams, 11540000 bytes sent, xruns 0
  latency      audio waiting in the receiver now: the delay it adds to what you hear.
  reserve      how much it aims to keep waiting; it grows when blocks keep arriving late.
  clock        copying: samples played untouched; resampling: the sender's clock and the
               sound card's differ and the audio is resampled, inaudibly, to follow it;
               settling: not decided yet. The ppm figure is that difference.
  late         network blocks that came after their time; playback slowed for a moment to
               span each one, nothing was cut.
  datagrams    received; lost on the way; of those, repaired from parity (nothing audible)
               and concealed (a short gap filled in: possibly audible).
  frames       blocks handed to playback, and blocks dropped whole (lost or too late).
  underruns    sound-card blocks that ran out of audio and played silence: audible.
  xruns        blocks the sound card itself lost or played late: audible, and not the
               network's doing.
  receivers    how many receivers the sender is sending to.
  "n/a" marks what the runtime in use does not report (an installed libndi.so.5 reports
  frames received and dropped, its queue and connections; JSON gives null). --stats-json
  keys: "seconds", "stream" ("receive" or "send"), "name", "connections", "xruns",
  "latencyMs", "reserveMs", "clock", "driftPpm", "lateBlocks", "underruns",
  "datagramsReceived", "datagramsRepaired", "datagramsConcealed", "datagramsLost",
  "framesReceived", "framesDropped", "queueDepth", "datagramsSent", "bytesSent".
  SIGUSR1 prints a summary of every stream since the start (on standard output with
  --stats or --stats-json, else on standard error): the latest figures, how long it ran and
  the highest latency seen ("summary": true, "ranSeconds", "maxLatencyMs" in JSON); a stream
  stopped with --stats or --stats-json prints it too.

Audio devices:
  With a JACK server running, its devices. Otherwise, where PipeWire runs, veltrin-cli runs
  itself on PipeWire's JACK library (package pipewire-jack): every PipeWire device is listed
  under its own name with its own channels at the graph's rate, and each stream asks the graph
  for its --frames as the quantum. Without that package only PipeWire's two ALSA devices
  ("pipewire", "default": the desktop's chosen input and output, more latency) are listed, and
  a line on standard error says so. VELTRIN_AUDIO_ROUTE=alsa keeps to the ALSA devices.

NDI runtime and settings:
  An installed libndi.so.5 is used when one is found (in $NDI_RUNTIME_DIR_V5, then on the
  library search path), otherwise Veltrin's built-in runtime; a line at the start names it,
  and --version prints its version text ("(built-in)" for Veltrin's own).
  The built-in runtime finds sources with mDNS (UDP 5353) and carries the audio as UDP
  datagrams from a port the sender picks: each block's datagrams carry Reed-Solomon parity,
  so lost ones are rebuilt at once, without asking the sender again.
  Both read ~/.ndi/ndi-config.v1.json (machine name, groups, network adapters, extra
  addresses). veltrin-cli reads that file as it is and never writes it.

Exit status:
  0  listed; or streamed until SIGINT or SIGTERM and stopped in order
  1  the stream could not start (the engine's message is printed), or did not stop in time
  2  the command line is wrong, or names a channel the device does not have
  3  no audio device matches --device for the stream's direction
  4  the device is busy, or refuses the sample rate or channel count
  5  the NDI source did not appear within --wait seconds
  6  the NDI runtime could not be initialised
  7  the device went away while streaming, and --exit-on-loss was given

Examples:
  veltrin-cli devices
  veltrin-cli send --device system --name "Stage left" --meter
  veltrin-cli play --source "STUDIO-PC (Desk mix)" --device 2 --frames 128
  veltrin-cli send --device default --name "Stage" --channels 1,2 --stats
  veltrin-cli play --source "STUDIO-PC (Desk mix)" --device 1 --map 1:3,2:4 --stats-json |
    jq .latencyMs
  veltrin-cli sources --watch --json
)help";
}

} // namespace veltrin::cli
