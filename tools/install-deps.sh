#!/usr/bin/env bash
# Installs the Debian packages the build and both test tiers need; installs nothing
# when everything is already present.
set -euo pipefail

packages=(
  cmake ninja-build g++ g++-multilib make
  libgtest-dev libgmock-dev libbenchmark-dev googletest
  mingw-w64
  clang libclang-rt-14-dev
  wine wine32:i386 wine64
  xvfb xauth x11-apps imagemagick
  osslsigncode openssl
)

installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q '^install ok installed$'
}

missing=()
for p in "${packages[@]}"; do
  installed "$p" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $sudo dpkg --add-architecture i386
fi
echo "installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
