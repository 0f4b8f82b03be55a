#!/usr/bin/env bash
# Builds and starts the service in a demo home directory (or the one given
# with --home). Stop it with Ctrl-C.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "${JOBS:-$(nproc)}" --target kelvandrome kvtool

home=demo-home
args=("$@")
for ((i = 0; i < ${#args[@]}; i++)); do
  if [ "${args[$i]}" = "--home" ] && [ $((i + 1)) -lt ${#args[@]} ]; then home=${args[$((i + 1))]}; fi
done
mkdir -p "$home"
if [[ " ${args[*]-} " != *" --home "* ]]; then args+=(--home "$home"); fi
exec build/app/kelvandrome "${args[@]}"
