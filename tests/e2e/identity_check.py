# The factory's side of unit identity, for test_unit_identity.sh: a manufacturing
# system that answers check-ins and takes check-outs over HTTP, and a label printer
# that keeps what it is sent; then what the station left, against its records.
#   identity_check.py serve WORK REJECT_SERIAL   (until killed; ports in WORK/*.port)
#   identity_check.py check WORK DATA REJECT_SERIAL
import datetime
import glob
import http.server
import json
import os
import socket
import socketserver
import sqlite3
import statistics
import subprocess
import sys
import threading
import time

errors = []


def fail(text):
    errors.append(text)
    print("FAIL:", text, file=sys.stderr, flush=True)


def serve(work, reject):
    log = open(os.path.join(work, "checkin.jsonl"), "a", encoding="utf-8")
    lock = threading.Lock()

    class Handler(http.server.BaseHTTPRequestHandler):
        def log_message(self, *args):
            pass

        def do_POST(self):
            body = self.rfile.read(int(self.headers.get("Content-Length", "0")))
            request = json.loads(body)
            with lock:
                log.write(json.dumps({"path": self.path, "type": self.headers.get("Content-Type"),
                                      "at": time.time(), "request": request}) + "\n")
                log.flush()
            if request.get("event") == "check-in" and request.get("serial") == reject:
                answer = {"result": "rejected", "reason": "not released for programming"}
            else:
                answer = {"result": "confirmed"}
            data = json.dumps(answer).encode()
            self.send_response(200)
            self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", str(len(data)))
            self.end_headers()
            self.wfile.write(data)

    httpd = socketserver.ThreadingTCPServer(("127.0.0.1", 0), Handler)
    threading.Thread(target=httpd.serve_forever, daemon=True).start()

    printer = socket.socket()
    printer.bind(("127.0.0.1", 0))
    printer.listen(16)
    os.makedirs(os.path.join(work, "printed"), exist_ok=True)
    for name, port in (("checkin", httpd.server_address[1]), ("printer", printer.getsockname()[1])):
        with open(os.path.join(work, name + ".port.tmp"), "w") as f:
            f.write(str(port))
        os.rename(os.path.join(work, name + ".port.tmp"), os.path.join(work, name + ".port"))
    n = 0
    while True:
        conn, _ = printer.accept()
        conn.settimeout(10)
        data = b""
        try:
            while True:
                chunk = conn.recv(65536)
                if not chunk:
                    break
                data += chunk
        except OSError:
            pass
        conn.close()
        n += 1
        with open(os.path.join(work, "printed", "%03d.zpl" % n), "wb") as f:
            f.write(data)
        with open(os.path.join(work, "printed", "%03d.at" % n), "w") as f:
            f.write(repr(time.time()))


def zpl_fields(zpl):
    # The ^FD data of every field, its ^FH escapes undone.
    out = []
    for part in zpl.split("^FD")[1:]:
        field = part.split("^FS")[0]
        raw, i = b"", 0
        while i < len(field):
            if field[i] == "_" and i + 2 < len(field) + 1:
                raw += bytes([int(field[i + 1:i + 3], 16)])
                i += 3
            else:
                raw += field[i].encode()
                i += 1
        out.append(raw.decode())
    return out


def ms(text):
    # "2026-12-09T08:30:00.123Z" as milliseconds
    return datetime.datetime.strptime(text, "%Y-%m-%dT%H:%M:%S.%fZ").replace(
        tzinfo=datetime.timezone.utc).timestamp() * 1000


def check(work, data, reject):
    db = sqlite3.connect(os.path.join(data, "records.db"))
    db.row_factory = sqlite3.Row
    units = [dict(r) for r in db.execute("SELECT * FROM units ORDER BY port")]
    events = [dict(r) for r in db.execute("SELECT * FROM unit_events ORDER BY done_at")]
    if len(units) != 4:
        fail("%d records, expected 4" % len(units))
    requests = [json.loads(line)["request"] for line in open(os.path.join(work, "checkin.jsonl"))]
    checkins = [r for r in requests if r["event"] == "check-in"]
    checkouts = [r for r in requests if r["event"] == "check-out"]
    if sorted(r["serial"] for r in checkins) != sorted(u["serial"] for u in units):
        fail("check-ins %s, records %s" % ([r["serial"] for r in checkins], [u["serial"] for u in units]))
    for r in checkins:
        if r["station"] != "identity-e2e" or not r["port"].startswith("COM") or "mac" not in r["job"]:
            fail("check-in without station, port or job: %s" % r)
    zpls = {}
    for path in sorted(glob.glob(os.path.join(work, "printed", "*.zpl"))):
        text = open(path, "rb").read().decode("ascii")
        fields = zpl_fields(text)
        zpls[fields[0] if fields else ""] = (fields, float(open(path[:-4] + ".at").read()))
    latencies = []
    for u in units:
        mine = [e for e in events if e["port"] == u["port"] and e["run_id"] == u["run_id"]]
        if u["serial"] == reject:
            if u["verdict"] != "failed" or u["fail_step"] != "check-in" or u["mac"]:
                fail("rejected unit: verdict %s, step %s, mac '%s'" % (u["verdict"], u["fail_step"], u["mac"]))
            if "not released for programming" not in u["check_in"]:
                fail("rejected unit's check-in '%s'" % u["check_in"])
            if u["eeprom_sent"] not in (None, -1, 0):
                fail("rejected unit got its image: %s bytes" % u["eeprom_sent"])
            if mine:
                fail("rejected unit has events: %s" % mine)
            continue
        if u["verdict"] != "passed" or u["check_in"] != "confirmed" or not u["mac"]:
            fail("unit %s: verdict %s, check-in %s, mac %s" % (u["serial"], u["verdict"], u["check_in"], u["mac"]))
            continue
        if u["check_out"] != "reported":
            fail("unit %s: check-out '%s'" % (u["serial"], u["check_out"]))
        if not any(r["serial"] == u["serial"] and r["verdict"] == "passed" and r["mac"] == u["mac"] for r in checkouts):
            fail("unit %s: no check-out with its verdict and address" % u["serial"])
        pngs = [e for e in mine if e["kind"] == "label" and e["sent_to"].endswith(".png")]
        sent = [e for e in mine if e["kind"] == "label" and e["sent_to"].startswith("127.0.0.1:")]
        if len(pngs) != 1 or not pngs[0]["ok"] or len(sent) != 1 or not sent[0]["ok"]:
            fail("unit %s: label events %s" % (u["serial"], mine))
            continue
        decoded = subprocess.run(["zbarimg", "--quiet", "--raw", pngs[0]["sent_to"]],
                                 capture_output=True, text=True).stdout.splitlines()
        expected = sorted([u["mac"], u["serial"], u["mac"] + " " + u["serial"]])
        if sorted(decoded) != expected:
            fail("unit %s: its label decodes to %s, expected %s" % (u["serial"], decoded, expected))
        fields = [f for f in zpls.values() if u["mac"] in f[0]]
        if len(fields) != 1 or u["serial"] not in fields[0][0] or \
                not any(f.startswith("QA,") and f.endswith(u["mac"] + " " + u["serial"]) for f in fields[0][0]):
            fail("unit %s: the printer's ZPL %s" % (u["serial"], fields))
        latencies.append(ms(sent[0]["done_at"]) - ms(u["ended_at"]))
    if latencies:
        print("verdict to label sent: median %.0f ms, max %.0f ms over %d units"
              % (statistics.median(latencies), max(latencies), len(latencies)))
    return 1 if errors else 0


if __name__ == "__main__":
    if sys.argv[1] == "serve":
        serve(sys.argv[2], sys.argv[3])
    else:
        sys.exit(check(sys.argv[2], sys.argv[3], sys.argv[4]))
