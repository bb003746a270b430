#!/usr/bin/env bash
# The local update server as the suites use it: files and crash reports on
# one port, and one log line per request, in the order they were answered.
#   tests/tools/local_server_test.sh SERVER_BINARY
set -euo pipefail
server="${1:?usage: local_server_test.sh SERVER_BINARY}"
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/http-test-server"
work="$(mktemp -d)"
trap 'stop_local_server; rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

mkdir -p "$work/root/files" "$work/root/ingest"
printf 'product' >"$work/root/files/a.bin"
printf 'not the ingest list' >"$work/root/ingest/envelopes"
start_local_server "$server" "$work/server.out" --root "$work/root" --log "$work/requests.log" \
  --ingest-dir "$work/received" || fail "server did not start"
base="http://127.0.0.1:$local_server_port"

[[ "$(curl -sS "$base/files/a.bin")" == product ]] || fail "file not served"
[[ "$(curl -sS -o /dev/null -w '%{http_code}' "$base/files/missing.bin")" == 404 ]] || fail "missing file not 404"
envelope='{"event_id":"0123456789abcdef0123456789abcdef"}
{"type":"event","length":2}
{}'
auth='Sentry sentry_version=7, sentry_key=0123456789abcdef0123456789abcdef'
answer="$(curl -sS -H "X-Sentry-Auth: $auth" --data-binary "$envelope" "$base/api/42/envelope/")"
[[ $answer == *0123456789abcdef0123456789abcdef* ]] || fail "envelope not taken: $answer"
[[ "$(curl -sS -o /dev/null -w '%{http_code}' -H "X-Sentry-Auth: sentry_version=7, sentry_key=other" \
  --data-binary "$envelope" "$base/api/42/envelope/")" == 401 ]] || fail "wrong key accepted"
# The ingest list comes before the update routes' catch-all of every GET.
list="$(curl -sS "$base/ingest/envelopes")"
[[ $list == '['*'"event_id":"0123456789abcdef0123456789abcdef"'* ]] || fail "ingest list shadowed: $list"

expected='GET /files/a.bin 200
GET /files/missing.bin 404
POST /api/42/envelope/ 200
POST /api/42/envelope/ 401
GET /ingest/envelopes 200'
[[ "$(cat "$work/requests.log")" == "$expected" ]] || fail "request log:
$(cat "$work/requests.log")"

"$server" --port 1 >/dev/null 2>"$work/err" && fail "started without --root"
grep -q -- "--root is required" "$work/err" || fail "no clear error: $(cat "$work/err")"
"$server" --help | grep -q -- "--ingest-dir" || fail "no help"
echo "local server: all checks passed"
