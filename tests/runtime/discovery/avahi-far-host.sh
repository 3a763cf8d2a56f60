#!/bin/sh
# The far host of the avahi interop test. Runs as the first process of fresh network, mount
# and PID namespaces (unshare --net --mount --pid --kill-child), so that everything it starts
# dies with it. Waits for the veth end "vfar", gives it 10.77.0.2/24, starts a private D-Bus
# system bus and avahi-daemon on a private /run, publishes one service of Veltrin's type,
# and prints every resolved service of that type (avahi-browse -p lines, prefixed "BROWSE ")
# until it is killed. Arguments, if any, are a command run beside the daemon on
# this host once it is up, its output prefixed "PEER ".
set -u
echo NETNS # the test moves "vfar" in after this line
mount -t tmpfs veltrin-run /run || exit 1
mkdir -p /run/dbus /run/avahi-daemon
while ! ip link show vfar >/dev/null 2>&1; do sleep 0.05; done
ip link set lo up && ip addr add 10.77.0.2/24 dev vfar && ip link set vfar up || exit 1

cat > /run/avahi-test.conf <<'CONF'
[server]
host-name=avahihost
use-ipv4=yes
use-ipv6=no
allow-interfaces=vfar
enable-dbus=yes
ratelimit-interval-usec=1000000
ratelimit-burst=1000
[wide-area]
enable-wide-area=no
[publish]
publish-hinfo=no
publish-workstation=no
CONF

dbus-daemon --system --fork --nopidfile || exit 1
avahi-daemon -f /run/avahi-test.conf --no-drop-root --no-chroot --no-rlimits >/run/avahi.log 2>&1 &
tries=0
until grep -q "Server startup complete" /run/avahi.log; do
  tries=$((tries + 1))
  if [ $tries -gt 200 ]; then cat /run/avahi.log >&2; exit 1; fi
  sleep 0.05
done
avahi-publish -s "AVAHIHOST (published)" _veltrin._tcp 7200 >/run/publish.log 2>&1 &
if [ $# -gt 0 ]; then
  tail -f /dev/null | "$@" | sed -u 's/^/PEER /' &
fi
echo READY
(
  while :; do
    timeout 5 avahi-browse -rpt _veltrin._tcp 2>/dev/null | sed -n 's/^=/BROWSE =/p'
    sleep 0.3
  done
) &
exec sleep infinity
