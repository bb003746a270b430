#!/usr/bin/env bash
# End to end under Wine: a program linking the reporting layer reports to a
# loopback ingest endpoint; with the endpoint down its envelope waits on disk
# for the next start; a real crash leaves a minidump that the next start
# delivers. The setup's own reports (kept on disk while the endpoint is
# down, sent by the next start) are checked by the end-to-end scenarios.
#   tests/e2e/reporting.sh [win build] [host build]
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
win_build="${1:-$root/build/win64}"
host_build="${2:-$root/build/host}"
fixture="$win_build/bin/report_fixture.exe"
ingest="$host_build/tools/ingest_server"
port="${INGEST_PORT:-$((20000 + RANDOM % 20000))}"
key=0123456789abcdef0123456789abcdef
dsn="http://$key@localhost:$port/42"

work="$(mktemp -d)"
server_pid=""
stop_server() { if [[ -n $server_pid ]]; then kill "$server_pid" 2>/dev/null || true; wait "$server_pid" 2>/dev/null || true; server_pid=""; fi; }
trap 'stop_server; rm -rf "$work"' EXIT
start_server() {
  "$ingest" "$port" "$work/received" >"$work/server.log" 2>&1 &
  server_pid=$!
  for _ in $(seq 50); do curl -s "http://127.0.0.1:$port/ingest/envelopes" >/dev/null && return; sleep 0.1; done
  echo "ingest server did not start" >&2; exit 1
}
database="$work/db"
windows_database="Z:${database//\//\\}"
run_fixture() { "$root/scripts/wine-run" "$fixture" "$dsn" "$windows_database" "$1"; }
received() { curl -s "http://127.0.0.1:$port/ingest/envelopes"; }
clear_received() { curl -s -X DELETE "http://127.0.0.1:$port/ingest/envelopes" >/dev/null; }
failures=0
check() {  # check <name> <python expression over `envelopes` and `files`>
  if python3 - "$1" "$2" "$(received)" "$database" <<'PY'
import json, os, sys
name, expression, text, database = sys.argv[1:5]
envelopes = json.loads(text) if text else None  # None: the service is down
files = sorted(os.listdir(database)) if os.path.isdir(database) else []
def event(e): return next(i["payload"] for i in e["items"] if i["header"]["type"] == "event")
def crumbs(e): return [c["message"] for c in event(e)["breadcrumbs"]["values"]]
ok = eval("(" + expression + ")")
print(("PASS " if ok else "FAIL ") + name)
if not ok: print(json.dumps(envelopes, indent=1)[:3000], files)
sys.exit(0 if ok else 1)
PY
  then :; else failures=$((failures + 1)); fi
  # Beside our own checks: the reporting service's own parser over every
  # envelope received so far (the system Python has python3-sentry-sdk).
  if [[ -n $server_pid ]]; then
    local problems
    if ! problems="$(received | /usr/bin/python3 "$root/tests/e2e/envelope_check.py" - "$work/received")"; then
      echo "FAIL $1: the official parser disagrees"; echo "$problems"; failures=$((failures + 1))
    fi
  fi
}

start_server
set +e
run_fixture capture; code=$?
set -e
check "a caught error reaches the service once, with its trail and user" \
  "$code == 0 and len(envelopes) == 1 and event(envelopes[0])['exception']['values'][0]['value'] == 'Fixture failure'
   and crumbs(envelopes[0]) == ['Start install'] and event(envelopes[0])['user']['id'] == 'fixture-device'
   and not [f for f in files if f.endswith('.envelope')]"

clear_received
stop_server
set +e
run_fixture capture; code=$?
set -e
check "with the service down the envelope stays on disk" \
  "$code == 3 and len([f for f in files if f.endswith('.envelope')]) == 1"
start_server
run_fixture start
check "the next start delivers it" \
  "len(envelopes) == 1 and event(envelopes[0])['exception']['values'][0]['value'] == 'Fixture failure'
   and not [f for f in files if f.endswith('.envelope')]"

clear_received
set +e
run_fixture crash; code=$?
set -e
check "a crash leaves a minidump and its event" \
  "$code != 0 and any(f.startswith('crash-C0000005-') and f.endswith('.dmp') for f in files)
   and any(f.startswith('crash-C0000005-') and f.endswith('.json') for f in files) and envelopes == []"
run_fixture start
check "the next start sends the crash with its minidump" \
  "len(envelopes) == 1 and event(envelopes[0])['level'] == 'fatal'
   and event(envelopes[0])['exception']['values'][0]['type'] == 'EXCEPTION_ACCESS_VIOLATION'
   and crumbs(envelopes[0])[-1] == 'Status: About to crash..'
   and [i['header']['attachment_type'] for i in envelopes[0]['items'][1:]] == ['event.minidump']
   and envelopes[0]['items'][1]['starts_with'] == 'MDMP' and envelopes[0]['items'][1]['size'] > 1000
   and not [f for f in files if f.startswith('crash-')]"

clear_received
set +e
run_fixture overflow; code=$?
set -e
# Windows keeps stack for the filter (SetThreadStackGuarantee) and the record
# is written; Wine cannot dispatch the overflow and kills the thread, and the
# crash writer must then end the process rather than keep it alive.
check "a stack overflow ends the process with 0xC00000FD (253 seen from Linux)" "$code == 253"

exit $((failures > 0))
