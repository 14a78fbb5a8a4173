#!/usr/bin/env bash
# Holds the camera under churn on one private PipeWire daemon and says whether anything grows:
#   1. 1000 viewer starts and stops and 100 producer runs against one extension,
#   2. 20 daemon restarts under one extension and one long `quillane-camd run`,
#   3. 20 extension kills (SIGKILL, started again) under one daemon and that same run.
# Before and after each phase it prints the open fds, memfd mappings and RSS of the extension and
# the daemon, and the daemon's PipeWire objects; at the end, the failures (exit status 1 if any).
# Usage: scripts/soak.sh [--scale F] [--build DIR]
#   --scale F  multiplies every count (at least 1 each); 0.02 is a run of about a minute.
#   --build D  a build folder holding the programs (default: build, configured and built here).
set -euo pipefail
cd "$(dirname "$0")/.."

scale=1 build=""
while (($#)); do
  case $1 in
    --scale) scale=$2; shift 2 ;;
    --build) build=$2; shift 2 ;;
    *) echo "usage: scripts/soak.sh [--scale F] [--build DIR]" >&2; exit 2 ;;
  esac
done
if [ -z "$build" ]; then
  build=build
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLANE_BENCHMARKS=OFF >/dev/null
  cmake --build "$build" -j "$(nproc)" --target quillane-camera-extension quillane-camd \
    quillane-view quillane-test-pattern
fi
readonly extension_bin=$build/extension/quillane-camera-extension camd=$build/camd/quillane-camd
readonly view=$build/tools/quillane-view pattern_bin=$build/tools/quillane-test-pattern
for program in "$extension_bin" "$camd" "$view" "$pattern_bin"; do
  [ -x "$program" ] || { echo "soak: $program is not built" >&2; exit 2; }
done

count() { awk -v n="$1" -v f="$scale" 'BEGIN { c = int(n * f + 0.5); print (c < 1 ? 1 : c) }'; }
readonly viewers=$(count 1000) producers=$(count 100) restarts=$(count 20) kills=$(count 20)

work=$(mktemp -d "${TMPDIR:-/tmp}/quillane-soak.XXXXXX")
session=$work/pw
extension="" pattern="" run=""
stop() {
  set +e
  [ -z "$pattern" ] || kill "$pattern" 2>/dev/null
  [ -z "$run" ] || wait "$run" 2>/dev/null
  [ -z "$extension" ] || { kill "$extension" 2>/dev/null; wait "$extension" 2>/dev/null; }
  scripts/pipewire-session.sh stop "$session" >/dev/null
  rm -rf "$work"
}
trap stop EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

failures=()
fail() { failures+=("$*"); echo "FAILED: $*" >&2; }

daemon_pid() { read -r pid _ <"$session/pipewire.pid" && echo "$pid"; }
start_daemon() { eval "$(scripts/pipewire-session.sh start "$session")"; }
start_extension() {
  "$extension_bin" 2>>"$work/extension.err" &
  extension=$!
}
# Waits up to $1 seconds until `quillane-camd status` sees the camera.
camera_up() {
  local deadline=$((SECONDS + $1))
  until "$camd" status 2>/dev/null | grep -q '"device":true'; do
    ((SECONDS < deadline)) || return 1
    sleep 0.05
  done
}

# One line of figures for a process: open fds, memfd mappings, resident memory.
process_figures() {
  local pid=$1
  printf '%-9s pid %-7s fds %4s  memfd maps %4s  rss %7s kB\n' "$2" "$pid" \
    "$(ls "/proc/$pid/fd" | wc -l)" "$(grep -c 'memfd:' "/proc/$pid/maps" || true)" \
    "$(awk '/^VmRSS/ { print $2 }' "/proc/$pid/status")"
}
figures() {
  echo "-- $1"
  process_figures "$extension" extension
  process_figures "$(daemon_pid)" daemon
  # pw-cli is a client too: it adds itself, the same each time.
  local objects
  objects=$(pw-cli ls 2>/dev/null | grep -E '^[[:space:]]*id [0-9]+,' | sed 's/.*type PipeWire:Interface:\([A-Za-z]*\).*/\1/' | sort | uniq -c | awk '{ printf "%s %s  ", $2, $1; total += $1 } END { printf "total %d", total }')
  echo "PipeWire objects: $objects"
}

# Frames counted by the long run's last status line (-1 before the first), and a flag of it
# ("device", "streaming").
run_frames() {
  local frames
  frames=$(tail -n 1 "$work/run.log" | sed -n 's/.*"frames":\([0-9]*\).*/\1/p')
  echo "${frames:--1}"
}
run_flag() { tail -n 1 "$work/run.log" | grep -o "\"$1\":[a-z]*" | cut -d: -f2; }
# Waits up to $3 seconds until the long run's last line says flag $1 is $2, with more than $4
# frames.
run_reports() {
  local deadline=$((SECONDS + $3))
  until [ "$(run_flag "$1")" = "$2" ] && (($(run_frames) > $4)); do
    ((SECONDS < deadline)) || return 1
    sleep 0.05
  done
}
# One viewer that must see three frames.
viewer_sees_frames() { "$view" --size 640x480 --frames 3 --wait 5 >/dev/null 2>>"$work/view.err"; }
# After the restart or kill named $1 (the long run let go of the camera): the camera is listed
# again, the run pushes again and a viewer sees frames.
comes_back() {
  local frames
  frames=$(run_frames)
  camera_up 10 || fail "$1: the camera did not come back"
  run_reports streaming true 10 $((frames + 10)) ||
    fail "$1: run did not push again ($(tail -n 1 "$work/run.log"))"
  viewer_sees_frames || fail "$1: a viewer saw no frames"
}

start_daemon
start_extension
camera_up 10 || { echo "soak: the camera did not come up" >&2; exit 1; }
echo "soak: $viewers viewers, $producers producer runs, $restarts daemon restarts, $kills extension kills"

# 1. Viewers and producers against one extension.
figures "before viewers and producers"
per_producer=$(((viewers + producers - 1) / producers))
started=0
for ((p = 1; p <= producers; ++p)); do
  "$pattern_bin" --size 320x240 --fps 30 --frames 45 | "$camd" run >"$work/producer.log" 2>&1 &
  producer=$!
  for ((v = 0; v < per_producer && started < viewers; ++v, ++started)); do
    viewer_sees_frames || fail "viewer $((started + 1)) (producer run $p)"
  done
  if ! wait "$producer"; then
    fail "producer run $p exited non-zero: $(tail -n 2 "$work/producer.log" | tr '\n' ' ')"
  elif ! tail -n 1 "$work/producer.log" | grep -q '"frames":[1-9]'; then
    fail "producer run $p pushed no frame: $(tail -n 1 "$work/producer.log")"
  fi
done
while ((started < viewers)); do
  viewer_sees_frames || fail "viewer $((started + 1))"
  ((++started))
done
figures "after viewers and producers"

# 2. and 3. under one long run of the tool.
mkfifo "$work/frames"
"$camd" run <"$work/frames" >>"$work/run.log" 2>"$work/run.err" &
run=$!
"$pattern_bin" --size 320x240 --fps 30 --frames 0 >"$work/frames" &
pattern=$!
run_reports streaming true 15 30 || fail "the long run did not push"

figures "before daemon restarts"
for ((r = 1; r <= restarts; ++r)); do
  scripts/pipewire-session.sh stop "$session" >/dev/null
  run_reports device false 2 -1 || fail "restart $r: run did not report the camera gone within 2 s"
  start_daemon
  comes_back "restart $r"
done
figures "after daemon restarts"

for ((k = 1; k <= kills; ++k)); do
  kill -KILL "$extension"
  wait "$extension" 2>/dev/null || true
  start_extension
  # The camera may be back before run's next beat: run lets go of it then, as it is another.
  run_reports streaming false 2 -1 || fail "kill $k: run did not let go of the camera within 2 s"
  comes_back "kill $k"
done
figures "after extension kills (the daemon is the one of the restarts' end)"

kill "$pattern"
pattern=""
wait "$run" || true  # its input may end inside a frame
run=""
# One for each restart and kill the run noticed; more: it let go of a camera that stayed.
echo "soak: the long run detached $(grep -c 'camera device disappeared' "$work/run.err") times" \
  "for $((restarts + kills)) restarts and kills"
echo "soak: ${#failures[@]} failures"
for each in "${failures[@]}"; do echo "  $each"; done
((${#failures[@]} == 0))
