# A private IPv4 network for tests that need broadcast, which loopback does not carry.
# Sourced by a test script. It builds, from network namespaces:
#   - a client namespace with one bridge per segment (brK, 10.218.K.1/24), and
#   - device namespaces, each with one veth link (eth0, 10.218.K.X/24) whose other end
#     is a port of its segment's bridge, so a broadcast from the client reaches every
#     device of the segment.
# Nothing leaves these namespaces. Names carry the script's PID, so parallel runs do not
# meet; lab_cleanup (run it from the script's EXIT trap) stops what the lab started and
# removes the namespaces, and lab_init removes what a killed run left behind.
#
#   lab_init                       skip (exit 77, with the reason) where namespaces
#                                  cannot be made; else create the client namespace
#   lab_segment K                  bridge K in the client namespace
#   lab_device K X                 device namespace at 10.218.K.X; sets DEV_NS, DEV_ADDR
#   lab_start NS LOG CMD...        CMD in the background inside NS, stopped by lab_cleanup
#   lab_snmpd NS DIR OID DESCR [CONF...]
#                                  snmpd in NS on port 161 (every address, so broadcasts
#                                  reach it), community quorle, this sysObjectID and
#                                  sysDescr; CONF lines are added to its configuration
#   lab_wait_log LOG TEXT          wait (10 s at most) until LOG holds TEXT
#   in_client CMD...               CMD inside the client namespace

LAB_PREFIX=vesk-lab-
LAB=$LAB_PREFIX$$
LAB_CLIENT=$LAB-c
LAB_PIDS=()
LAB_NAMESPACES=()

lab_skip() {
  echo "SKIP: $* (the broadcast tests need root and network namespaces)"
  exit 77
}

# Stops the processes inside a namespace of ours, then removes it.
lab_remove() {
  local ns=$1 pid
  for pid in $(ip netns pids "$ns" 2>/dev/null); do kill -KILL "$pid" 2>/dev/null; done
  ip netns delete "$ns" 2>/dev/null
}

lab_cleanup() {
  local pid ns
  for pid in ${LAB_PIDS[@]+"${LAB_PIDS[@]}"}; do kill "$pid" 2>/dev/null; done
  for pid in ${LAB_PIDS[@]+"${LAB_PIDS[@]}"}; do wait "$pid" 2>/dev/null; done
  for ns in ${LAB_NAMESPACES[@]+"${LAB_NAMESPACES[@]}"}; do lab_remove "$ns"; done
  LAB_PIDS=()
  LAB_NAMESPACES=()
}

lab_add_ns() {
  ip netns add "$1" || return 1
  LAB_NAMESPACES+=("$1")
  ip -n "$1" link set lo up
}

lab_init() {
  [ "$(id -u)" -eq 0 ] || lab_skip "not running as root"
  command -v ip >/dev/null || lab_skip "ip (iproute2) is not installed"
  # A run that was killed left its namespaces: its PID is gone.
  local ns owner
  for ns in $(ip netns list 2>/dev/null | awk '{print $1}' | grep "^$LAB_PREFIX"); do
    owner=${ns#"$LAB_PREFIX"}
    owner=${owner%%-*}
    [ -n "$owner" ] && ! kill -0 "$owner" 2>/dev/null && lab_remove "$ns"
  done
  # What the lab needs, tried once: a namespace, a bridge and a veth pair.
  lab_add_ns "$LAB_CLIENT" 2>/dev/null || lab_skip "ip netns add is not allowed here"
  if ! ip -n "$LAB_CLIENT" link add probe0 type veth peer name probe1 2>/dev/null ||
     ! ip -n "$LAB_CLIENT" link add probebr type bridge 2>/dev/null; then
    lab_cleanup
    lab_skip "veth or bridge links cannot be made here"
  fi
  ip -n "$LAB_CLIENT" link delete probe0
  ip -n "$LAB_CLIENT" link delete probebr
}

lab_segment() {
  local k=$1
  ip -n "$LAB_CLIENT" link add "br$k" type bridge &&
    ip -n "$LAB_CLIENT" addr add "10.218.$k.1/24" brd + dev "br$k" &&
    ip -n "$LAB_CLIENT" link set "br$k" up
}

lab_device() {
  local k=$1 x=$2
  DEV_NS=$LAB-d$k-$x
  DEV_ADDR=10.218.$k.$x
  lab_add_ns "$DEV_NS" &&
    ip -n "$LAB_CLIENT" link add "p$k-$x" type veth peer name eth0 netns "$DEV_NS" &&
    ip -n "$LAB_CLIENT" link set "p$k-$x" master "br$k" &&
    ip -n "$LAB_CLIENT" link set "p$k-$x" up &&
    ip -n "$DEV_NS" addr add "$DEV_ADDR/24" brd + dev eth0 &&
    ip -n "$DEV_NS" link set eth0 up
}

lab_start() {
  local ns=$1 log=$2
  shift 2
  ip netns exec "$ns" "$@" >"$log" 2>&1 </dev/null &
  LAB_PIDS+=($!)
}

lab_snmpd() {
  local ns=$1 dir=$2 oid=$3 descr=$4
  shift 4
  local snmpd
  snmpd=$(PATH=$PATH:/usr/sbin:/sbin command -v snmpd) || return 1
  mkdir -p "$dir/state"
  {
    echo "agentaddress udp:161"
    echo "rocommunity quorle 10.218.0.0/16"
    echo "sysObjectID .$oid"
    echo "sysDescr $descr"
    echo "[snmp] persistentDir $dir/state"
    local line
    for line in "$@"; do echo "$line"; done
  } >"$dir/snmpd.conf"
  lab_start "$ns" "$dir/snmpd.log" env MIBS= MIBDIRS=/nonexistent "$snmpd" -f -Lo -C \
    -c "$dir/snmpd.conf"
}

lab_wait_log() {
  local _
  for _ in $(seq 200); do
    grep -q -- "$2" "$1" 2>/dev/null && return 0
    sleep 0.05
  done
  return 1
}

in_client() {
  ip netns exec "$LAB_CLIENT" "$@"
}
