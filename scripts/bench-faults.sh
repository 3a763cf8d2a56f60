#!/usr/bin/env bash
# The fault bench: Veltrin's transport between private network namespaces, with losses, delays,
# link and address changes, restarts and a neighbour holding UDP 5353 injected between the
# sender and the receiver. Builds what it needs, runs every case and prints a Markdown table.
#   scripts/bench-faults.sh [--rig signal|jack] [--seconds 60] [--channels 2,64] [--block 256]
#                           [--cases a,b,...] [--ppm 187] [--out DIR] [--no-zita] [--list]
# Each case: 10 s clean, the fault (SECONDS for a rate; its own length for an event), then 10 s
# clean. Needs root (namespaces, nftables, TUN).
# --rig signal (the default): the sender and the receiver are veltrin_fault_signal processes
# (one per namespace, through the NDI interface and discovery), which keep a sound card's
# schedule and read the latency from the samples themselves.
# --rig jack: the bridge benchmark's two clocks (veltrin_bridge_bench --clocks two) with each
# JACK dummy server in one of the namespaces, A --ppm fast: an emitting probe and the sender on
# A, the receiver and a listening probe on B, for Veltrin (veltrin_bridge_peer) and then
# zita-j2n/zita-n2j (default buffer, UDP to B's address) in the same conditions. The bench
# switches the fault on and off with the commands this script gives it (fault_command).
# --no-zita: the JACK rig runs Veltrin alone.
# Cases of the JACK rig: none, loss-*, gilbert, jitter-*, reorder-1, duplicate-1, link-down-*.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

# The command (for sh) that switches a case's fault on the path between A ($a, interface va)
# and B ($b, vb) on or off: random loss on a namespace's input hook (so the sender never
# notices), the relay's faults ($relay_pid, toggled by SIGUSR1), or the link. One command a
# switch, timed by the JACK rig as it begins; shared by both rigs. Events other than a link
# are the signal rig's own (run_case).
fault_command() { # on|off case
  local state=$1 name=$2 n per_mille=0 where=()
  case $name in
    loss-*) per_mille=$(awk -v p="${name#loss-}" 'BEGIN{printf "%d", p * 10}'); where=("$b:vb" "$a:va") ;;
    other-path) per_mille=50; where=("$b:vb") ;;
    gilbert|jitter-*|reorder-1|duplicate-1) echo "kill -USR1 $relay_pid"; return ;;
    link-down-*) echo "ip -n $a link set va $([[ $state == on ]] && echo down || echo up)"; return ;;
    *) echo true; return ;;
  esac
  local commands=()
  for n in "${where[@]}"; do
    if [[ $state == on ]]; then
      commands+=("ip netns exec ${n%%:*} nft 'add table inet fault; add chain inet fault input { type filter hook input priority 0; policy accept; }; add rule inet fault input iifname \"${n#*:}\" meta l4proto { tcp, udp } numgen random mod 1000 lt $per_mille drop'")
    else
      commands+=("ip netns exec ${n%%:*} nft delete table inet fault 2>/dev/null")
    fi
  done
  local IFS=';'
  echo "${commands[*]}; true"
}
fault_switch() { eval "$(fault_command "$@")"; }

build=${VELTRIN_BENCH_BUILD:-$root/build-bench}
seconds=60
channels=2,64
block=256
rig=signal
ppm=187
out=/tmp/veltrin-bench-faults-$$
bridge_extra=() # the JACK rig's bench options: --no-zita runs Veltrin alone
all_cases=(none loss-0.1 loss-1 loss-5 gilbert jitter-1 jitter-5 jitter-20 reorder-1 duplicate-1
  link-down-0.1 link-down-2 link-down-30 address-change kill-sender kill-receiver hold-5353
  other-path)
cases=("${all_cases[@]}")
while [[ $# -gt 0 ]]; do
  case $1 in
    --seconds) seconds=$2; shift 2 ;;
    --channels) channels=$2; shift 2 ;;
    --block) block=$2; shift 2 ;;
    --rig) rig=$2; shift 2 ;;
    --ppm) ppm=$2; shift 2 ;;
    --cases) IFS=, read -r -a cases <<<"$2"; shift 2 ;;
    --out) out=$2; shift 2 ;;
    --no-zita) bridge_extra+=(--no-zita); shift ;;
    --list) printf '%s\n' "${all_cases[@]}"; exit 0 ;;
    *) echo "unknown option $1" >&2; exit 2 ;;
  esac
done
[[ $rig == signal || $rig == jack ]] || { echo "unknown rig $rig" >&2; exit 2; }
[[ $(id -u) -eq 0 ]] || { echo "the fault bench needs root (namespaces, nftables, TUN)" >&2; exit 1; }
"$root/scripts/setup.sh" --tests
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELTRIN_WERROR=ON >/dev/null
targets=(veltrin_fault_signal veltrin_fault_relay)
[[ $rig == jack ]] && targets+=(veltrin_bridge_bench)
cmake --build "$build" --target "${targets[@]}" >/dev/null
signal=$build/bench/faults/veltrin_fault_signal
relay=$build/bench/faults/veltrin_fault_relay
bridge=$build/bench/bridge/veltrin_bridge_bench
mkdir -p "$out"
warm=10
# The JACK rig's settling before its clean 10 s: the receiver's reserve follows the lateness it
# sees in its first 10 to 20 s, so "latency before" is the settled one and not the start's.
jack_warmup=20
tail_s=10
a=vfa$$ b=vfb$$ c=vfc$$ s=vfs$$
pids=()

cleanup() {
  for p in "${pids[@]}"; do kill -9 "$p" 2>/dev/null || true; done
  pids=()
  for n in $a $b $c $s; do ip netns del "$n" 2>/dev/null || true; done
}
trap cleanup EXIT

now() { "$signal" now; }

# Two namespaces joined by a veth pair (A 10.77.0.1, B 10.77.0.2), or by the relay's TUN devices
# (A 10.79.0.1, B 10.79.0.2) when relay options are given, or three (C 10.77.0.3) on a bridge in
# a fourth namespace S, as hosts on one switch ("switch"; each host's port is "v<host>").
topology() { # veth|relay|switch [relay options...] ; sets relay_pid
  local kind=$1; shift
  ip netns add $a; ip netns add $b
  for n in $a $b; do ip -n $n link set lo up; done
  relay_pid=
  if [[ $kind == switch ]]; then
    ip netns add $c; ip netns add $s; ip -n $c link set lo up
    ip -n $s link add sw0 type bridge; ip -n $s link set sw0 up
    local host n=1
    for host in $a:va $b:vb $c:vc; do
      ip link add "${host#*:}" netns "${host%%:*}" type veth peer name "p${host#*:}" netns $s
      ip -n $s link set "p${host#*:}" master sw0; ip -n $s link set "p${host#*:}" up
      ip -n "${host%%:*}" addr add "10.77.0.$n/24" dev "${host#*:}"
      ip -n "${host%%:*}" link set "${host#*:}" up
      n=$((n + 1))
    done
  elif [[ $kind == veth ]]; then
    ip link add va netns $a type veth peer name vb netns $b
    ip -n $a addr add 10.77.0.1/24 dev va; ip -n $b addr add 10.77.0.2/24 dev vb
    ip -n $a link set va up; ip -n $b link set vb up
  else
    "$relay" $a $b --off "$@" >"$out/relay.log" 2>&1 &
    relay_pid=$!; pids+=("$relay_pid")
    for _ in $(seq 100); do grep -q ready "$out/relay.log" && break; sleep 0.05; done
    ip -n $a addr add 10.79.0.1 peer 10.79.0.2 dev vrelay; ip -n $a link set vrelay up
    ip -n $b addr add 10.79.0.2 peer 10.79.0.1 dev vrelay; ip -n $b link set vrelay up
  fi
}

start_sender() { # netns name log
  ip netns exec "$1" "$signal" send "$2" "$ch" "$block" $((total + 5)) >"$3" 2>&1 &
  pids+=("$!"); sender_pid=$!
}
start_receiver() { # netns name log [seconds]
  ip netns exec "$1" "$signal" recv "$2" "$ch" "$block" "${4:-$total}" >"$3" 2>&1 &
  pids+=("$!"); receiver_pid=$!
}
cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat" 2>/dev/null || echo 0; }
wait_for() { # file text
  for _ in $(seq 200); do grep -q "$2" "$1" 2>/dev/null && return 0; sleep 0.05; done
  return 1
}

# Reads a receiver log and prints the table's cells for a fault from $1 to $2 (clock seconds).
analyse() { # log fault_start fault_end [restart_at]
  awk -v fs="$2" -v fe="$3" -v restart="${4:-0}" -v block_ms="$(awk -v b=$block 'BEGIN{print b*1000/48000}')" '
    /^silence at=/ { split($2, s, "="); split($3, m, "="); at = s[2]; ms = m[2]; end = at + ms / 1000
      if (end >= fs - 0.5 && at <= fe + 5) { n++; if (ms > longest) longest = ms }
      if (at <= fe + 0.001 && end > fe) back = end - fe
      if (restart > 0 && end > restart && back_restart == "") back_restart = end - restart }
    /^first at=/ { split($2, f, "="); first = f[2] }
    /^transport / { for (i = 2; i <= NF; i++) { split($i, kv, "="); v[kv[1]] = kv[2] }
      if (lastT <= fs) { r0 = v["repaired"]; cs0 = v["concealed_shards"]; cb0 = v["concealed_blocks"]; sk0 = v["skipped"] }
      if (lastT <= fe + 5) { r1 = v["repaired"]; cs1 = v["concealed_shards"]; cb1 = v["concealed_blocks"]; sk1 = v["skipped"] }
      resampling = v["resampling"] }
    /^t=/ { split($1, t, "="); split($8, l, "="); time = t[2]; lastT = time
      if (time > fs - 5 && time <= fs) before[nb++] = l[2]
      if (time > fe + 5 && l[2] >= 0) after[na++] = l[2]
      if (time > fs && time <= fe + 5) { split($6, j, "="); split($7, w, "="); jumps += j[2]; wrong += w[2] }
      if (time > fe + 5) { split($2, au, "="); audio_after += au[2] } }
    function median(arr, k,   i, j, tmp) { for (i = 0; i < k; i++) for (j = i + 1; j < k; j++) if (arr[j] < arr[i]) { tmp = arr[i]; arr[i] = arr[j]; arr[j] = tmp }
      return k ? arr[int(k / 2)] : "-" }
    END { if (restart > 0) back = back_restart
      printf "%d | %.1f | %s | %s | %d / %d | %d / %d / %d / %d | %s | %s | %s\n", n, longest, median(before, nb), median(after, na),
        jumps, wrong, r1 - r0, cs1 - cs0, cb1 - cb0, sk1 - sk0, (resampling ? "yes" : "no"),
        (audio_after > 0 ? "yes" : "no"), (back == "" ? (n ? "-" : "0") : sprintf("%.0f", back * 1000)) }' "$1"
}

# A case's network (kind, relay_args), how long its fault lasts (fault_s) and what event it is
# (ev: empty for a rate).
case_shape() { # case
  kind=veth relay_args=() fault_s=$seconds ev=
  case $1 in
    gilbert) kind=relay; relay_args=(--gilbert 0.0025 0.25) ;;
    jitter-*) kind=relay; relay_args=(--jitter "${1#jitter-}") ;;
    reorder-1) kind=relay; relay_args=(--reorder 0.01 --reorder-by 1) ;;
    duplicate-1) kind=relay; relay_args=(--duplicate 0.01) ;;
    link-down-*) fault_s=${1#link-down-}; ev="link" ;;
    address-change|kill-sender|kill-receiver|hold-5353) fault_s=0; ev=$1 ;;
    other-path) kind=switch; ev=other ;;
  esac
}

# The JACK rig: one bench run per case, Veltrin then zita, each with the fault in the middle.
run_jack_case() { # case
  local name=$1 kind relay_args fault_s ev
  case_shape "$name"
  if [[ -n $ev && $ev != link ]]; then
    echo "| $name | $ch | not a case of the JACK rig |"
    return
  fi
  topology $kind "${relay_args[@]}"
  local address=10.77.0.2 log=$out/jack-$name-$ch
  [[ $kind == relay ]] && address=10.79.0.2
  "$bridge" --clocks two \
    --ppm "$ppm" --periods "$block" --channels "$ch" --warmup $jack_warmup --netns-a $a --netns-b $b \
    --zita-address $address --log-dir "$log" --fault "$name" --fault-at $warm \
    --fault-seconds "$fault_s" --fault-tail $tail_s --fault-on "$(fault_command on "$name")" \
    --fault-off "$(fault_command off "$name")" "${bridge_extra[@]}" >"$log.txt" 2>"$log.err" || true
  grep "^| $name |" "$log.txt" || echo "| $name | $ch | the bench failed (see $log.err) |"
  cleanup
}

run_case() { # case
  local name=$1 kind relay_args fault_s ev
  case_shape "$name"
  total=$(awk -v w=$warm -v f=$fault_s -v t=$tail_s 'BEGIN{printf "%d", w + f + t + 6}')
  topology $kind "${relay_args[@]}"
  if [[ $ev == hold-5353 ]]; then
    for n in $a $b; do ip netns exec $n "$signal" hold-5353 >/dev/null 2>&1 & pids+=("$!"); done
  fi
  local log=$out/$name-$ch
  start_sender $a Fault "$log.send"
  wait_for "$log.send" sending || true
  if [[ $ev == other ]]; then
    # B is a duplex device: it plays A's stream and publishes its own, which C plays together
    # with A's. Only B's input is faulted.
    # B has a host name of its own: two hosts of one name would announce one host record.
    local here
    here=$(hostname -s | tr '[:lower:]' '[:upper:]')
    ip netns exec $b unshare --uts sh -c 'hostname faultb && exec "$@"' duplex "$signal" duplex \
      "$here (Fault)" Duplex "$ch" "$block" "$total" >"$log.recv" 2>&1 &
    pids+=("$!"); receiver_pid=$!
    ip netns exec $c "$signal" recv Fault "$ch" "$block" "$total" >"$log.recv-c" 2>&1 &
    pids+=("$!")
    ip netns exec $c "$signal" recv "FAULTB (Duplex)" "$ch" "$block" "$total" >"$log.recv-duplex" 2>&1 &
    pids+=("$!")
  else
    start_receiver $b Fault "$log.recv"
  fi
  local rp=$receiver_pid sp=$sender_pid
  sleep $warm
  local c0s c0r fs fe restart=0
  c0s=$(cpu_ticks $sp); c0r=$(cpu_ticks $rp)
  fs=$(now)
  fe=
  case $name in
    none|loss-*|gilbert|jitter-*|reorder-1|duplicate-1|link-down-*|other-path)
      fault_switch on "$name"; sleep "$fault_s"; fe=$(now); fault_switch off "$name" ;;
    address-change) # The new address takes over as the old one goes (as a DHCP change does).
                    ip netns exec $a sysctl -qw net.ipv4.conf.va.promote_secondaries=1
                    ip -n $a addr add 10.77.0.11/24 dev va; ip -n $a addr del 10.77.0.1/24 dev va ;;
    kill-sender) kill -9 "$sp"; start_sender $a Fault "$log.send2"; wait_for "$log.send2" sending || true
                 restart=$(sed -n 's/^sending at=//p' "$log.send2"); sp=$sender_pid ;;
    kill-receiver) kill -9 "$rp"; mv "$log.recv" "$log.recv-old"
                   restart=$(now); start_receiver $b Fault "$log.recv" $((total - warm)); rp=$receiver_pid ;;
  esac
  [[ -n $fe ]] || fe=$(now)
  local measured
  measured=$(awk -v a="$fs" -v b="$fe" 'BEGIN{print b - a}')
  sleep $tail_s
  local c1s c1r ticks
  ticks=$(getconf CLK_TCK)
  c1s=$(cpu_ticks $sp); c1r=$(cpu_ticks $rp)
  local span
  span=$(awk -v a="$fs" -v n="$(now)" 'BEGIN{print n - a}')
  local cpu_s cpu_r
  cpu_s=$(awk -v x=$c0s -v y=$c1s -v t=$ticks -v s=$span 'BEGIN{printf "%.1f", 100 * (y - x) / t / s}')
  cpu_r=$(awk -v x=$c0r -v y=$c1r -v t=$ticks -v s=$span 'BEGIN{printf "%.1f", 100 * (y - x) / t / s}')
  # A process that was replaced was measured for part of the time only.
  [[ $name == kill-receiver ]] && cpu_r=-
  [[ $name == kill-sender ]] && cpu_s=-
  sleep 7
  local cells
  if [[ $name == kill-receiver ]]; then
    # The new receiver: how long it took to play, and its latency against the old one's.
    local first
    first=$(sed -n 's/^first at=//p' "$log.recv")
    cells=$(analyse "$log.recv" "$fs" "$fe" "$restart")
    local before
    before=$(analyse "$log.recv-old" "$fs" "$fe" | awk -F' [|] ' '{print $3}')
    cells=$(echo "$cells" | awk -F' [|] ' -v b="$before" -v f="$first" -v r="$restart" 'BEGIN{OFS=" | "} {$3 = b; $8 = (f == "" ? "no" : "yes"); $9 = (f == "" ? "-" : sprintf("%.0f", (f - r) * 1000)); print}')
  else
    cells=$(analyse "$log.recv" "$fs" "$fe" "$restart")
  fi
  printf '| %s | %s | %.1f | %s | %s / %s |\n' "$name" "$ch" "$measured" "$cells" "$cpu_s" "$cpu_r"
  if [[ $ev == other ]]; then
    printf '| %s (C from A, undisturbed path) | %s | %.1f | %s | - |\n' "$name" "$ch" "$measured" "$(analyse "$log.recv-c" "$fs" "$fe")"
    printf '| %s (C from B'"'"'s duplex, undisturbed path) | %s | %.1f | %s | - |\n' "$name" "$ch" "$measured" "$(analyse "$log.recv-duplex" "$fs" "$fe")"
  fi
  cleanup
}

echo "Fault bench ($rig rig), $(date -u +%FT%TZ), load $(cut -d' ' -f1-3 /proc/loadavg), logs in $out"
echo
if [[ $rig == jack ]]; then
  echo "| case | ch | path | fault s | silences (no xrun near) | longest silence ms (no xrun near) | lost in/out xrun windows | latency before ms | latency after ms | audio back | back after fault ms | xruns | CPU send / recv % |"
  echo "|---|---:|---|---:|---:|---:|---:|---:|---:|---|---:|---:|---:|"
else
  echo "| case | ch | fault s | silences | longest ms | latency before ms | latency after ms | jumps / altered frames | repaired / concealed shards / concealed blocks / skipped | resampling | audio back | back after fault ms | CPU send / recv % |"
  echo "|---|---:|---:|---:|---:|---:|---:|---:|---:|---|---|---:|---:|"
fi
IFS=, read -r -a chans <<<"$channels"
for name in "${cases[@]}"; do
  for ch in "${chans[@]}"; do
    if [[ $rig == jack ]]; then run_jack_case "$name"; else run_case "$name"; fi
  done
done
echo
echo "Load at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
