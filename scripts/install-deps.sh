#!/usr/bin/env bash
# Installs every Debian package the project needs to build, test and run.
# Idempotent: when everything is present it does nothing; otherwise it runs
# apt-get update once and installs what is missing.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  clang libclang-rt-14-dev clang-format
  libpcre2-dev libcrypto++-dev libcurl4-openssl-dev libasio-dev
  libcpp-httplib-dev nlohmann-json3-dev libarchive-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  python3
  # The SSH log follower's client, and the real servers its and the FTP
  # follower's tests run against.
  putty-tools openssh-server openssh-client python3-pyftpdlib
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
