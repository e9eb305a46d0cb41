# The station's service seen from outside, for test_service_api.sh: who may do what,
# requests no line controller would send (while a run is live), and the client's
# unit lines against the production records. Raw sockets where the request itself is
# the point; everything else goes through line-client.
#   service_check.py rights URL READ_TOKEN_FILE CONTROL_TOKEN_FILE
#   service_check.py hostile URL READ_TOKEN_FILE CONTROL_TOKEN_FILE
#   service_check.py after URL READ_TOKEN_FILE CLIENT_OUTPUT NEXT_MAC
#   service_check.py compare CLIENT_OUTPUT RECORDS_JSONL RUN_NUMBER [VERDICT]
import json
import socket
import sys
import threading
import time
import urllib.parse

errors = []


def fail(text):
    errors.append(text)
    print("FAIL:", text, file=sys.stderr, flush=True)


def token(path):
    return open(path, encoding="utf-8").readline().strip()


class Station:
    def __init__(self, url):
        u = urllib.parse.urlsplit(url)
        self.host, self.port = u.hostname, u.port

    def sock(self, timeout=10.0, rcvbuf=None):
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        if rcvbuf:
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
        s.settimeout(timeout)
        s.connect((self.host, self.port))
        return s

    def head(self, method, path, tok=None, extra="", length=None):
        h = "%s %s HTTP/1.1\r\nHost: %s:%d\r\nConnection: close\r\n" % (method, path, self.host,
                                                                        self.port)
        if tok is not None:
            h += "Authorization: Bearer %s\r\n" % tok
        if length is not None:
            h += "Content-Type: application/json\r\nContent-Length: %d\r\n" % length
        return (h + extra + "\r\n").encode("latin-1")

    def exchange(self, data, timeout=10.0, body=b""):
        """Sends data (then body, which the station may refuse to read) and reads the
        answer: (status or None when closed without one, headers and body as text)."""
        s = self.sock(timeout)
        try:
            s.sendall(data)
            try:
                s.sendall(body)
            except OSError:
                pass  # answered and closed before the body was in
            return read_answer(s)
        finally:
            s.close()

    def call(self, method, path, tok=None, body=None, extra=""):
        raw = b"" if body is None else (body if isinstance(body, bytes) else json.dumps(body).encode())
        return self.exchange(self.head(method, path, tok, extra, len(raw) if body is not None else None),
                             body=raw)


def read_answer(s):
    got = b""
    try:
        while True:
            chunk = s.recv(65536)
            if not chunk:
                break
            got += chunk
            head, _, body = got.partition(b"\r\n\r\n")
            if b"text/event-stream" in head and (b"\n\n" in body or b"\r\r" in body):
                break  # an event stream does not end by itself: its first event
            if len(got) > 1 << 20:
                break
    except ConnectionResetError:
        pass
    except socket.timeout:
        if not got:
            return "timeout", ""
    text = got.decode("latin-1")
    if not text.startswith("HTTP/1."):
        return None, text
    return int(text.split(" ", 2)[1]), text


def expect(what, got, *want):
    status, text = got
    if status not in want:
        fail("%s: HTTP %s, expected %s: %.300r" % (what, status, "/".join(map(str, want)), text))
    return text


def error_code(text):
    try:
        return json.loads(text.split("\r\n\r\n", 1)[1]).get("code")
    except (ValueError, IndexError, AttributeError):
        return None


def state(st, tok):
    status, text = st.call("GET", "/api/v1/state", tok)
    if status != 200:
        fail("GET /api/v1/state: HTTP %s" % status)
        return {}
    return json.loads(text.split("\r\n\r\n", 1)[1])


def rights(st, read, control):
    for what, tok in (("no token", None), ("wrong token", "x" * 32), ("read token and more", read + "x"),
                      ("control token cut short", control[:-1])):
        for method, path in (("GET", "/api/v1/state"), ("GET", "/api/v1/events"),
                             ("POST", "/api/v1/start"), ("GET", "/api/v1/records")):
            text = expect("%s %s with %s" % (method, path, what), st.call(method, path, tok), 401)
            if error_code(text) not in (None, "unauthorized"):
                fail("%s %s with %s: code %s" % (method, path, what, error_code(text)))
    expect("Basic instead of Bearer", st.exchange(st.head("GET", "/api/v1/state", None,
                                                          "Authorization: Basic %s\r\n" % read)), 401)
    for method, path, body in (("POST", "/api/v1/start", None), ("POST", "/api/v1/stop", None),
                               ("PUT", "/api/v1/job", {"loopback": True})):
        text = expect("%s %s with the read token" % (method, path), st.call(method, path, read, body), 403)
        if error_code(text) != "forbidden":
            fail("%s %s with the read token: code %s, expected forbidden" % (method, path, error_code(text)))
    for path in ("/api/v1/state", "/api/v1/job", "/api/v1/records?limit=1"):
        expect("GET %s with the read token" % path, st.call("GET", path, read), 200)
    s = state(st, read)
    if s.get("api") != 1 or not isinstance(s.get("seq"), int) or s.get("busy") is not False:
        fail("state: api %r, seq %r, busy %r" % (s.get("api"), s.get("seq"), s.get("busy")))
    text = expect("GET /api/v1/events with the read token", st.call("GET", "/api/v1/events", read), 200)
    if "event: state" not in text.split("\r\n\r\n", 1)[-1][:64]:
        fail("the event stream did not begin with 'state': %.300r" % text)
    expect("GET /api/v1/nothing", st.call("GET", "/api/v1/nothing", control), 404)
    expect("DELETE /api/v1/state", st.call("DELETE", "/api/v1/state", control), 405)


def slowloris(st, result):
    """A byte a second of a request head: the station answers 408 or closes."""
    s = st.sock(timeout=1.0)
    t0, status = time.monotonic(), "still open"
    data = st.head("GET", "/api/v1/state")
    try:
        for b in data:
            if time.monotonic() - t0 > 20:
                break
            try:
                s.sendall(bytes([b]))
            except OSError:
                status = "closed"
                break
            try:
                got = s.recv(4096)
                status = "closed" if not got else got.decode("latin-1").split("\r\n")[0]
                break
            except socket.timeout:
                pass
            except OSError:
                status = "closed"
                break
    finally:
        s.close()
    result.append((status, time.monotonic() - t0))


def connect_many(st, n, deadline_s=10.0):
    """n connections opened at once (non-blocking connects); None for those that did
    not get through within the deadline."""
    import selectors
    socks, sel = [], selectors.DefaultSelector()
    for _ in range(n):
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.setblocking(False)
        s.connect_ex((st.host, st.port))
        socks.append(s)
        sel.register(s, selectors.EVENT_WRITE)
    pending, end = set(socks), time.monotonic() + deadline_s
    while pending and time.monotonic() < end:
        for key, _ in sel.select(timeout=0.2):
            sel.unregister(key.fileobj)
            pending.discard(key.fileobj)
    sel.close()
    out = []
    for s in socks:
        if s in pending or s.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR) != 0:
            s.close()
            out.append(None)
        else:
            out.append(s)
    return out


def flood(st, read, n=200):
    """n connections at once: as many as the station takes are served, the rest get 503
    (or are closed); afterwards the station answers as before."""
    socks = connect_many(st, n)
    time.sleep(0.5)
    req = st.head("GET", "/api/v1/state", read)
    tally = {}
    for s in socks:
        if s is None:
            tally["refused"] = tally.get("refused", 0) + 1
            continue
        try:
            s.setblocking(False)
            try:
                early = s.recv(65536, socket.MSG_PEEK)
            except BlockingIOError:
                early = None
            s.settimeout(10.0)
            if early is None:
                try:
                    s.sendall(req)
                except OSError:
                    pass
            status, _ = read_answer(s)
        except OSError:
            status = None
        key = status if status in (200, 503) else "closed" if status is None else status
        tally[key] = tally.get(key, 0) + 1
    for s in socks:
        if s is not None:
            s.close()
    print("%d connections at once: %s" % (n, tally))
    if not 1 <= tally.get(200, 0) <= 64:
        fail("%d connections at once: %d served, expected 1..64" % (n, tally.get(200, 0)))
    if tally.get(503, 0) == 0:
        fail("%d connections at once: none answered 503" % n)
    odd = {k: v for k, v in tally.items() if k not in (200, 503, "closed")}
    if odd:
        fail("%d connections at once: other answers %r" % (n, odd))
    t0 = time.monotonic()
    state(st, read)
    if time.monotonic() - t0 > 2:
        fail("after the flood the state took %.1f s" % (time.monotonic() - t0))


def subscribers(st, read, n=16):
    """Beside the client following the run and the one that never reads: at most 16
    subscribers, the others get 503."""
    tally, socks = {}, []
    for _ in range(n):
        s = st.sock(timeout=10.0)
        s.sendall(st.head("GET", "/api/v1/events", read))
        status, _ = read_answer(s)
        tally[status] = tally.get(status, 0) + 1
        socks.append(s)
    for s in socks:
        s.close()
    print("%d subscribers more: %s" % (n, tally))
    if tally.get(200, 0) not in (14, 15) or tally.get(503, 0) != n - tally.get(200, 0):
        fail("%d subscribers beside two: %r, expected 14 (or 15) served and the rest 503" % (n, tally))


def hostile(st, read, control):
    s0 = state(st, read)
    if not s0.get("busy"):
        fail("no run was live for the hostile requests")
    # A subscriber that never reads: the station drops it once its queue is full.
    deaf = st.sock(timeout=5.0, rcvbuf=4096)
    deaf.sendall(st.head("GET", "/api/v1/events", read))
    slow, short = [], []
    loris = threading.Thread(target=slowloris, args=(st, slow))
    loris.start()
    # A body that never comes in full.
    shorter = threading.Thread(target=lambda: short.append(st.exchange(
        st.head("PUT", "/api/v1/job", control, length=100) + b"{}", timeout=15.0)))
    shorter.start()

    for what, body in (("malformed JSON", b'{"eeprom": tru'), ("not an object", b'[1, 2]'),
                       ("unknown field", b'{"eeprom": true, "colour": "red"}'),
                       ("wrong type", b'{"baud": "fast"}'), ("bytes that are not UTF-8", b'{"logDir": "\xff\xfe"}')):
        text = expect("PUT /job, %s" % what, st.call("PUT", "/api/v1/job", control, body), 400)
        if error_code(text) != "bad_request":
            fail("PUT /job, %s: code %s, expected bad_request" % (what, error_code(text)))
    text = expect("PUT /job during the run", st.call("PUT", "/api/v1/job", control, {"loopback": True}), 409)
    text = expect("POST /start during the run", st.call("POST", "/api/v1/start", control), 409)
    if not error_code(text) == "refused":
        fail("POST /start during the run: code %s, expected refused" % error_code(text))
    big = b'{"logDir": "' + b"a" * (70 * 1024) + b'"}'
    expect("a 70 KiB body", st.call("PUT", "/api/v1/job", control, big), 413)
    expect("a 9 KiB request head", st.exchange(st.head("GET", "/api/v1/state", read,
                                                       "X-Padding: %s\r\n" % ("p" * 9216))), 431)
    expect("a 100 KiB request line", st.exchange(b"GET /" + b"a" * 102400 + b" HTTP/1.1\r\n\r\n"),
           414, 431, 400, None)
    garbage = bytes((i * 7919 + 13) & 255 for i in range(4096)) + b"\r\n\r\n"
    expect("garbage bytes", st.exchange(garbage, timeout=5.0), 400, None)
    expect("a chunked body of malformed JSON",
           st.exchange(st.head("PUT", "/api/v1/job", control,
                               "Transfer-Encoding: chunked\r\nContent-Type: application/json\r\n")
                       + b"5\r\n{\"x\":\r\n0\r\n\r\n"), 400, 411)
    subscribers(st, read)

    loris.join()
    shorter.join()
    expect("a body shorter than its Content-Length", short[0], 400, 408, None)
    status, took = slow[0]
    print("slow client: %s after %.1f s" % (status, took))
    if not (status == "closed" or status.startswith("HTTP/1.1 408")) or took > 13:
        fail("a client sending a byte a second: '%s' after %.1f s, expected 408 or closed within ~10 s"
             % (status, took))
    flood(st, read)

    s1 = state(st, read)
    if not s1.get("busy"):
        fail("the run ended before the hostile requests were done (make it longer)")
    # The deaf subscriber, once the run is over: its stream ended (dropped) when the
    # run gave it more events than its queue and the socket buffers hold.
    while state(st, read).get("busy"):
        time.sleep(0.5)
    events = state(st, read).get("seq", 0) - s0.get("seq", 0)
    got, closed, tail = 0, False, b""
    deaf.settimeout(3.0)
    try:
        while True:
            chunk = deaf.recv(65536)
            if not chunk:
                closed = True
                break
            got += len(chunk)
            tail = (tail + chunk)[-256:]
    except socket.timeout:
        pass
    except ConnectionResetError:
        closed = True
    deaf.close()
    print("a subscriber that never read: %d events went by, %d bytes reached it, %s%s"
          % (events, got, "dropped" if closed else "still subscribed",
             " (told so)" if b"event: dropped" in tail else ""))
    if events > 2000 and not closed:
        fail("a subscriber that never read was not dropped after %d events" % events)
    elif events <= 2000:
        print("(too few events to be sure the subscriber had to be dropped)")


def after(st, read, client_out, next_mac):
    """After a batch run whose units all passed, the state shows what the events said:
    every port done with its unit's address, the run's counts, the pool's next address."""
    units = [l.split() for l in open(client_out, encoding="utf-8") if l.startswith("unit ")]
    macs = {u[1]: u[4] for u in units if u[3] == "passed"}
    s = state(st, read)
    got = {p.get("name"): (p.get("verdict"), p.get("stageName"), p.get("mac"), p.get("progress"))
           for p in s.get("ports", [])}
    want = {name: ("passed", "done", mac, None) for name, mac in macs.items()}
    if got != want:
        fail("state's ports %r, expected %r" % (got, want))
    counters = s.get("counters") or {}
    if (counters.get("runPassed"), counters.get("runFailed")) != (len(macs), 0):
        fail("state's counters %r after %d passed units" % (counters, len(macs)))
    if s.get("busy") or s.get("running") or (s.get("pool") or {}).get("next") != next_mac:
        fail("state after the run: busy %r, running %r, pool %r" % (s.get("busy"), s.get("running"),
                                                                    s.get("pool")))


def compare(client_out, records_path, run_number, verdict=None):
    """The client's unit lines are the records of the run_number-th run (1 = the
    oldest), one line each: port, cycle, verdict and, when passed, the MAC."""
    records = [json.loads(l) for l in open(records_path, encoding="utf-8") if l.strip()]
    runs = []
    for r in records:
        if r["run_id"] not in runs:
            runs.append(r["run_id"])
    if len(runs) < run_number:
        fail("records of %d runs, expected at least %d" % (len(runs), run_number))
        return
    mine = [r for r in records if r["run_id"] == runs[run_number - 1]]
    want = sorted("%s %d %s%s" % (r["port"], r["cycle"], r["verdict"],
                                  " " + r["mac"] if r["verdict"] == "passed" else "") for r in mine)
    lines = [l.split() for l in open(client_out, encoding="utf-8") if l.startswith("unit ")]
    got = sorted(" ".join(l[1:5] if l[3] == "passed" else l[1:4]) for l in lines)
    if got != want:
        fail("the client's unit lines %r are not the records %r" % (got, want))
    if verdict and any(r["verdict"] != verdict for r in mine):
        fail("run %d: verdicts %r, expected all %s" % (run_number, sorted({r["verdict"] for r in mine}), verdict))


def main():
    what = sys.argv[1]
    if what == "compare":
        compare(sys.argv[2], sys.argv[3], int(sys.argv[4]), sys.argv[5] if len(sys.argv) > 5 else None)
    else:
        st = Station(sys.argv[2])
        read = token(sys.argv[3])
        if what == "after":
            after(st, read, sys.argv[4], sys.argv[5])
        else:
            {"rights": rights, "hostile": hostile}[what](st, read, token(sys.argv[4]))
    sys.exit(1 if errors else 0)


if __name__ == "__main__":
    main()
