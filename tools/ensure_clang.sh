#!/usr/bin/env bash
# Makes sure clang++ can link a libFuzzer program, installing clang from Debian's
# packages when it cannot (CI machines start without it).
set -euo pipefail

probe() {
  local dir
  dir=$(mktemp -d)
  printf '%s\n' 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }' \
    >"$dir/probe.cpp"
  clang++ -fsanitize=fuzzer,address,undefined "$dir/probe.cpp" -o "$dir/probe" >/dev/null 2>&1
  local status=$?
  rm -rf "$dir"
  return $status
}

command -v clang++ >/dev/null 2>&1 && probe && exit 0

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq clang >/dev/null
probe && exit 0

# Some releases ship the sanitizer and fuzzer runtimes in a package of their own.
major=$(clang++ --version | sed -n 's/.*clang version \([0-9]*\).*/\1/p' | head -n 1)
$sudo apt-get install -y -qq "libclang-rt-${major}-dev" >/dev/null
probe
