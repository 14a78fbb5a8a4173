#!/usr/bin/env bash
# The main job: sets up, builds, brings the camera up and shows it working. Uses the session's
# PipeWire when one answers, else a private desktop session with WirePlumber (so that GStreamer's
# pipewiresrc links by itself) and the camera portal (so that browsers find the camera). Takes a
# picture of the placeholder at each offered size with quillane-view, pushes the time-stamped test
# pattern through `quillane-camd run` for 5 s while the viewer writes pictures and its figures,
# takes one frame with gst-launch-1.0, and shows the pattern in headless Chromium. Everything it
# started is stopped on the way out, also after a failure or Ctrl-C. Pictures go to out/.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLANE_BENCHMARKS=OFF >/dev/null
cmake --build build -j "$(nproc)" --target quillane-camera-extension \
  quillane-camera-extension-bundle quillane-camd quillane-view quillane-test-pattern \
  quillane-browser-view

readonly camd=build/camd/quillane-camd view=build/tools/quillane-view
readonly browser_view=build/tools/quillane-browser-view
readonly sizes=(1920x1080 1280x720 640x480)
work=$(mktemp -d "${TMPDIR:-/tmp}/quillane-demo.XXXXXX")
rm -rf out
mkdir -p out

# What was started, stopped in reverse order on the way out.
daemon="" camera="" pattern="" run=""
stop() {
  set +e
  [ -z "$pattern" ] || kill "$pattern" 2>/dev/null
  [ -z "$run" ] || wait "$run" 2>/dev/null
  case $camera in
    activated) env "${sysext_env[@]}" "$camd" deactivate >/dev/null ;;
    "") ;;
    *) kill "$camera" 2>/dev/null; wait "$camera" 2>/dev/null ;;
  esac
  [ -z "$daemon" ] || scripts/pipewire-session.sh stop "$daemon"
  rm -rf "$work"
}
trap stop EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

if pw-cli info 0 >/dev/null 2>&1; then
  echo "== using this session's PipeWire"
else
  echo "== starting a private desktop session: PipeWire, WirePlumber and the camera portal"
  daemon=$work/pipewire
  eval "$(scripts/pipewire-session.sh start --portal "$daemon")"
fi

# A camera that is up already is used as it is. Otherwise the activated extension keeps its
# installed copy, log and locks in the demo's own folder, so an extension the user activated is
# left alone; it still finds the daemon used here.
sysext_env=(XDG_DATA_HOME="$work/data" XDG_STATE_HOME="$work/state" XDG_RUNTIME_DIR="$work/run"
            PIPEWIRE_RUNTIME_DIR="${PIPEWIRE_RUNTIME_DIR:-${XDG_RUNTIME_DIR:-/run/user/$(id -u)}}")
if "$camd" status | grep -q '"device":true'; then
  echo "== using the camera that is already up"
elif env "${sysext_env[@]}" "$camd" activate | tee "$work/activate.json" | grep -q '"ok":true'; then
  camera=activated
  echo "== camera activated through quillane-camd activate"
else
  build/extension/quillane-camera-extension &
  camera=$!
  echo "== camera extension started directly (activation: $(cat "$work/activate.json"))"
fi
# The portal tells browsers about the cameras present when it starts: start it after the camera.
[ -z "$daemon" ] || scripts/pipewire-session.sh portal "$daemon"

echo "== the placeholder at each offered size"
for size in "${sizes[@]}"; do
  "$view" --size "$size" --frames 1 --png "$work/placeholder" >/dev/null
  mv "$work/placeholder/frame-000001.png" "out/placeholder-$size.png"
done

echo "== the stamped test pattern through quillane-camd run, watched for 5 s at 1920x1080"
mkfifo "$work/frames"
build/tools/quillane-test-pattern --stamp --size 1280x720 --fps 30 >"$work/frames" &
pattern=$!
"$camd" run <"$work/frames" >out/run.log 2>&1 &
run=$!
until grep -qs '"frames":[1-9]' out/run.log; do
  kill -0 "$run" 2>/dev/null || { echo "quillane-camd run ended early:" >&2; cat out/run.log >&2; exit 1; }
  sleep 0.05
done
"$view" --size 1920x1080 --seconds 5 --png out/pattern --every 30 | tee out/view.log

echo "== one frame through GStreamer's pipewiresrc"
node=$(scripts/camera-node.sh node.name)
timeout 20 gst-launch-1.0 -q pipewiresrc target-object="$node" num-buffers=1 \
  ! video/x-raw,format=BGRA ! videoconvert ! pngenc ! filesink location=out/gstreamer.png

echo "== the pattern in headless Chromium, through the camera portal"
if "$browser_view" --size 1280x720 --png "$work/browser" | tee out/browser.log; then
  mv "$work/browser/1280x720.png" out/browser.png
elif [ -n "$daemon" ]; then
  exit 1
else
  echo "== no browser picture: browsers find cameras through the desktop's camera portal (README)"
fi

kill "$pattern"
pattern=""
wait "$run" || true
run=""
echo "== quillane-camd run's last line: $(tail -n 1 out/run.log)"
echo
echo "Pictures: $PWD/out (placeholder-<size>.png, pattern/frame-*.png, gstreamer.png, browser.png)"
echo "Viewer: $(tail -n 1 out/view.log)"
echo "Browser: $(tail -n 1 out/browser.log)"
