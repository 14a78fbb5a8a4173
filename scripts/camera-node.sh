#!/usr/bin/env bash
# Prints a property of the camera's output node, the PipeWire node that applications watch (the
# Video/Source described as "Quillane Camera", never the camera's sink), from `pw-cli ls Node` on
# the PipeWire daemon of this environment.
#
#   camera-node.sh PROPERTY     e.g. object.serial (for pw-v4l2) or node.name (for pipewiresrc)
#
# Exit 1 with a line on standard error when the camera is not there.
set -euo pipefail
(($# == 1)) || { echo "usage: camera-node.sh PROPERTY" >&2; exit 2; }

nodes=$(pw-cli ls Node 2>/dev/null) || { echo "camera-node: no PipeWire daemon answers" >&2; exit 1; }
value=$(awk -v wanted="$1" '
  function flush() {
    if (!found && description == "Quillane Camera" && class == "Video/Source" && value != "") {
      print value
      found = 1
    }
    description = class = value = ""
  }
  /^[ \t]*id [0-9]+, type / { flush(); next }
  {
    line = $0
    sub(/^[ \t*]+/, "", line)
    split(line, parts, " = ")
    gsub(/"/, "", parts[2])
    if (parts[1] == "node.description") description = parts[2]
    if (parts[1] == "media.class") class = parts[2]
    if (parts[1] == wanted) value = parts[2]
  }
  END { flush() }' <<<"$nodes")
[ -n "$value" ] || { echo "camera-node: no Quillane Camera (with $1) in PipeWire" >&2; exit 1; }
echo "$value"
