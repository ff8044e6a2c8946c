#!/usr/bin/env bash
# Installs everything needed to build, test and fuzz the suite on Debian 12.
# Safe to run again; it only installs what is missing.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git xz-utils
  clang libclang-rt-14-dev
  qt6-base-dev qt6-qpa-plugins qt6-image-formats-plugins zlib1g-dev libminizip-dev
  libisofs-dev libburn-dev
  xvfb xauth fonts-dejavu-core xorriso
  libgtest-dev libcli11-dev nlohmann-json3-dev libssl-dev
  libewf-dev libvhdi-dev libvmdk-dev libqcow-dev
)
# xorriso (above) reads back the disc images the burning tests write. These are only needed to
# rebuild the committed test images (tests/data/make_images.sh).
if [ "${WITH_IMAGE_TOOLS:-0}" = 1 ]; then
  packages+=(ntfs-3g dosfstools mtools fdisk attr imagemagick sleuthkit exfatprogs exfat-fuse)
  # The containers of tests/data/containers and the mapfile written by ddrescue.
  packages+=(qemu-utils ewf-tools gddrescue)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo_cmd apt-get update -qq
  $sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
