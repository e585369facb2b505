#!/usr/bin/env bash
# Installs everything the build and the tests need on a fresh Debian 12 machine; with the argument
# "bench", also what `make bench` needs.
# Idempotent: packages already present are left alone, so repeated runs are quick.
set -euo pipefail

# The fuzz targets need clang with libFuzzer and the sanitizer runtimes (libclang-rt-14-dev, which
# clang only recommends, so --no-install-recommends would leave it out) and, for readable
# reports, llvm-symbolizer (llvm).
host_packages=(
  cmake ninja-build g++ make pkg-config git
  libboost-dev libboost-system-dev libfmt-dev librapidxml-dev
  googletest libgtest-dev libssl-dev
  crossbuild-essential-armhf qemu-user
  locales clang-format file
  clang libclang-rt-14-dev llvm gdb
)
armhf_packages=(libfmt-dev:armhf libssl-dev:armhf)
# korva-bench's yardstick (ZeroMQ), the microbenchmarks' library and gnuplot for the plot (the
# headless build, whose pngcairo terminal needs no display): the bench build only.
bench_packages=()
if [ "${1:-}" = bench ]; then bench_packages=(libzmq3-dev libbenchmark-dev gnuplot-nox); fi

sudo_if_needed() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

missing() {
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed$' || echo "$p"
  done
}

# The target's libraries (fmt, and OpenSSL for the test oracle) come from Debian's armhf archive.
if ! dpkg --print-foreign-architectures | grep -qx armhf; then
  sudo_if_needed dpkg --add-architecture armhf
  need_update=1
fi

todo=$(missing "${host_packages[@]}" "${armhf_packages[@]}" ${bench_packages[@]+"${bench_packages[@]}"})
if [ -n "$todo" ]; then
  export DEBIAN_FRONTEND=noninteractive
  sudo_if_needed apt-get update -qq
  # shellcheck disable=SC2086
  sudo_if_needed apt-get install -y -qq --no-install-recommends $todo
elif [ -n "${need_update:-}" ]; then
  sudo_if_needed apt-get update -qq
fi

# Digit grouping in log lines is tested under en_US.UTF-8.
if ! locale -a 2>/dev/null | grep -qiE '^en_US\.utf-?8$'; then
  sudo_if_needed sed -i 's/^# *\(en_US.UTF-8 UTF-8\)/\1/' /etc/locale.gen
  sudo_if_needed locale-gen >/dev/null
fi
