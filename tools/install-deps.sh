#!/usr/bin/env bash
# Installs the Debian packages the build and both test tiers need; installs nothing
# when everything is already present. On a kernel that runs no 32-bit x86 code
# it also sets up qemu's user-mode emulation for i386 programs.
set -euo pipefail

packages=(
  cmake ninja-build g++ g++-multilib make
  libgtest-dev libgmock-dev libbenchmark-dev googletest
  mingw-w64
  clang libclang-rt-14-dev
  wine wine32:i386 wine64
  # Only suggested by wine32. Without it every 32-bit Wine process first
  # reserves its address space by probing with mmap, which takes about a
  # minute of processor time each under qemu-i386.
  wine32-preloader:i386
  xvfb xauth x11-apps imagemagick
  osslsigncode openssl
)

installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q '^install ok installed$'
}

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
updated=0
install() {
  [ $# -gt 0 ] || return 0
  echo "installing: $*"
  if [ $updated = 0 ]; then
    $sudo apt-get update -qq
    updated=1
  fi
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "$@"
}

missing=()
for p in "${packages[@]}"; do
  installed "$p" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $sudo dpkg --add-architecture i386
  fi
  install "${missing[@]}"
fi

# Wine's loader for the 32-bit prefix and the host32 tests are i386 programs.
# Some x86-64 kernels start none (IA-32 emulation switched off: execve fails
# with ENOEXEC); there qemu runs them, registered as the binfmt_misc handler
# of i386 executables ("F": the interpreter is opened now, so it works in
# every mount namespace).
i386_runs() { /usr/lib/wine/wine --version > /dev/null 2>&1; }
if ! i386_runs; then
  echo "this kernel runs no 32-bit x86 programs: running them under qemu-i386"
  installed qemu-user-static || install qemu-user-static
  binfmt=/proc/sys/fs/binfmt_misc
  [ -e $binfmt/register ] || $sudo mount -t binfmt_misc binfmt_misc $binfmt
  if [ ! -e $binfmt/qemu-i386 ]; then
    magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
    mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
    echo ":qemu-i386:M::$magic:$mask:/usr/bin/qemu-i386-static:F" | $sudo tee $binfmt/register > /dev/null
  fi
  i386_runs || { echo "32-bit x86 programs still do not run" >&2; exit 1; }
fi
