#!/usr/bin/env bash
# Installs every Debian package the project needs. Safe to run repeatedly:
# packages already present are left alone and apt is only called when
# something is missing.
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  libpcl-dev liboctomap-dev libopencv-dev libyaml-cpp-dev
  libgoogle-glog-dev nlohmann-json3-dev libeigen3-dev
  libboost-filesystem-dev libgtest-dev pcl-tools
  libpugixml-dev robin-map-dev
  clang libclang-rt-dev
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  SUDO="sudo"
fi
echo "Installing: ${missing[*]}"
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
