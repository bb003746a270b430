#!/usr/bin/python3
"""Reads every envelope the ingest endpoint kept with the reporting service's
own parser (Envelope.deserialize of the service's Python SDK, Debian package
python3-sentry-sdk) and compares what it reads with what our endpoint's parser
described (GET /ingest/envelopes). Also checks, on the official reading, the
fields the service needs.

  /usr/bin/python3 envelope_check.py DESCRIPTION FOLDER [FILE...]

DESCRIPTION: the JSON list GET /ingest/envelopes answered ("-": stdin);
FOLDER: where the endpoint keeps the envelopes; FILE: check only these (by
name; default all described). Prints one line per disagreement and ends with
1 when there is one, 2 when the official parser is missing."""
import datetime
import json
import re
import sys

try:
    from sentry_sdk.envelope import Envelope
    from sentry_sdk.utils import Dsn
except ImportError as error:  # never skip silently
    print(f"the official parser is missing ({error}); install python3-sentry-sdk and run with /usr/bin/python3")
    sys.exit(2)

EVENT_ID = re.compile(r"[0-9a-f]{32}")
LEVELS = ("fatal", "error", "warning", "info", "debug")
# What the service files each item under when it applies its limits.
CATEGORIES = {"event": "error", "attachment": "attachment"}


def timestamp_problem(text):
    if not isinstance(text, str) or not text.endswith("Z"):
        return f"{text!r} is not a UTC RFC 3339 time"
    try:
        datetime.datetime.fromisoformat(text[:-1] + "+00:00")
    except ValueError:
        return f"{text!r} is not a UTC RFC 3339 time"
    return None


def is_text(value):
    return isinstance(value, str) and value != ""


def event_problems(event, envelope_id):
    """The fields the service needs, as the official parser read them."""
    problems = []
    want = lambda ok, text: ok or problems.append(text)
    want(isinstance(event, dict), f"event payload is {type(event).__name__}, not an object")
    if not isinstance(event, dict):
        return problems
    want(isinstance(event.get("event_id"), str) and EVENT_ID.fullmatch(event["event_id"]),
         f"event_id {event.get('event_id')!r} is not 32 lowercase hex digits")
    want(event.get("event_id") == envelope_id, f"event_id {event.get('event_id')!r} != header's {envelope_id!r}")
    problem = timestamp_problem(event.get("timestamp"))
    want(problem is None, f"timestamp: {problem}")
    want(is_text(event.get("platform")), f"platform {event.get('platform')!r}")
    want(event.get("level") in LEVELS, f"level {event.get('level')!r}")
    want(is_text(event.get("release")), f"release {event.get('release')!r}")
    want(is_text(event.get("environment")), f"environment {event.get('environment')!r}")
    user = event.get("user")
    want(isinstance(user, dict) and is_text(user.get("ip_address")) and
         ("id" not in user or is_text(user["id"])), f"user {user!r}")
    values = (event.get("exception") or {}).get("values")
    want(isinstance(values, list) and values, f"exception {event.get('exception')!r} has no values")
    for value in values or []:
        want(isinstance(value, dict) and is_text(value.get("type")) and isinstance(value.get("value"), str),
             f"exception value {value!r} lacks type or value")
    crumbs = (event.get("breadcrumbs") or {}).get("values")
    want(isinstance(crumbs, list), f"breadcrumbs {event.get('breadcrumbs')!r} are not a list of values")
    for crumb in crumbs or []:
        ok = isinstance(crumb, dict) and all(is_text(crumb.get(k)) for k in ("type", "category", "level")) \
            and isinstance(crumb.get("message"), str) and timestamp_problem(crumb.get("timestamp")) is None \
            and crumb.get("level") in LEVELS
        want(ok, f"breadcrumb {crumb!r} lacks timestamp, type, category, level or message")
    return problems


def envelope_problems(raw, ours):
    """Where the official reading of raw disagrees with ours, or lacks a field."""
    try:
        official = Envelope.deserialize(raw)
    except Exception as error:  # the parser's own failure is the finding
        return [f"the official parser refused it: {error!r}"]
    problems = []
    headers = official.headers
    for key in ("event_id", "dsn", "sent_at"):
        if headers.get(key) is None:
            problems.append(f"envelope header: no {key}")
        elif headers.get(key) != ours["header"].get(key):
            problems.append(f"envelope header {key}: official {headers.get(key)!r}, ours {ours['header'].get(key)!r}")
    if not (isinstance(headers.get("event_id"), str) and EVENT_ID.fullmatch(headers["event_id"])):
        problems.append(f"envelope header event_id {headers.get('event_id')!r} is not 32 lowercase hex digits")
    try:
        dsn = Dsn(headers.get("dsn"))
        dsn.to_auth("valdrix-check")
        if not (dsn.public_key and dsn.project_id):
            problems.append(f"envelope header dsn {headers.get('dsn')!r} lacks key or project")
    except Exception as error:
        problems.append(f"envelope header dsn: the official DSN parser refused it: {error!r}")
    problem = timestamp_problem(headers.get("sent_at"))
    if problem:
        problems.append(f"envelope header sent_at: {problem}")

    items = official.items
    if len(items) != len(ours["items"]):
        problems.append(f"{len(items)} items officially, {len(ours['items'])} in ours")
    for number, (item, mine) in enumerate(zip(items, ours["items"])):
        where = f"item {number} ({item.headers.get('type')})"
        header = mine["header"]
        payload = item.get_bytes()
        for key in ("type", "length", "content_type", "attachment_type", "filename"):
            if item.headers.get(key) != header.get(key):
                problems.append(f"{where} header {key}: official {item.headers.get(key)!r}, ours {header.get(key)!r}")
        if item.headers.get("length") != len(payload):
            problems.append(f"{where}: length {item.headers.get('length')} but {len(payload)} bytes read")
        if item.data_category != CATEGORIES.get(item.type, item.type):
            problems.append(f"{where}: filed under {item.data_category!r}")
        if item.type == "event":
            if item.headers.get("content_type") != "application/json":
                problems.append(f"{where}: content type {item.headers.get('content_type')!r}")
            event = item.get_event()
            if event != mine.get("payload"):
                problems.append(f"{where}: the official parser read another event than ours")
            problems += [f"{where}: {p}" for p in event_problems(event, headers.get("event_id"))]
        elif item.type == "attachment":
            if len(payload) != mine.get("size") or payload[:4].decode("latin-1") != mine.get("starts_with"):
                problems.append(f"{where}: {len(payload)} bytes officially, {mine.get('size')} in ours")
            if item.headers.get("attachment_type") == "event.minidump":
                if payload[:4] != b"MDMP":
                    problems.append(f"{where}: a minidump that does not start with MDMP")
                if item.headers.get("content_type") != "application/octet-stream":
                    problems.append(f"{where}: minidump content type {item.headers.get('content_type')!r}")
    if not any(item.type == "event" for item in items):
        problems.append("no event item")
    return problems


def main(argv):
    if len(argv) < 3:
        print(__doc__)
        return 2
    text = sys.stdin.read() if argv[1] == "-" else open(argv[1], encoding="utf-8").read()
    described = {entry["file"]: entry for entry in json.loads(text)}
    names = argv[3:] or sorted(described)
    failed = False
    for name in names:
        if name not in described:
            print(f"{name}: not described by our ingest endpoint")
            failed = True
            continue
        with open(f"{argv[2]}/{name}", "rb") as f:
            raw = f.read()
        for problem in envelope_problems(raw, described[name]):
            print(f"{name}: {problem}")
            failed = True
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
