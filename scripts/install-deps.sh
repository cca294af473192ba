#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks for building and testing every build: as root directly, as any
# other user through sudo. With --bench, also what the benchmarks alone need.
set -euo pipefail

packages=(
  cmake make g++ libgtest-dev libbenchmark-dev  # the native builds
  clang libclang-rt-dev llvm                    # the clang build: sanitizer and libFuzzer runtimes, symbolizer
  g++-mingw-w64-x86-64-posix wine wine64        # the Windows build and its test runs
)
# --bench: also what only the benchmarks use (spdlog, the logger's yardstick; the programs never link it).
if [ "${1:-}" = "--bench" ]; then packages+=(libspdlog-dev); fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
as_root=()
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "not root and no sudo: install ${missing[*]} by hand" >&2; exit 1; }
  as_root=(sudo)
fi
"${as_root[@]}" apt-get update -qq
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
