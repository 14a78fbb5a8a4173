#!/usr/bin/env bash
# The Debian package as a user gets it: built by CPack from the build folder, unpacked into a
# scratch root (nothing on the machine changes), its programs run from there against the test's
# private PipeWire daemon, and its declared dependencies checked against what its binaries link.
# Usage: package_test.sh BUILD-FOLDER
set -euo pipefail
build=$(realpath "$1")
scratch=$(mktemp -d "${TMPDIR:-/tmp}/quillane-package.XXXXXX")
root=$scratch/root
camd=$root/usr/bin/quillane-camd
export XDG_DATA_HOME=$scratch/data XDG_STATE_HOME=$scratch/state XDG_CONFIG_HOME=$scratch/config
export XDG_RUNTIME_DIR=$scratch/run
unset QLN_SYSEXT_BUNDLE
mkdir -m 0700 "$XDG_RUNTIME_DIR"
fail() {
  echo "package test: $*" >&2
  exit 1
}
end() {
  [ ! -x "$camd" ] || "$camd" deactivate >/dev/null 2>&1 || true
  rm -rf "$scratch"
}
trap end EXIT
# Waits up to 10 s for CMD to succeed.
await() {
  for _ in $(seq 200); do "$@" && return 0; sleep 0.05; done
  return 1
}

(cd "$build" && cpack -G DEB -B "$scratch/out" >"$scratch/cpack.log" 2>&1) ||
  fail "cpack failed: $(cat "$scratch/cpack.log")"
deb=$(echo "$scratch"/out/*.deb)
dpkg-deb -x "$deb" "$root"
echo "package: $(basename "$deb"), $(stat -c %s "$deb") bytes"

# Nothing names the build folder: the programs find what they need relative to themselves.
! grep -rlF "$build" "$root" || fail "the files above name the build folder $build"

# Every library a packaged binary needs comes from a package it depends on.
declared=" $(dpkg-deb -f "$deb" Depends | sed 's/([^)]*)//g; s/|/,/g; s/[ ,]\+/ /g') "
while IFS= read -r binary; do
  for library in $(objdump -p "$binary" | awk '$1 == "NEEDED" { print $2 }'); do
    path=$(ldd "$binary" | awk -v name="$library" '$1 == name { print $3 }')
    owner=$(dpkg -S "$path" 2>/dev/null || dpkg -S "$(realpath "$path")" 2>/dev/null ||
            dpkg -S "${path#/usr}" 2>/dev/null) || fail "no package holds $path ($binary)"
    package=${owner%%:*}
    [[ $declared == *" $package "* ]] ||
      fail "$binary links $library of $package, which the package does not depend on:$declared"
  done
done < <(find "$root" -type f -perm -u+x)

status=$("$camd" status)
[ "$status" = '{"device":false,"streaming":false}' ] || fail "status before activation: $status"
activated=$("$camd" activate)
[[ $activated == *'"state":"completed"'* ]] || fail "activate: $activated"
# The camera runs the installed copy of the packaged bundle (the one bundle in each folder).
pid=$(cat "$XDG_RUNTIME_DIR"/quillane/system-extensions/*.instance.lock)
running=$(readlink "/proc/$pid/exe")
[ "$running" = "$(echo "$XDG_DATA_HOME"/quillane/system-extensions/*.systemextension)/quillane-camera-extension" ] ||
  fail "the camera runs $running, not the installed copy"
cmp -s "$running" "$(echo "$root"/usr/lib/quillane/*.systemextension)/quillane-camera-extension" ||
  fail "the installed copy is not the packaged bundle's"
await sh -c "'$camd' status | grep -q '\"device\":true'" || fail "no camera after activation"

watched=$("$root/usr/bin/quillane-view" --frames 30 --size 640x480 | tail -n 1)
[[ $watched == *'"frames":30'* ]] || fail "quillane-view: $watched"

deactivated=$("$camd" deactivate)
[[ $deactivated == *'"state":"completed"'* ]] || fail "deactivate: $deactivated"
await sh -c "! '$camd' status | grep -q '\"device\":true'" || fail "the camera stayed after deactivation"
leftovers=$(find "$XDG_DATA_HOME" "$XDG_CONFIG_HOME" -not -type d)
[ -z "$leftovers" ] || fail "left behind: $leftovers"
echo "package test: passed"
