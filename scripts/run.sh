#!/usr/bin/env bash
# Builds and starts the service. Stop it with Ctrl-C.
#
#   scripts/run.sh               demo: a simulated game server (mohsim) with a lively
#                                match on 127.0.0.1, and kelvandrome in demo-home/
#                                configured against it
#   scripts/run.sh --home DIR    kelvandrome in DIR with the settings found there; when DIR
#                                has no game server configured, the same demo against it
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "${JOBS:-$(nproc)}" --target kelvandrome kvtool mohsim

home=demo-home
args=("$@")
for ((i = 0; i < ${#args[@]}; i++)); do
  if [ "${args[$i]}" = "--home" ] && [ $((i + 1)) -lt ${#args[@]} ]; then home=${args[$((i + 1))]}; fi
done
mkdir -p "$home"
home=$(cd "$home" && pwd)
if [[ " ${args[*]-} " != *" --home "* ]]; then args+=(--home "$home"); fi

ini="$home/kelvandrome.ini"
configured=""
# The demo notes the server settings it wrote: settings that still match
# them are the demo's own from an earlier run, not a real server's.
demo_marker="$home/.demo-server"
server_lines() { sed 's/\r$//' "$ini" | grep -iE '^(RCONHost|RCONPORT|RCONPASSWORD)=' | sort; }
if [ -f "$ini" ] && grep -qiE '^RCONHost=.+' "$ini"; then
  configured=yes
  if [ -f "$demo_marker" ] && [ "$(server_lines)" = "$(cat "$demo_marker")" ]; then configured=""; fi
fi

sim_pid=""
cleanup() { if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; fi; }
trap cleanup EXIT

if [ -z "$configured" ]; then
  port=${MOHSIM_PORT:-12203}
  password=${MOHSIM_RCON_PASSWORD:-demo-$RANDOM$RANDOM}
  log="$home/qconsole.log"
  : > "$log"
  enc() { build/tools/kvtool cipher encipher-text --purpose settings "$1"; }
  # Settings of the demo: the simulated server, its log, every journal on.
  {
    echo "[Global]"
    echo "RCONHost=$(enc 127.0.0.1)"
    echo "RCONPORT=$port"
    echo "RCONPASSWORD=$(enc "$password")"
    echo "UseDirect=1"
    echo "UseSSH=0"
    echo "UseFTP=0"
    echo "UseNoLog=0"
    echo "LocalLogFile=$log"
    echo "StartOnStartup=1"
    echo "UserRefrestTimer=3"
    for key in LogGlobalMessages LogChat LogKicks LogKills LogNewUser LogUserBack LogWenfOffline \
               LogNickChange LogGlobalMapChange LogMessagesSendToServer LogAllOtherEvents LogRcon; do
      echo "$key=1"
    done
  } > "$ini.demo"
  # Keep what the operator already set in the demo home; add what is missing.
  # Weapon expressions this script once wrote itself are dropped, so that the
  # service's defaults (the game's own phrases) take their place.
  old_weapons=(
    "WeaponRegExprRifle=was rifled by" "WeaponRegExprSniper=was sniped by"
    "WeaponRegExprSub Machinegun=was gunned down by" "WeaponRegExprMachine Gun=was machine-gunned by"
    "WeaponRegExprRocket=rocket" "WeaponRegExprShotgun=buckshot" "WeaponRegExprGrenade=grenade"
    "WeaponRegExprPistol=shot in the back|was shot by"
  )
  if [ -f "$ini" ]; then
    sed 's/\r$//' "$ini" | grep -viE '^(RCONHost|RCONPORT|RCONPASSWORD|LocalLogFile)=' | grep -v '^\[Global\]' \
      | grep -vxF -f <(printf '%s\n' "${old_weapons[@]}") >> "$ini.demo" || true
  fi
  mv "$ini.demo" "$ini"
  server_lines > "$demo_marker"
  echo "demo: mohsim on 127.0.0.1:$port writing $log; journals in $home/Logs"
  MOHSIM_RCON_PASSWORD="$password" build/tools/mohsim --port "$port" --log "$log" --random 12 --step 700 --rate-limit \
    > "$home/mohsim.out" 2>&1 &
  sim_pid=$!
fi

build/app/kelvandrome "${args[@]}"
