#!/usr/bin/env bash
# Runs a private PipeWire daemon (and, on request, WirePlumber, or a whole desktop session with the
# camera portal) in a private 0700 folder, so tests and scripts never touch the developer's own.
#
#   pipewire-session.sh start [--wireplumber|--portal] [--replace] DIR   start, wait, print env
#   pipewire-session.sh env [--portal] DIR                      print the environment for DIR
#   pipewire-session.sh portal DIR                              (re)start the camera portal in DIR
#   pipewire-session.sh stop DIR                                stop what start began, remove DIR
#   pipewire-session.sh run [--wireplumber|--portal] [DIR] -- CMD...   start, run CMD with the
#                                                 environment, stop on exit or signal; CMD's status
#
# The environment is printed as `export NAME=value` lines, for eval. PIPEWIRE_REMOTE is the socket's
# absolute path: a relative name would let libpipewire fall back to the system socket folder.
# PIPEWIRE_SESSION_TIMEOUT (seconds, default 10) bounds the wait for each daemon to answer.
#
# --portal is what browsers need to find cameras: a private session D-Bus, PipeWire with its portal
# module, WirePlumber with the permission store and its portal access script, the permission store
# and an Access backend that allows every request (scripts/portal-access-backend.py); `portal`
# then starts xdg-desktop-portal, which a browser asks for the camera. Start the portal after the
# camera: it tells applications whether a camera is present as it saw it at its start. The bus
# activates nothing (it has no service folder), so every process on it is one this script started
# and stops; the document portal and its FUSE mount are never started.
set -euo pipefail

readonly socket_name=pipewire-0
readonly bus_name=bus
readonly marker=.pipewire-session
readonly portal_program=/usr/libexec/xdg-desktop-portal
readonly permission_store_program=/usr/libexec/xdg-permission-store
readonly access_backend_program=$(dirname "$(realpath "$0")")/portal-access-backend.py
readonly access_backend_name=org.freedesktop.impl.portal.desktop.quillane
timeout_seconds=${PIPEWIRE_SESSION_TIMEOUT:-10}

die() { echo "pipewire-session: $*" >&2; exit 1; }

usage() {
  sed -n '5,11p' "$0" | sed 's/^# \{0,1\}//' >&2
  exit 2
}

absolute_dir() { realpath -m -- "$1"; }

print_env() {
  local dir=$1 with_portal=$2
  printf 'export PIPEWIRE_RUNTIME_DIR=%q\n' "$dir"
  printf 'export PIPEWIRE_REMOTE=%q\n' "$dir/$socket_name"
  ((!with_portal)) || printf 'export DBUS_SESSION_BUS_ADDRESS=%q\n' "$(bus_address "$dir")"
}

bus_address() { echo "unix:path=$1/$bus_name"; }

# "<pid> <start time>" of a process, or nothing when it has exited (a zombie has exited too).
process_identity() {
  local pid=$1 stat rest fields
  stat=$(cat "/proc/$pid/stat" 2>/dev/null) || return 0
  rest=${stat##*) }
  read -ra fields <<<"$rest"
  [ "${fields[0]}" != Z ] || return 0
  echo "$pid ${fields[19]}"
}

# True while the process recorded in FILE is alive and is the one we started (same start time).
recorded_alive() {
  local file=$1 pid start
  [ -f "$file" ] || return 1
  read -r pid start <"$file" || return 1
  [ "$(process_identity "$pid")" = "$pid $start" ]
}

# Stops the process group whose leader is recorded in FILE: TERM, then KILL after 5 s.
stop_recorded() {
  local file=$1 pid start deadline
  recorded_alive "$file" || { rm -f "$file"; return 0; }
  read -r pid start <"$file"
  kill -TERM -- "-$pid" 2>/dev/null || true
  deadline=$((SECONDS + 5))
  while recorded_alive "$file" && ((SECONDS < deadline)); do sleep 0.02; done
  if recorded_alive "$file"; then
    kill -KILL -- "-$pid" 2>/dev/null || true
    deadline=$((SECONDS + 2))
    while recorded_alive "$file" && ((SECONDS < deadline)); do sleep 0.02; done
    recorded_alive "$file" && die "process $pid does not stop"
  fi
  rm -f "$file"
}

stop_session() {
  local dir=$1
  [ -d "$dir" ] || return 0
  [ -f "$dir/$marker" ] || die "$dir was not made by this script; not touching it"
  local name
  for name in portal access-backend permission-store wireplumber pipewire dbus; do
    stop_recorded "$dir/$name.pid"
  done
  rm -rf -- "$dir"
}

write_pipewire_config() {
  local dir=$1 with_portal=$2 dbus=false portal=""
  if ((with_portal)); then
    dbus=true
    # Marks the portal's own connections, which hand browsers their restricted view.
    portal="{ name = libpipewire-module-portal }"
  fi
  cat >"$dir/pipewire.conf" <<EOF
# Written by pipewire-session.sh: the protocol, the factories our programs use, no devices.
context.properties = {
    core.daemon = true
    core.name = "$dir/$socket_name"
    support.dbus = $dbus
    mem.allow-mlock = false
    log.level = 2
}
context.spa-libs = {
    support.* = support/libspa-support
}
context.modules = [
    { name = libpipewire-module-protocol-native }
    { name = libpipewire-module-metadata }
    { name = libpipewire-module-spa-node-factory }
    { name = libpipewire-module-client-node }
    { name = libpipewire-module-adapter }
    { name = libpipewire-module-link-factory }
    $portal
    # Grants connecting clients their permissions; without it they wait forever.
    { name = libpipewire-module-access }
]
context.objects = [
    { factory = spa-node-factory
      args = {
          factory.name = support.node.driver
          node.name = Dummy-Driver
          node.group = pipewire.dummy
          priority.driver = 20000
      }
    }
]
EOF
}

# Only the node policy that links autoconnecting streams, no device monitors; with the portal also
# the permission store and the script that gives the portal's clients the cameras they may see.
write_wireplumber_config() {
  local dir=$1 with_portal=$2 dbus=false
  ((!with_portal)) || dbus=true
  mkdir -p "$dir/wireplumber/main.lua.d" "$dir/state"
  cat >"$dir/wireplumber/wireplumber.conf" <<EOF
# Written by pipewire-session.sh.
context.properties = {
  log.level = 2
  wireplumber.script-engine = lua-scripting
  support.dbus = $dbus
}
context.spa-libs = {
  support.* = support/libspa-support
}
context.modules = [
  { name = libpipewire-module-protocol-native }
  { name = libpipewire-module-client-node }
  { name = libpipewire-module-client-device }
  { name = libpipewire-module-adapter }
  { name = libpipewire-module-metadata }
  { name = libpipewire-module-session-manager }
]
wireplumber.components = [
  { name = libwireplumber-module-lua-scripting, type = module }
  { name = main.lua, type = config/lua }
]
EOF
  cat >"$dir/wireplumber/main.lua.d/50-node-policy.lua" <<'EOF'
-- WIREPLUMBER_CONFIG_DIR replaces the system configuration, so this file lists every component.
components = {}
local function load_module(name)
  components[name] = { "libwireplumber-module-" .. name, type = "module" }
end
local function load_script(name, args)
  components[name] = { name, type = "script/lua", args = args }
end
load_module("metadata")
load_module("si-node")
load_module("si-audio-adapter")
load_module("si-standard-link")
load_module("si-audio-endpoint")
load_module("default-nodes-api")
local policy = { ["move"] = true, ["follow"] = true }
load_script("create-item.lua", policy)
load_script("policy-node.lua", policy)
EOF
  ((with_portal)) || return 0
  cat >>"$dir/wireplumber/main.lua.d/50-node-policy.lua" <<'EOF'
load_module("portal-permissionstore")
load_script("access/access-portal.lua")
EOF
}

# A session bus of our own: no service folder, so nothing is activated behind our back.
write_dbus_config() {
  local dir=$1
  cat >"$dir/dbus.conf" <<EOF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>$(bus_address "$dir")</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
EOF
}

# The Access backend for the portal, found by the portal in its own folder of portal files.
write_portal_config() {
  local dir=$1
  mkdir -p "$dir/portals"
  cat >"$dir/portals/quillane.portal" <<EOF
[portal]
DBusName=$access_backend_name
Interfaces=org.freedesktop.impl.portal.Access;
UseIn=
EOF
}

# Starts CMD in its own process group with only the private environment; records "<pid> <start>".
spawn() {
  local dir=$1 name=$2
  shift 2
  local debug=()
  [ -z "${PIPEWIRE_DEBUG:-}" ] || debug+=(PIPEWIRE_DEBUG="$PIPEWIRE_DEBUG")
  [ -z "${WIREPLUMBER_DEBUG:-}" ] || debug+=(WIREPLUMBER_DEBUG="$WIREPLUMBER_DEBUG")
  env -i PATH="$PATH" HOME="$dir" LANG=C.UTF-8 "${debug[@]}" \
    XDG_RUNTIME_DIR="$dir" XDG_CONFIG_HOME="$dir/config" XDG_STATE_HOME="$dir/state" \
    XDG_DATA_HOME="$dir/data" DBUS_SESSION_BUS_ADDRESS="$(bus_address "$dir")" \
    PIPEWIRE_RUNTIME_DIR="$dir" PIPEWIRE_REMOTE="$dir/$socket_name" \
    WIREPLUMBER_CONFIG_DIR="$dir/wireplumber" \
    setsid "$@" </dev/null >"$dir/$name.log" 2>&1 &
  local pid=$! identity=""
  # setsid execs in place (this shell's children are not group leaders), so pid is the daemon.
  identity=$(process_identity "$pid")
  [ -n "$identity" ] || fail_start "$dir" "$name exited at once" "$dir/$name.log"
  echo "$identity" >"$dir/$name.pid"
}

fail_start() {
  local dir=$1 message=$2 log=${3:-}
  echo "pipewire-session: $message" >&2
  [ -z "$log" ] || [ ! -f "$log" ] || tail -n 20 "$log" >&2
  stop_session "$dir"
  exit 1
}

# Waits until CHECK DIR [ARGS...] succeeds, while the daemon recorded in DIR/NAME.pid stays alive.
wait_until() {
  local dir=$1 name=$2 check=$3
  shift 3
  local deadline=$((SECONDS + timeout_seconds))
  until "$check" "$dir" "$@"; do
    recorded_alive "$dir/$name.pid" || fail_start "$dir" "$name exited while starting" "$dir/$name.log"
    ((SECONDS < deadline)) || fail_start "$dir" "$name did not answer within ${timeout_seconds}s" "$dir/$name.log"
    sleep 0.01
  done
}

client() {
  local dir=$1
  shift
  env -i PATH="$PATH" HOME="$dir" PIPEWIRE_RUNTIME_DIR="$dir" PIPEWIRE_REMOTE="$dir/$socket_name" "$@"
}

pipewire_answers() {
  [ -S "$1/$socket_name" ] && client "$1" pw-cli info 0 >/dev/null 2>&1
}

# WirePlumber creates the "default" metadata once its modules are loaded.
wireplumber_answers() {
  client "$1" pw-cli ls Metadata 2>/dev/null | grep -q 'metadata.name = "default"'
}

bus_call() {
  local dir=$1
  shift
  client "$dir" dbus-send --bus="$(bus_address "$dir")" --print-reply --reply-timeout=2000 \
    --dest=org.freedesktop.DBus /org/freedesktop/DBus "$@"
}

bus_answers() { [ -S "$1/$bus_name" ] && bus_call "$1" org.freedesktop.DBus.GetId >/dev/null 2>&1; }

name_owned() {
  bus_call "$1" org.freedesktop.DBus.NameHasOwner "string:$2" 2>/dev/null | grep -q 'boolean true'
}

# Starts the bus and the permission store, which WirePlumber's portal module asks.
start_bus() {
  local dir=$1
  write_dbus_config "$dir"
  spawn "$dir" dbus dbus-daemon --nofork --nopidfile --config-file="$dir/dbus.conf"
  wait_until "$dir" dbus bus_answers
  spawn "$dir" permission-store "$permission_store_program"
  wait_until "$dir" permission-store name_owned org.freedesktop.impl.portal.PermissionStore
}

start_access_backend() {
  local dir=$1
  write_portal_config "$dir"
  spawn "$dir" access-backend /usr/bin/python3 "$access_backend_program"
  wait_until "$dir" access-backend name_owned "$access_backend_name"
}

# Starts xdg-desktop-portal, replacing one this session runs; it reads only our portal files. GIO
# gets local files and settings in memory, so it starts no helper of its own.
start_portal() {
  local dir=$1
  [ -f "$dir/$marker" ] && recorded_alive "$dir/access-backend.pid" ||
    die "$dir is no running session started with --portal"
  stop_recorded "$dir/portal.pid"
  trap 'fail_start "$dir" "interrupted"' INT TERM HUP
  spawn "$dir" portal env XDG_DESKTOP_PORTAL_DIR="$dir/portals" GIO_USE_VFS=local \
    GSETTINGS_BACKEND=memory "$portal_program"
  wait_until "$dir" portal name_owned org.freedesktop.portal.Desktop
  trap - INT TERM HUP
}

session_alive() {
  local dir=$1 name
  for name in pipewire wireplumber dbus permission-store access-backend portal; do
    recorded_alive "$dir/$name.pid" && return 0
  done
  return 1
}

start_session() {
  local dir=$1 with_wireplumber=$2 with_portal=$3 replace=$4
  if [ -e "$dir" ]; then
    if [ -f "$dir/$marker" ]; then
      if session_alive "$dir"; then
        ((replace)) || die "a session is already running in $dir (stop it, or start --replace)"
      fi
      stop_session "$dir"
    elif [ -n "$(ls -A -- "$dir")" ]; then
      die "$dir exists and is not empty"
    fi
  fi
  local socket="$dir/$socket_name"
  ((${#socket} < 108)) || die "socket path too long for a unix socket: $socket"
  (umask 077 && mkdir -p -- "$dir")
  chmod 0700 -- "$dir"
  : >"$dir/$marker"
  trap 'fail_start "$dir" "interrupted"' INT TERM HUP
  ((!with_portal)) || start_bus "$dir"
  write_pipewire_config "$dir" "$with_portal"
  spawn "$dir" pipewire pipewire -c "$dir/pipewire.conf"
  wait_until "$dir" pipewire pipewire_answers
  if ((with_wireplumber || with_portal)); then
    write_wireplumber_config "$dir" "$with_portal"
    spawn "$dir" wireplumber wireplumber
    wait_until "$dir" wireplumber wireplumber_answers
  fi
  ((!with_portal)) || start_access_backend "$dir"
  trap - INT TERM HUP
}

cmd_pid=""
run_dir=""
on_run_signal() {
  local signal=$1 number=$2 deadline
  trap '' INT TERM HUP
  if [ -n "$cmd_pid" ]; then
    kill -TERM "$cmd_pid" 2>/dev/null || true
    deadline=$((SECONDS + 5))
    while kill -0 "$cmd_pid" 2>/dev/null && ((SECONDS < deadline)); do sleep 0.02; done
    kill -KILL "$cmd_pid" 2>/dev/null || true
  fi
  echo "pipewire-session: $signal, stopping" >&2
  exit $((128 + number))
}

run_session() {
  local dir=$1 with_wireplumber=$2 with_portal=$3
  shift 3
  start_session "$dir" "$with_wireplumber" "$with_portal" 0
  run_dir=$dir
  trap 'stop_session "$run_dir"' EXIT
  trap 'on_run_signal INT 2' INT
  trap 'on_run_signal TERM 15' TERM
  trap 'on_run_signal HUP 1' HUP
  ((!with_portal)) || start_portal "$dir"
  (eval "$(print_env "$dir" "$with_portal")" && exec "$@") &
  cmd_pid=$!
  local status=0
  wait "$cmd_pid" || status=$?
  cmd_pid=""
  return "$status"
}

main() {
  (($#)) || usage
  local command=$1
  shift
  local with_wireplumber=0 with_portal=0 replace=0 dir=""
  while (($#)); do
    case $1 in
      --wireplumber) with_wireplumber=1 ;;
      --portal) with_portal=1 ;;
      --replace) replace=1 ;;
      --) break ;;
      -*) usage ;;
      *) [ -z "$dir" ] || usage; dir=$(absolute_dir "$1") ;;
    esac
    shift
  done
  case $command in
    start)
      if [ -z "$dir" ] || (($#)); then usage; fi
      start_session "$dir" "$with_wireplumber" "$with_portal" "$replace"
      print_env "$dir" "$with_portal"
      ;;
    env)
      if [ -z "$dir" ] || (($#)); then usage; fi
      print_env "$dir" "$with_portal"
      ;;
    portal)
      if [ -z "$dir" ] || (($#)); then usage; fi
      start_portal "$dir"
      ;;
    stop)
      if [ -z "$dir" ] || (($#)); then usage; fi
      stop_session "$dir"
      ;;
    run)
      if [ "${1:-}" != -- ] || (($# < 2)); then usage; fi
      shift
      [ -n "$dir" ] || dir=$(mktemp -d "${TMPDIR:-/tmp}/pipewire-session.XXXXXX")
      run_session "$dir" "$with_wireplumber" "$with_portal" "$@"
      ;;
    *) usage ;;
  esac
}

main "$@"
