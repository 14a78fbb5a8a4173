#!/usr/bin/env bash
# Runs a V4L2 program on "Quillane Camera": pw-v4l2 (Debian's pipewire-v4l2) shows PipeWire's video
# nodes to the program as /dev/video0, and PIPEWIRE_V4L2_TARGET points it at the camera's output
# node, not at the camera's sink, which it would otherwise take as well.
#
#   v4l2-camera.sh CMD...     e.g. v4l2-camera.sh ffmpeg -f v4l2 -list_formats all -i /dev/video0
#
# Needs a session manager (WirePlumber) on the daemon, which links the program to the camera.
set -euo pipefail
(($#)) || { echo "usage: v4l2-camera.sh CMD..." >&2; exit 2; }
serial=$("$(dirname "$0")/camera-node.sh" object.serial)
PIPEWIRE_V4L2_TARGET=$serial exec pw-v4l2 "$@"
