#!/usr/bin/env bash
# Installs what the build needs (Debian packages) and builds the module into build/python.
# Usage: scripts/setup.sh [build-dir] [extra cmake arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."

# libpugixml-dev: the stand-in GenICam engine's XML parser. libzstd-dev: the stand-in's compression filters.
# pybind11-dev: benchmark only (the comparison module of bench/); swig: test only (a foreign module).
# aravis-tools-cli, gir1.2-aravis-0.8, python3-gi: test only (an independent GigE Vision client of the device engine).
# python3-opencv: test and benchmark only (an independent demosaicing to compare with, and its speed).
# gstreamer1.0-tools, gstreamer1.0-plugins-good, gstreamer1.0-plugins-base: test only (an independent RTP sender).
# clang, libclang-rt-14-dev: test only (the fuzz targets of tests/fuzz: libFuzzer and clang's sanitizer runtimes).
packages=(g++ cmake ninja-build python3 python3-dev python3-numpy python3-pytest libgtest-dev libpugixml-dev libzstd-dev pybind11-dev swig aravis-tools-cli gir1.2-aravis-0.8 python3-gi python3-opencv
  gstreamer1.0-tools gstreamer1.0-plugins-good gstreamer1.0-plugins-base clang libclang-rt-14-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

build_dir="${1:-build}"
shift || true
cmake -S . -B "$build_dir" -G Ninja -DPython3_EXECUTABLE=/usr/bin/python3 "$@" >/dev/null
ninja -C "$build_dir"
