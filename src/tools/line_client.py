#!/usr/bin/env python3
"""line-client: drives a production station's service (production-cli --serve, or
the window program with station.conf's service-listen) from a line controller or a
script: sets up the job, presses Start, follows the live events and prints one line
per unit result and a final line. Python 3 standard library only.

    line-client [--url URL] [--token-file FILE] COMMAND [options]

Commands:
    state                 the station's state (JSON)
    job [FIELDS]          the job as set up (JSON); with fields, sets it up first
    start                 press Start
    stop                  the confirmed Stop
    wait                  follow the live run to its end, one line per unit
    run [FIELDS]          set up the job (when fields are given), Start, then wait
    records [FILTERS]     the production records, one line per unit (--json: JSON lines)
    events                the live events, one JSON line each, until interrupted

Unit lines:
    unit COM3 0 passed 02:5C:3A:04:22:D1 download=12.3s loopback=1.0s mac=0.8s
    unit COM4 0 failed download -3 <the station's text>
and at the end of wait/run:
    done 15 passed 1 failed

Exit status: 0 done (wait/run: every unit passed; in continuous production the units
in progress at the Stop do not count); 1 a unit failed, a batch run's unit was stopped
or did not finish, or no unit passed; 2 the station refused (its text on stderr: no or
wrong token, a command it would not take); 3 no connection, or the station's answer
broke the protocol.
"""

import argparse
import http.client
import json
import os
import signal
import socket
import ssl
import stat
import sys
import time
import urllib.parse

EXIT_DONE, EXIT_UNITS_FAILED, EXIT_REFUSED, EXIT_PROTOCOL = 0, 1, 2, 3
API = "/api/v1"
# Bounds on what the station may send: one event, one JSON answer.
MAX_EVENT_BYTES = 4 << 20
MAX_BODY_BYTES = 64 << 20
# The station sends a comment every 15 s; this much silence means the stream is dead.
STREAM_IDLE_S = 45.0


class Refused(Exception):
    """The station answered with a refusal (4xx): its text, HTTP status, code."""

    def __init__(self, status, text, code=""):
        super().__init__(text)
        self.status, self.text, self.code = status, text, code


class ProtocolError(Exception):
    """No connection, or an answer that is not what the interface promises."""


class StreamEnded(Exception):
    """The event stream ended or fell silent (the station drops slow subscribers)."""


# ---- HTTP ----


class Station:
    def __init__(self, url, token, timeout, cafile=None):
        u = urllib.parse.urlsplit(url)
        if u.scheme not in ("http", "https") or not u.hostname:
            raise ProtocolError("--url wants http://HOST:PORT or https://HOST:PORT, not '%s'" % url)
        self.scheme, self.host = u.scheme, u.hostname
        self.port = u.port or (443 if u.scheme == "https" else 80)
        self.base = u.path.rstrip("/")
        self.token, self.timeout = token, timeout
        self.context = None
        if self.scheme == "https":
            self.context = ssl.create_default_context(cafile=cafile)

    def connect(self, timeout):
        if self.scheme == "https":
            return http.client.HTTPSConnection(self.host, self.port, timeout=timeout,
                                               context=self.context)
        return http.client.HTTPConnection(self.host, self.port, timeout=timeout)

    def headers(self, extra=None):
        h = {"Accept": "application/json"}
        if self.token:
            h["Authorization"] = "Bearer " + self.token
        h.update(extra or {})
        return h

    def request(self, method, path, body=None, query=None):
        """JSON request; the decoded JSON answer (2xx) or Refused/ProtocolError."""
        target = self.base + API + path
        if query:
            target += "?" + urllib.parse.urlencode(query)
        data, extra = None, {}
        if body is not None:
            data = json.dumps(body).encode()
            extra["Content-Type"] = "application/json"
        conn = self.connect(self.timeout)
        try:
            conn.request(method, target, body=data, headers=self.headers(extra))
            resp = conn.getresponse()
            raw = resp.read(MAX_BODY_BYTES + 1)
        except (OSError, http.client.HTTPException) as e:
            raise ProtocolError("%s %s: %s" % (method, target, describe(e)))
        finally:
            conn.close()
        if len(raw) > MAX_BODY_BYTES:
            raise ProtocolError("%s %s: answer larger than %d bytes" % (method, target, MAX_BODY_BYTES))
        return decode_answer(method, target, resp.status, raw)

    def open_events(self):
        """The event stream's response, its status checked."""
        target = self.base + API + "/events"
        conn = self.connect(STREAM_IDLE_S)
        try:
            conn.request("GET", target, headers=self.headers({"Accept": "text/event-stream"}))
            resp = conn.getresponse()
        except (OSError, http.client.HTTPException) as e:
            conn.close()
            raise ProtocolError("GET %s: %s" % (target, describe(e)))
        if resp.status != 200:
            raw = resp.read(MAX_BODY_BYTES)
            conn.close()
            decode_answer("GET", target, resp.status, raw)
            raise ProtocolError("GET %s: HTTP %d" % (target, resp.status))
        ctype = resp.getheader("Content-Type", "")
        if not ctype.split(";")[0].strip().lower() == "text/event-stream":
            conn.close()
            raise ProtocolError("GET %s: Content-Type '%s', expected text/event-stream" % (target, ctype))
        return conn, resp


def describe(e):
    if isinstance(e, socket.timeout):
        return "no answer (timed out)"
    if isinstance(e, ConnectionRefusedError):
        return "connection refused (is the station serving?)"
    return str(e) or e.__class__.__name__


def decode_answer(method, target, status, raw):
    try:
        doc = json.loads(raw.decode("utf-8")) if raw else None
    except (UnicodeDecodeError, ValueError):
        doc = None
        if 200 <= status < 300:
            raise ProtocolError("%s %s: HTTP %d with an answer that is not JSON" % (method, target, status))
    if 200 <= status < 300:
        return doc
    text, code = "", ""
    if isinstance(doc, dict):
        text = str(doc.get("error", ""))
        if doc.get("caption"):
            text = "%s: %s" % (doc["caption"], text)
        code = str(doc.get("code", ""))
    if not text:
        text = "HTTP %d" % status
    # 503 "unavailable": what the station cannot do (it keeps no records); "busy" is
    # a passing state (too many connections), no refusal.
    if 400 <= status < 500 or (status == 503 and code == "unavailable"):
        raise Refused(status, text, code)
    raise ProtocolError("%s %s: HTTP %d %s" % (method, target, status, text))


# ---- Server-Sent Events ----


class EventReader:
    """Splits a text/event-stream into events: lines end in CRLF, LF or CR; lines
    that begin with ':' are comments; 'data' lines of one event are joined with LF;
    a blank line ends the event. Yields (event type, data text, id)."""

    def __init__(self, resp):
        self.resp = resp
        self.buf = b""
        self.eof = False

    def _lines(self):
        pos = 0
        while True:
            lf = self.buf.find(b"\n", pos)
            cr = self.buf.find(b"\r", pos, lf if lf >= 0 else len(self.buf))
            # A CR at the buffer's end may be the first half of a CRLF.
            if cr >= 0 and (cr + 1 < len(self.buf) or self.eof):
                step = 2 if self.buf[cr + 1:cr + 2] == b"\n" else 1
                yield self.buf[pos:cr]
                pos = cr + step
                continue
            if lf >= 0 and cr < 0:
                yield self.buf[pos:lf]
                pos = lf + 1
                continue
            self.buf = self.buf[pos:]
            pos = 0
            if self.eof:
                return
            if len(self.buf) > MAX_EVENT_BYTES:
                raise ProtocolError("an event line longer than %d bytes" % MAX_EVENT_BYTES)
            try:
                chunk = self.resp.read1(65536)
            except socket.timeout:
                raise StreamEnded("no event and no keep-alive for %.0f s" % STREAM_IDLE_S)
            except (OSError, http.client.HTTPException) as e:
                raise StreamEnded(describe(e))
            if not chunk:
                self.eof = True
            self.buf += chunk

    def __iter__(self):
        kind, data, eid, size = "", [], None, 0
        for raw in self._lines():
            line = raw.decode("utf-8", "replace")
            if line == "":
                if data:
                    yield kind or "message", "\n".join(data), eid
                kind, data, size = "", [], 0
                continue
            if line.startswith(":"):
                continue
            field, sep, value = line.partition(":")
            if sep and value.startswith(" "):
                value = value[1:]
            if field == "event":
                kind = value
            elif field == "data":
                data.append(value)
                size += len(value)
                if size > MAX_EVENT_BYTES:
                    raise ProtocolError("an event larger than %d bytes" % MAX_EVENT_BYTES)
            elif field == "id":
                eid = value
        raise StreamEnded("the station ended the event stream")


class Subscription:
    """The station's events as (type, object), each connection's first one `state`.
    Checks that `seq` counts up by one; reconnects once when the stream drops and
    tells its caller through the `state` event that starts the new connection."""

    def __init__(self, station, reconnects=1):
        self.station = station
        self.reconnects = reconnects
        self.renew = reconnects > 0
        self.conn = None
        self.events = None
        self.seq = None
        self.reconnected = False
        self.opened = 0.0

    def _open(self):
        self.opened = time.monotonic()
        self.conn, resp = self.station.open_events()
        self.events = iter(EventReader(resp))
        self.seq = None

    def close(self):
        if self.conn is not None:
            self.conn.close()
            self.conn = None

    def _reconnect(self, reason):
        self.close()
        if time.monotonic() - self.opened > 60 and self.reconnects == 0 and self.renew:
            self.reconnects = 1  # a stream that ran for a while: once more
        if self.reconnects <= 0:
            raise ProtocolError("event stream: %s" % reason)
        self.reconnects -= 1
        self.reconnected = True
        print("line-client: event stream: %s; reconnecting" % reason, file=sys.stderr)
        time.sleep(0.5)
        self._open()

    def next(self):
        if self.conn is None:
            self._open()
        while True:
            try:
                kind, data, eid = next(self.events)
            except StreamEnded as e:
                self._reconnect(e)
                continue
            if kind == "dropped":
                # The station dropped this subscriber for falling behind; its stream ends.
                self._reconnect("the station dropped this subscriber (it fell behind)")
                continue
            try:
                obj = json.loads(data)
            except ValueError:
                raise ProtocolError("event '%s': data is not JSON: %.200s" % (kind, data))
            if not isinstance(obj, dict):
                raise ProtocolError("event '%s': data is not a JSON object" % kind)
            seq = obj.get("seq")
            if seq is None and eid is not None and eid.isdigit():
                seq = int(eid)
            if self.seq is None:
                if kind != "state":
                    raise ProtocolError("the event stream began with '%s', not 'state'" % kind)
            elif seq != self.seq + 1:
                raise ProtocolError("event '%s' has seq %r after %r" % (kind, seq, self.seq))
            if not isinstance(seq, int):
                raise ProtocolError("event '%s' without a seq" % kind)
            self.seq = seq
            return kind, obj


# ---- unit lines ----


def unit_line(u):
    name = u.get("name") or "port%s" % u.get("port")
    head = "unit %s %s %s" % (name, u.get("cycle", 0), u.get("verdict", "?"))
    if u.get("verdict") == "passed":
        steps = " ".join("%s=%.1fs" % (s.get("step"), (s.get("ms") or 0) / 1000.0)
                         for s in u.get("steps") or [])
        return " ".join(p for p in (head, u.get("mac") or "-", steps) if p)
    f = u.get("failure") or {}
    code = f.get("code")
    return ("%s %s %s %s" % (head, f.get("step") or "-", "-" if code is None else code,
                             f.get("text") or "")).rstrip()


# ---- the job ----

JOB_FLAGS = [("eeprom", "--eeprom", "FILE"), ("firmware", "--firmware", "FILE")]
JOB_BOOLS = [("loopback", "loopback"), ("programMac", "program-mac"),
             ("fastDownload", "fast-download"), ("continuous", "continuous")]


def add_job_options(p):
    g = p.add_argument_group("job fields (those not given keep what the dialog shows)")
    for key, flag, meta in JOB_FLAGS:
        g.add_argument(flag, metavar=meta, help="download this image")
        g.add_argument("--no-" + key, action="store_true", help="no %s image" % key)
    for key, flag in JOB_BOOLS:
        g.add_argument("--" + flag, dest=key, action="store_const", const=True)
        g.add_argument("--no-" + flag, dest=key, action="store_const", const=False)
    g.add_argument("--assign-mac", metavar="HH:HH:HH",
                   help="program 02:5C:3A:HH:HH:HH into every device")
    g.add_argument("--no-assign-mac", action="store_true", help="program from the pool again")
    g.add_argument("--baud", type=int, choices=[115200, 57600, 38400])
    g.add_argument("--log", metavar="DIR", help="write the log files into DIR")
    g.add_argument("--no-log", action="store_true")
    g.add_argument("--field", metavar="NAME=JSON", action="append", default=[],
                   help="any other job field, its value as JSON")


def job_fields(a):
    """The PUT /job body from the options, or None when none was given."""
    job = {}
    for key, _, _ in JOB_FLAGS:
        path, off = getattr(a, key), getattr(a, "no_" + key)
        if path is not None and off:
            raise SystemExit("line-client: --%s and --no-%s exclude each other" % (key, key))
        if path is not None:
            job[key], job[key + "File"] = True, path
        elif off:
            job[key] = False
    for key, _ in JOB_BOOLS:
        if getattr(a, key) is not None:
            job[key] = getattr(a, key)
    if a.assign_mac is not None:
        job["assignMac"] = a.assign_mac
    elif a.no_assign_mac:
        job["assignMac"] = None
    if a.baud is not None:
        job["baud"] = a.baud
    if a.log is not None:
        job["log"], job["logDir"] = True, a.log
    elif a.no_log:
        job["log"] = False
    for f in a.field:
        name, sep, value = f.partition("=")
        if not sep:
            raise SystemExit("line-client: --field wants NAME=JSON, not '%s'" % f)
        try:
            job[name] = json.loads(value)
        except ValueError:
            job[name] = value
    return job or None


# ---- following a run ----


class Tally:
    def __init__(self):
        self.passed = self.failed = self.stopped = 0
        self.seen = set()
        # Continuous production: the units in progress at the Stop are no verdict.
        self.continuous = False

    def unit(self, u, out):
        key = (u.get("run"), u.get("port"), u.get("cycle"))
        if key in self.seen:
            return
        self.seen.add(key)
        verdict = u.get("verdict")
        if verdict == "passed":
            self.passed += 1
        elif verdict == "failed":
            self.failed += 1
        else:
            self.stopped += 1
        print(unit_line(u), file=out, flush=True)


def follow(station, sub, tally, out, since_ms, units_limit=0):
    """Reads events until the run's `end` (batch and continuous alike: the dispatcher
    finished its end steps). With units_limit, gives the confirmed Stop once that many
    units have passed. After a reconnect, the units that ended meanwhile come from the
    records (those started from since_ms that ended after it)."""
    stop_given = False
    while True:
        kind, ev = sub.next()
        if kind == "state":
            if sub.reconnected:
                sub.reconnected = False
                catch_up(station, tally, out, since_ms)
                if not ev.get("busy"):
                    return
            continue
        if kind == "unit":
            tally.unit(ev, out)
            if units_limit and tally.passed >= units_limit and not stop_given:
                stop_given = True
                try:
                    station.request("POST", "/stop")
                except Refused:
                    pass  # the run ended by itself meanwhile
        elif kind == "end":
            return


def catch_up(station, tally, out, since_ms):
    # A batch run's units all start with the run; a slot's unit may have started a
    # while before: look back a day, keep the ones that ended after since_ms.
    doc = station.request("GET", "/records",
                          query={"from": since_ms - 86400000, "limit": 10000})
    for u in (doc or {}).get("records", []):
        if u.get("verdict") in ("passed", "failed", "stopped") and \
                (u.get("endedMs") or 0) >= since_ms:
            tally.unit(u, out)


def from_ports(station, tally, out):
    """A station that keeps no records sends no `unit` events: the ports' verdicts at
    the run's end are then the result, one unit per port."""
    doc = station.request("GET", "/state")
    for p in (doc or {}).get("ports", []):
        verdict = p.get("verdict")
        u = {"run": "", "port": p.get("port"), "name": p.get("name"), "cycle": p.get("cycle", 0),
             "verdict": verdict if verdict in ("passed", "failed") else "unfinished",
             "mac": p.get("mac"), "failure": {"text": p.get("status")}}
        tally.unit(u, out)


def finish(tally, out):
    line = "done %d passed %d failed" % (tally.passed, tally.failed)
    if tally.stopped:
        line += " %d stopped" % tally.stopped
    print(line, file=out, flush=True)
    ok = tally.passed > 0 and tally.failed == 0 and (tally.stopped == 0 or tally.continuous)
    return EXIT_DONE if ok else EXIT_UNITS_FAILED


class StopOnSignal:
    """SIGINT/SIGTERM during a run give the station the confirmed Stop (once); the
    client goes on to the run's end. A second signal ends the client."""

    def __init__(self, station):
        self.station, self.given = station, False

    def __enter__(self):
        self.old = {s: signal.signal(s, self.handle) for s in (signal.SIGINT, signal.SIGTERM)}
        return self

    def __exit__(self, *exc):
        for s, h in self.old.items():
            signal.signal(s, h)

    def handle(self, signum, frame):
        if self.given:
            raise KeyboardInterrupt
        self.given = True
        print("line-client: giving the station the confirmed Stop", file=sys.stderr)
        try:
            self.station.request("POST", "/stop")
        except (Refused, ProtocolError) as e:
            print("line-client: stop: %s" % e, file=sys.stderr)


def cmd_run(station, a, out):
    job = job_fields(a)
    if job is not None:
        station.request("PUT", "/job", body=job)
    sub = Subscription(station)
    tally = Tally()
    try:
        _, first = sub.next()
        tally.continuous = first.get("mode") == "continuous"
        if first.get("busy") and not first.get("running"):
            # The last run is doing its end steps: Start once they are done.
            while sub.next()[0] != "end":
                pass
        # The station's clock: the records' times are its own.
        since = int(first.get("time") or time.time() * 1000)
        # Refused with the station's text while a run is live.
        station.request("POST", "/start")
        with StopOnSignal(station):
            follow(station, sub, tally, out, since, units_limit=a.units)
        if not tally.seen and not tally.continuous:
            from_ports(station, tally, out)
    finally:
        sub.close()
    return finish(tally, out)


def cmd_wait(station, a, out):
    sub = Subscription(station)
    tally = Tally()
    try:
        _, first = sub.next()
        tally.continuous = first.get("mode") == "continuous"
        if not first.get("busy"):
            print("line-client: no run is live", file=sys.stderr)
            return EXIT_DONE
        # The units of this run that ended before we came count too.
        counters = first.get("counters") or {}
        tally.passed = int(counters.get("runPassed") or 0)
        tally.failed = int(counters.get("runFailed") or 0)
        with StopOnSignal(station):
            follow(station, sub, tally, out, int(first.get("time") or time.time() * 1000))
        if not tally.seen and not tally.continuous and tally.passed + tally.failed == 0:
            from_ports(station, tally, out)
    finally:
        sub.close()
    return finish(tally, out)


def cmd_events(station, a, out):
    sub = Subscription(station, reconnects=0)
    try:
        n = 0
        while a.count == 0 or n < a.count:
            kind, ev = sub.next()
            print(json.dumps({"event": kind, "data": ev}, sort_keys=True), file=out, flush=True)
            n += 1
    finally:
        sub.close()
    return EXIT_DONE


def parse_time(text):
    """Milliseconds since 1970 from a number or an ISO 8601 UTC time."""
    if text.isdigit():
        return int(text)
    from datetime import datetime, timezone
    try:
        t = datetime.fromisoformat(text.replace("Z", "+00:00"))
    except ValueError:
        raise argparse.ArgumentTypeError("wants milliseconds since 1970 or YYYY-MM-DD[THH:MM[:SS]]")
    if t.tzinfo is None:
        t = t.replace(tzinfo=timezone.utc)
    return int(t.timestamp() * 1000)


def cmd_records(station, a, out):
    query = {k: v for k, v in (("from", a.from_ms), ("to", a.to_ms), ("station", a.station),
                               ("mac", a.mac), ("verdict", a.verdict), ("cycle", a.cycle),
                               ("limit", a.limit)) if v is not None}
    doc = station.request("GET", "/records", query=query)
    if not isinstance(doc, dict) or not isinstance(doc.get("records"), list):
        raise ProtocolError("GET /records: no 'records' list in the answer")
    for u in doc["records"]:
        print(json.dumps(u, sort_keys=True) if a.json else unit_line(u), file=out)
    if doc.get("truncated"):
        print("line-client: more records than --limit; narrow the filters", file=sys.stderr)
    return EXIT_DONE


def read_token(path):
    try:
        st = os.stat(path)
        with open(path, encoding="utf-8") as f:
            token = f.readline().strip()
    except OSError as e:
        raise SystemExit("line-client: token file: %s" % e)
    if os.name == "posix" and st.st_mode & (stat.S_IRWXG | stat.S_IRWXO):
        print("line-client: %s can be read by others (chmod 600 it)" % path, file=sys.stderr)
    if not token:
        raise SystemExit("line-client: %s holds no token on its first line" % path)
    return token


def main(argv=None):
    p = argparse.ArgumentParser(prog="line-client", description=__doc__.split("\n\n")[0],
                                formatter_class=argparse.RawDescriptionHelpFormatter,
                                epilog="Exit status: 0 done (every unit passed), 1 a unit failed "
                                       "or no unit ran, 2 refused by the station, 3 connection or "
                                       "protocol error.")
    p.add_argument("--url", default=os.environ.get("LINE_CLIENT_URL", "http://127.0.0.1:8080"),
                   help="the station's service (default $LINE_CLIENT_URL, else %(default)s)")
    p.add_argument("--token-file", default=os.environ.get("LINE_CLIENT_TOKEN_FILE"),
                   help="the token is this file's first line (default $LINE_CLIENT_TOKEN_FILE; "
                        "none: a bench station on 127.0.0.1 without tokens)")
    p.add_argument("--cafile", help="https: trust this CA certificate (PEM)")
    p.add_argument("--timeout", type=float, default=30.0, help="seconds per request (default 30)")
    sp = p.add_subparsers(dest="command", metavar="COMMAND", required=True)
    sp.add_parser("state", help="the station's state (JSON)")
    add_job_options(sp.add_parser("job", help="the job as set up; with fields, set it up"))
    sp.add_parser("start", help="press Start")
    sp.add_parser("stop", help="the confirmed Stop")
    sp.add_parser("wait", help="follow the live run to its end")
    ser = sp.add_parser("serial", help="bind a unit's serial to its port (or the next waiting)")
    ser.add_argument("serial")
    ser.add_argument("--port", help="COMn (default: the first port whose unit waits for one)")
    ser.add_argument("--rework", action="store_true", help="a unit whose serial passed before")
    run = sp.add_parser("run", help="set up the job (fields given), Start, follow to the end")
    add_job_options(run)
    run.add_argument("--units", type=int, default=0, metavar="N",
                     help="continuous production: the confirmed Stop once N units passed")
    rec = sp.add_parser("records", help="the production records, oldest first")
    rec.add_argument("--from", dest="from_ms", type=parse_time, metavar="TIME")
    rec.add_argument("--to", dest="to_ms", type=parse_time, metavar="TIME")
    rec.add_argument("--station")
    rec.add_argument("--mac")
    rec.add_argument("--verdict", choices=["passed", "failed", "stopped", "unfinished"])
    rec.add_argument("--cycle", type=int)
    rec.add_argument("--limit", type=int)
    rec.add_argument("--json", action="store_true", help="one JSON object per line")
    ev = sp.add_parser("events", help="the live events as JSON lines")
    ev.add_argument("--count", type=int, default=0, help="stop after N events")
    a = p.parse_args(argv)

    out = sys.stdout
    try:
        token = read_token(a.token_file) if a.token_file else None
        station = Station(a.url, token, a.timeout, a.cafile)
        if a.command in ("state", "job") and not (a.command == "job" and job_fields(a)):
            doc = station.request("GET", "/" + a.command)
            print(json.dumps(doc, indent=2, sort_keys=True), file=out)
            return EXIT_DONE
        if a.command == "job":
            print(json.dumps(station.request("PUT", "/job", body=job_fields(a)), indent=2,
                             sort_keys=True), file=out)
            return EXIT_DONE
        if a.command in ("start", "stop"):
            station.request("POST", "/" + a.command)
            return EXIT_DONE
        if a.command == "serial":
            body = {"serial": a.serial, "rework": a.rework}
            if a.port:
                body["port"] = a.port
            print(station.request("POST", "/serial", body=body).get("text", ""), file=out)
            return EXIT_DONE
        return {"run": cmd_run, "wait": cmd_wait, "records": cmd_records,
                "events": cmd_events}[a.command](station, a, out)
    except Refused as e:
        print("line-client: refused (%d%s): %s" % (e.status, " " + e.code if e.code else "", e.text),
              file=sys.stderr)
        return EXIT_REFUSED
    except ProtocolError as e:
        print("line-client: %s" % e, file=sys.stderr)
        return EXIT_PROTOCOL
    except KeyboardInterrupt:
        return 130
    except BrokenPipeError:
        return EXIT_PROTOCOL


if __name__ == "__main__":
    sys.exit(main())
