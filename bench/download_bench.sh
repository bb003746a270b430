#!/usr/bin/env bash
# Download of a 512 MiB file from the local update server under Wine:
#   - StartToFile of the setup's HTTP client against a bare WinHTTP read loop
#     with the same chunking (target: at least 0.9 of its throughput);
#   - the same against curl fetching the URL natively;
#   - how far the process's peak memory rises during StartToFile (target:
#     under 64 MiB).
# Each is run ROUNDS times (default 3), alternating; the best of each counts.
#   bench/download_bench.sh [WIN_BUILD] [HOST_BUILD]     (SCHEME=http for plain HTTP)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
win_build="${1:-$root/build/win64}"
host_build="${2:-$root/build/host}"
rounds="${ROUNDS:-3}"
scheme="${SCHEME:-https}"
work="$root/build/bench-download"
export WINEPREFIX="${WINEPREFIX:-$root/build/wine-prefix}"
export WINEDEBUG=-all

cmake --build "$win_build" --target download_bench valdrix_trust_ca >/dev/null
cmake --build "$host_build" --target local_update_server >/dev/null
mkdir -p "$work/root/files"
"$root/scripts/make-test-certs" "$work/certs"
BUILD="$win_build" "$root/tools/prepare-wine-prefix" "$WINEPREFIX" "$work/certs/ca.der"
big="$work/root/files/big.bin"
[[ -f $big ]] || head -c $((512 << 20)) /dev/urandom >"$big"

source "$root/scripts/http-test-server"
trap 'stop_local_server; rm -f "$work/out.bin"' EXIT
tls=()
[[ $scheme == https ]] && tls=(--cert "$work/certs/server.pem" --key "$work/certs/server.key")
start_local_server "$host_build/tools/local_update_server" "$work/server.out" --root "$work/root" "${tls[@]}" \
  --ingest-dir "$work/ingest"
url="$scheme://localhost:$local_server_port/files/big.bin"
out="$work/out.bin"
windows_out="Z:$(realpath "$work" | tr / '\\')\\out.bin"

field() { sed -n "s/.*$1=\([0-9.]*\).*/\1/p"; }
best() { sort -g | head -n1; }
request_times=() bare_times=() curl_times=() ws=() pf=()
for round in $(seq "$rounds"); do
  line="$("$root/scripts/wine-run" "$win_build/bin/download_bench.exe" request "$url" "$windows_out")"
  request_times+=("$(field seconds <<<"$line")")
  ws+=("$(field working_set_growth <<<"$line")")
  pf+=("$(field pagefile_growth <<<"$line")")
  [[ "$(field bytes <<<"$line")" == $((512 << 20)) ]] || { echo "short download: $line" >&2; exit 1; }
  rm -f "$out"
  line="$("$root/scripts/wine-run" "$win_build/bin/download_bench.exe" bare "$url" "$windows_out")"
  bare_times+=("$(field seconds <<<"$line")")
  rm -f "$out"
  curl_times+=("$(curl -sS --cacert "$work/certs/ca.pem" -o "$out" -w '%{time_total}' "$url")")
  rm -f "$out"
  echo "round $round: request ${request_times[-1]} s, bare loop ${bare_times[-1]} s, curl ${curl_times[-1]} s" >&2
done
request="$(printf '%s\n' "${request_times[@]}" | best)"
bare="$(printf '%s\n' "${bare_times[@]}" | best)"
native="$(printf '%s\n' "${curl_times[@]}" | best)"
max_ws="$(printf '%s\n' "${ws[@]}" | sort -g | tail -n1)"
max_pf="$(printf '%s\n' "${pf[@]}" | sort -g | tail -n1)"
awk -v r="$request" -v b="$bare" -v c="$native" -v w="$max_ws" -v p="$max_pf" -v s="$scheme" 'BEGIN {
  printf "512 MiB over %s, best of the rounds\n", s
  printf "StartToFile / bare WinHTTP loop throughput: %.2fx (target >= 0.9)\n", b / r
  printf "StartToFile / curl (native) throughput:     %.2fx\n", c / r
  printf "bare WinHTTP loop / curl throughput:        %.2fx\n", c / b
  printf "peak memory growth during StartToFile: working set %.1f MiB, committed %.1f MiB (target < 64)\n",
    w / 1048576, p / 1048576
}'
