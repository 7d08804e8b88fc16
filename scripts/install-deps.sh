#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the fuzzers need.
# Idempotent and quiet when everything is already present.
set -euo pipefail

packages=(cmake make g++ clang clang-format libclang-rt-14-dev qt6-base-dev libssl-dev openssl libbenchmark-dev
          valgrind)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
echo "installing: ${missing[*]}" >&2
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
