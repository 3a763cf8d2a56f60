#include "Options.h"

namespace veltrin::cli {

// Kept in step with docs/veltrin-cli.1, which says the same at more length.
std::string helpText()
{
    return R"help(veltrin-cli: audio between sound cards and the NDI network, from a shell or a service.

Usage:
  veltrin-cli devices [--json]
  veltrin-cli sources [--wait SECONDS] [--json]
  veltrin-cli send    --device DEVICE --name NAME [STREAM OPTIONS]
  veltrin-cli play    --source "HOST (name)" --device DEVICE [--wait SECONDS] [STREAM OPTIONS]
  veltrin-cli duplex  --device DEVICE --name NAME --source "HOST (name)" [--wait SECONDS]
                      [--in-gain DB] [--out-gain DB] [STREAM OPTIONS]
  veltrin-cli --help | --version

Commands:
  devices  List the audio devices as the window lists them, each numbered within its list:
           input devices (for send), output devices (for play), duplex devices (for duplex).
  sources  List the NDI sources found on the network within --wait seconds (default 2).
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
  --jack-name NAME  The stream's client name on a JACK server (default veltrin-cli).
Other options:
  --wait SECONDS    sources: how long to listen; play, duplex: how long to wait for --source.
  --json            devices, sources: print JSON instead of text.
  -v, --verbose     Also print the diagnostics of the audio libraries and of Qt.
  -h, --help        Print this text.       -V, --version   Print the version.

Output:
  Standard output carries only the listings and the meter lines. Everything else goes to
  standard error: the NDI runtime in use, what is running, the engine's messages and errors;
  the program's own lines start with "veltrin-cli: ".
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

NDI runtime and settings:
  An installed libndi.so.5 is used when one is found (in $NDI_RUNTIME_DIR_V5, then on the
  library search path), otherwise Veltrin's built-in runtime; a line at the start names it.
  Both read ~/.ndi/ndi-config.v1.json (machine name, groups, network adapters, extra
  addresses). veltrin-cli reads that file as it is and never writes it.

Exit status:
  0  listed; or streamed until SIGINT or SIGTERM and stopped in order
  1  the stream could not start (the engine's message is printed), or did not stop in time
  2  the command line is wrong
  3  no audio device matches --device for the stream's direction
  4  the device is busy, or refuses the sample rate or channel count
  5  the NDI source did not appear within --wait seconds
  6  the NDI runtime could not be initialised
  7  the device went away while streaming, and --exit-on-loss was given

Examples:
  veltrin-cli devices
  veltrin-cli send --device system --name "Stage left" --meter
  veltrin-cli play --source "STUDIO-PC (Desk mix)" --device 2 --frames 128
)help";
}

} // namespace veltrin::cli
