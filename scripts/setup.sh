#!/usr/bin/env bash
# Installs what the build needs from Debian's packages, only what is missing, so a second run
# takes seconds.
set -euo pipefail

packages=(cmake g++ clang-14 libclang-rt-14-dev llvm-14 pkg-config libgtest-dev libgmock-dev
          libbenchmark-dev libyuv-dev libpng-dev libcairo2-dev fonts-urw-base35 fontconfig
          nlohmann-json3-dev
          pipewire pipewire-bin libpipewire-0.3-dev libspa-0.2-dev wireplumber
          gstreamer1.0-pipewire gstreamer1.0-tools gstreamer1.0-plugins-base
          gstreamer1.0-plugins-good
          # Applications we did not write, and the desktop session with the camera portal that
          # browsers need: a session bus, the portal, our Access backend's Python and GLib.
          chromium firefox-esr pipewire-v4l2 ffmpeg libcpp-httplib-dev
          dbus-daemon dbus-bin xdg-desktop-portal python3-gi
          # The Debian package's test: dpkg-shlibdeps finds its dependencies, file its binaries.
          dpkg-dev file)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
