#!/usr/bin/env python3
"""The service benchmark's station runs and table (bench/bench_service.sh runs it inside
the private network namespace; standard library only).

  bench_service.py run --cli PATH --sim PATH --sim-dir DIR --out DIR [--subscribers N]
                     [--slow] -- STATION OPTIONS
      one run: the station served on 127.0.0.1, N subscribers on /api/v1/events (each a
      process of its own), optionally one that connects and never reads; then the
      16 devices (devicesim on 192.168.1.127, its files in the --sim-dir), Start
      through the API 2 s after they are ready, and the run to its `end`. Prints one
      JSON line with the figures.
  bench_service.py table FILE...
      the table of the runs' JSON lines.
  bench_service.py subscribe URL FILE
      (internal) one subscriber: prints "ready" after the state event, follows the
      stream to its end and writes one line per event to FILE.
"""
import json
import math
import os
import signal
import socket
import statistics
import subprocess
import sys
import threading
import time
import urllib.parse
import urllib.request


def connect_events(url, rcvbuf=0):
    u = urllib.parse.urlsplit(url)
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    if rcvbuf:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
    s.connect((u.hostname, u.port))
    s.sendall(b"GET /api/v1/events HTTP/1.1\r\nHost: %s\r\nAccept: text/event-stream\r\n\r\n"
              % u.netloc.encode())
    return s


def subscribe(url, path):
    s = connect_events(url)
    buf = b""
    head_done = False
    ready = False
    rows = []
    while True:
        chunk = s.recv(65536)
        now = time.time_ns()
        if not chunk:
            break
        buf += chunk
        if not head_done:
            if b"\r\n\r\n" not in buf:
                continue
            head, buf = buf.split(b"\r\n\r\n", 1)
            if not head.startswith(b"HTTP/1.1 200"):
                sys.stdout.write("refused %s\n" % head.split(b"\r\n")[0].decode())
                sys.stdout.flush()
                return 1
            head_done = True
        while b"\n\n" in buf:
            block, buf = buf.split(b"\n\n", 1)
            name, data, eid = "", None, None
            for line in block.split(b"\n"):
                if line.startswith(b"event: "):
                    name = line[7:].decode()
                elif line.startswith(b"data: "):
                    data = line[6:]
                elif line.startswith(b"id: "):
                    eid = int(line[4:])
            if data is None:
                continue
            if name == "state":
                ready = True
                sys.stdout.write("ready %d\n" % eid)
                sys.stdout.flush()
                continue
            d = json.loads(data)
            row = {"id": eid, "event": name, "time": d.get("time"), "recv_ns": now}
            if name == "status":
                row["port"] = d.get("port")
            elif name == "mac":
                row["cell"] = [d.get("row"), d.get("column")]
            rows.append(row)
    with open(path, "w") as f:
        for r in rows:
            f.write(json.dumps(r) + "\n")
    return 0 if ready else 1


def proc_cpu_s(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    # utime and stime: fields 14 and 15 of the whole line, 12 and 13 after the name.
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


# Never through a proxy from the environment: the station is on 127.0.0.1.
OPENER = urllib.request.build_opener(urllib.request.ProxyHandler({}))


def http(url, method="GET"):
    req = urllib.request.Request(url, method=method, data=b"" if method == "POST" else None)
    with OPENER.open(req, timeout=30) as r:
        return r.status, r.read()


def percentile(values, p):
    v = sorted(values)
    if not v:
        return None
    k = max(0, min(len(v) - 1, math.ceil(p / 100.0 * len(v)) - 1))  # nearest rank
    return v[k]


def run(argv):
    opts = {"subscribers": 0, "slow": False}
    i = 0
    while i < len(argv) and argv[i] != "--":
        a = argv[i]
        if a == "--slow":
            opts["slow"] = True
            i += 1
        else:
            opts[a[2:]] = argv[i + 1]
            i += 2
    station_args = argv[i + 1:]
    out = opts["out"]
    nsubs = int(opts["subscribers"])
    os.makedirs(out, exist_ok=True)

    cli = subprocess.Popen([opts["cli"]] + station_args + ["--serve", "127.0.0.1:0"],
                           stdout=subprocess.PIPE, stderr=open(os.path.join(out, "cli.err"), "wb"))
    lines = []  # (time_ns, line) of the station's board lines
    url_found = threading.Event()
    ended = threading.Event()
    url = [None]

    def read_station():
        for raw in cli.stdout:
            now = time.time_ns()
            line = raw.decode("utf-8", "replace").rstrip("\n")
            lines.append((now, line))
            if line.startswith("service "):
                url[0] = line.split(" ", 1)[1]
                url_found.set()
            elif line == "end":
                ended.set()

    reader = threading.Thread(target=read_station)
    reader.start()
    result = {"subscribers": nsubs, "slow": opts["slow"]}
    subs = []
    slow = None
    sim = None
    try:
        if not url_found.wait(30):
            raise RuntimeError("the station did not print its service line")
        base = url[0]
        for k in range(nsubs):
            p = subprocess.Popen([sys.executable, os.path.abspath(__file__), "subscribe", base,
                                  os.path.join(out, "sub%d.jsonl" % k)],
                                 stdout=subprocess.PIPE, text=True)
            subs.append(p)
        for p in subs:
            first = p.stdout.readline()
            if not first.startswith("ready"):
                raise RuntimeError("a subscriber was not served: %s" % first.strip())
        if opts["slow"]:
            # Never reads: a small receive window, so that the station's side fills soon.
            slow = connect_events(base, rcvbuf=4096)
        # Then the devices power up, and Start is pressed 2 s after their ready line in
        # every run: where in their boot the job starts decides whether the download
        # worker catches the boot or waits out their silence (5 s more).
        sim = subprocess.Popen([opts["sim"], "--dir", opts["sim-dir"], "--count", "16",
                                "--ip", "192.168.1.127"], stdout=subprocess.PIPE,
                               stderr=open(os.path.join(out, "sim.err"), "wb"), text=True)
        if not sim.stdout.readline().startswith("ready"):
            raise RuntimeError("devicesim did not get ready")
        threading.Thread(target=sim.stdout.read, daemon=True).start()  # the rest, unread
        time.sleep(2)
        cpu0 = proc_cpu_s(cli.pid)
        t0 = time.monotonic()
        start_ns = time.time_ns()
        status, _ = http(base + "api/v1/start", "POST")
        if status != 202:
            raise RuntimeError("start: HTTP %d" % status)
        if not ended.wait(600):
            raise RuntimeError("the run did not end within 600 s")
        wall = time.monotonic() - t0
        cpu = proc_cpu_s(cli.pid) - cpu0
        _, body = http(base + "api/v1/state")
        state = json.loads(body)
        result.update({"wall_s": wall, "cpu_s": cpu,
                       "verdicts": [p["verdict"] for p in state["ports"]],
                       "runPassed": state["counters"]["runPassed"],
                       "runFailed": state["counters"]["runFailed"]})
        if slow is not None:
            # Whatever the station had sent, then its end of the connection.
            slow.settimeout(5)
            got, closed, tail = 0, "open", b""
            try:
                while True:
                    c = slow.recv(65536)
                    if not c:
                        closed = "closed"
                        break
                    got += len(c)
                    tail = (tail + c)[-200:]
            except ConnectionResetError:
                closed = "reset"
            except socket.timeout:
                closed = "open"
            result["slow_closed"] = closed
            result["slow_bytes"] = got
            result["slow_dropped_event"] = b"event: dropped" in tail
            slow.close()
    finally:
        if sim is not None:
            sim.send_signal(signal.SIGTERM)
            sim.wait(30)
        if cli.poll() is None:
            cli.send_signal(signal.SIGTERM)
        try:
            result["exit"] = cli.wait(60)
        except subprocess.TimeoutExpired:
            cli.kill()
            result["exit"] = cli.wait()
        reader.join()
        for p in subs:
            try:
                p.wait(30)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()
    with open(os.path.join(out, "cli.out"), "w") as f:
        for t, line in lines:
            f.write("%d %s\n" % (t, line))

    # The board lines after Start, by kind, in order: the k-th event of a kind is the
    # k-th line of that kind (both in the order of the board calls on the UI thread).
    after = [(t, l) for t, l in lines if t >= start_ns]
    by_kind = {}
    for t, l in after:
        f = l.split(" ", 3)
        kind = f[0]
        if kind == "status":
            by_kind.setdefault(kind, []).append((t, int(f[1])))
        elif kind == "mac":
            by_kind.setdefault(kind, []).append((t, [int(f[1]), int(f[2])]))
        elif kind in ("message", "exception", "end"):
            by_kind.setdefault(kind, []).append((t, None))
    # The run's end (its board line "end") also publishes every port's verdict as a
    # status event, after the status events of the board's status calls.
    end_ns = by_kind["end"][0][0] if by_kind.get("end") else None
    lat_ms, lat_line, spread = [], [], {}
    mismatched = 0
    counts = []
    for k in range(nsubs):
        rows = [json.loads(x) for x in open(os.path.join(out, "sub%d.jsonl" % k))]
        counts.append(len(rows))
        seen = {}
        for r in rows:
            lat_ms.append(r["recv_ns"] / 1e6 - r["time"])
            spread.setdefault(r["id"], []).append(r["recv_ns"])
            kind = r["event"]
            if kind in ("status", "mac", "message", "exception", "end"):
                n = seen.get(kind, 0)
                seen[kind] = n + 1
                ref = by_kind.get(kind, [])
                key = r.get("port") if kind == "status" else r.get("cell")
                if n < len(ref) and ref[n][1] == key:
                    lat_line.append((r["recv_ns"] - ref[n][0]) / 1e6)
                elif kind == "status" and n >= len(ref) and end_ns is not None:
                    lat_line.append((r["recv_ns"] - end_ns) / 1e6)
                else:
                    mismatched += 1
    result["events"] = counts
    result["mismatched"] = mismatched
    if lat_ms:
        result["lat_ms"] = [statistics.median(lat_ms), percentile(lat_ms, 99), max(lat_ms)]
    if lat_line:
        result["lat_line"] = [statistics.median(lat_line), percentile(lat_line, 99), max(lat_line)]
    spreads = [(max(v) - min(v)) / 1e6 for v in spread.values() if len(v) > 1]
    if spreads:
        result["spread"] = [statistics.median(spreads), percentile(spreads, 99)]
    print(json.dumps(result))
    return 0


def table(paths):
    rows = [json.loads(line) for p in paths for line in open(p) if line.strip()]

    def name(r):
        return "%d subscriber(s)%s" % (r["subscribers"], " + 1 slow" if r["slow"] else "")

    def f3(v, i):
        return "%.2f" % v[i] if v else "-"

    print("%-26s %7s %8s %7s %7s %17s %17s %13s  %s" % (
        "", "wall s", "cpu s", "cpu %", "events", "ms clock med/p99", "line med/p99", "spread med/p99",
        "verdicts"))
    for r in rows:
        v = r.get("verdicts", [])
        verdicts = "%d passed, %d failed" % (v.count("passed"), len(v) - v.count("passed"))
        print("%-26s %7.2f %8.3f %6.2f%% %7s %8s /%7s %8s /%7s %6s /%6s  %s" % (
            name(r), r["wall_s"], r["cpu_s"], 100 * r["cpu_s"] / r["wall_s"],
            str(min(r["events"])) if r["events"] else "-",
            f3(r.get("lat_ms"), 0), f3(r.get("lat_ms"), 1), f3(r.get("lat_line"), 0),
            f3(r.get("lat_line"), 1), f3(r.get("spread"), 0), f3(r.get("spread"), 1), verdicts))
    same = all(r.get("verdicts") == rows[0].get("verdicts") for r in rows)
    print("  verdicts port by port: %s" % ("the same in every run" if same else "NOT the same in every run"))
    for label, pick in (("without subscribers", lambda r: r["subscribers"] == 0),
                        ("with subscribers", lambda r: r["subscribers"] > 0 and not r["slow"]),
                        ("with the slow one too", lambda r: r["slow"])):
        walls = [r["wall_s"] for r in rows if pick(r)]
        if walls:
            print("  wall, %s: median %.2f s (%.2f to %.2f)" % (label, statistics.median(walls),
                                                             min(walls), max(walls)))
    for r in rows:
        if r["slow"]:
            print("  slow subscriber (%s): connection %s by the station after %d bytes%s" % (
                name(r), {"closed": "closed", "reset": "reset", "open": "NOT closed"}[r["slow_closed"]],
                r["slow_bytes"], ", its last event `dropped`" if r["slow_dropped_event"] else ""))
        if r.get("mismatched"):
            print("  %s: %d events not matched to a board line" % (name(r), r["mismatched"]))
    return 0


if __name__ == "__main__":
    cmd = sys.argv[1] if len(sys.argv) > 1 else ""
    if cmd == "subscribe":
        sys.exit(subscribe(sys.argv[2], sys.argv[3]))
    if cmd == "run":
        sys.exit(run(sys.argv[2:]))
    if cmd == "table":
        sys.exit(table(sys.argv[2:]))
    sys.exit(__doc__)
