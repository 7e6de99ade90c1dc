#!/bin/sh
# Wall-clock time and peak memory of command-line modes of the built executable (file store in a
# private temporary home). Usage: cli_startup.sh <executable> [runs]
# run-all: {agent}
set -eu
exe=$1
runs=${2:-20}
home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
export HOME="$home" XDG_DATA_HOME="$home/data" VELTRO_KEYCHAIN=file
grant='{"accessToken":"bg1.bench","refreshToken":"sg1.AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA","expiresAt":1}'
printf '%s' "$grant" | "$exe" --broker-grant-create-stdin
measure() {
    label=$1; shift
    start=$(date +%s%N)
    i=0
    while [ "$i" -lt "$runs" ]; do "$@" >/dev/null 2>&1 </dev/null || true; i=$((i + 1)); done
    end=$(date +%s%N)
    rss=$(/usr/bin/time -f %M "$@" 2>&1 >/dev/null </dev/null | tail -1)
    echo "$label: $(( (end - start) / runs / 1000 )) us per run, peak RSS ${rss} KiB"
    echo "BENCH cli.${label#--}.start_to_exit $(( (end - start) / runs / 1000 )) us ref=true"
    echo "BENCH cli.${label#--}.rss_peak $(( rss / 1024 )) MB"
}
measure "--desktop-bridge-version" "$exe" --desktop-bridge-version
measure "--broker-grant-read" "$exe" --broker-grant-read
measure "--desktop-control-status" "$exe" --desktop-control-status
measure "--zta-sign-challenge" "$exe" --zta-sign-challenge nonce
measure "--zta-enrollment-payload" "$exe" --zta-enrollment-payload
