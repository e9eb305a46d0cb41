#!/usr/bin/env bash
# The line board page in a real browser (headless Chromium, driven over its DevTools
# pipe) during one run of the whole job on sixteen simulated devices inside a private
# network namespace, COM7 echoing a wrong byte in its loopback test. The station runs
# with token files and serves on 127.0.0.1; the page is opened with the read token in
# its fragment. While the downloads run the tiles say RUNNING with their block count;
# after the run every tile shows the verdict, the last status text and the counters the
# production records hold, the run's and the day's counters are 15 and 1, and COM7 is
# in the last failures; the page loaded afresh shows the same. When the station goes away the page says it is disconnected,
# and it connects again by itself to the station started anew on the same port.
# Screenshots (running, ended, disconnected) are left in <build dir>/test_line_board/.
#   test_line_board.sh <build dir> <source dir>
set -uo pipefail
BUILD="$1"
SRC="$2"
# shellcheck source=lib_pipeline.bash
source "$SRC/tests/e2e/lib_pipeline.bash"
pl_enter "$BUILD" "$SRC" "$(realpath "$0")"

CHROMIUM="${PT_CHROMIUM:-/usr/bin/chromium-headless-shell}"
[ -x "$CHROMIUM" ] || { echo "FAIL: no $CHROMIUM (scripts/setup.sh installs chromium-headless-shell)" >&2; exit 1; }

name=board
data="$WORK/$name"
shots="$BUILD/test_line_board"
rm -rf "$shots" && mkdir -p "$shots"
pl_start "$data" "$PL_POOL" 16 --fault COM7:echo-wrong
(umask 077 && head -c 24 /dev/urandom | od -An -tx1 | tr -d ' \n' > "$WORK/read.token" &&
  head -c 24 /dev/urandom | od -An -tx1 | tr -d ' \n' > "$WORK/control.token")
serve=(--dir "$data" --eeprom "$data/sample.vef" --firmware "$data/sample.vff" --program-mac
       --read-token-file "$WORK/read.token" --control-token-file "$WORK/control.token")

timeout -k 10 300 "$WIDE" "${serve[@]}" --serve 127.0.0.1:0 --start \
  > "$WORK/$name.out" 2> "$WORK/$name.err" &
CLI_PID=$!
url=""
for _ in $(seq 300); do
  url="$(sed -n 's|^service \(http://127\.0\.0\.1:[0-9]*/\)$|\1|p' "$WORK/$name.out" | head -n 1)"
  [ -n "$url" ] && break
  kill -0 "$CLI_PID" 2>/dev/null || break
  sleep 0.1
done
[ -n "$url" ] || { RC=none; pl_dump "$name" "$data"; fail "no 'service http://127.0.0.1:PORT/' line"; pl_finish "line board"; }

addr="${url#http://}"
# The browser, the checks against the records, the station stopped and started again.
PYTHONPATH="$PL_E2E_DIR" python3 - "$CHROMIUM" "$WORK" "$shots" "$url" "$(cat "$WORK/read.token")" \
  "$CLI_PID" "$WORK/$name.out" "$data/records.db" \
  timeout -k 10 120 "$WIDE" "${serve[@]}" --serve "${addr%/}" <<'EOF' >&2 || fail "board (see above)"
import base64, fcntl, json, os, select, signal, subprocess, sys, time
from devices_report import read_records

chromium, work, shots, url, token, cli_pid, cli_out, db = sys.argv[1:9]
again_cmd = sys.argv[9:]
errors = []


class Stop(Exception):
    """A step failed that every later one needs."""


class Browser:
    """Headless Chromium over its DevTools pipe: it reads commands on fd 3 and answers
    on fd 4, one JSON message each, ended by a NUL byte."""

    def __init__(self):
        to_r, self.to_w = os.pipe()
        self.from_r, from_w = os.pipe()
        # Moved above 9 first, so that the shell can put them on 3 and 4.
        ends = [fcntl.fcntl(fd, fcntl.F_DUPFD, 10) for fd in (to_r, from_w)]
        os.close(to_r)
        os.close(from_w)
        args = [chromium, "--no-sandbox", "--disable-gpu", "--remote-debugging-pipe",
                "--user-data-dir=" + os.path.join(work, "chromium"), "--hide-scrollbars",
                "--window-size=1920,1080", "about:blank"]
        log = open(os.path.join(work, "chromium.log"), "w")
        self.proc = subprocess.Popen(
            ["bash", "-c", 'exec "$@" 3<&%d 4>&%d %d<&- %d>&-' % tuple(ends * 2), "bash"] + args,
            pass_fds=ends, stdin=subprocess.DEVNULL, stdout=log, stderr=log)
        for fd in ends:
            os.close(fd)
        self.buf, self.last_id, self.session = b"", 0, None
        target = self.call("Target.createTarget", {"url": "about:blank"})["targetId"]
        self.session = self.call("Target.attachToTarget",
                                 {"targetId": target, "flatten": True})["sessionId"]
        self.call("Emulation.setDeviceMetricsOverride",
                  {"width": 1920, "height": 1080, "deviceScaleFactor": 1, "mobile": False})

    def call(self, method, params=None, timeout=30):
        self.last_id += 1
        msg = {"id": self.last_id, "method": method, "params": params or {}}
        if self.session:
            msg["sessionId"] = self.session
        os.write(self.to_w, json.dumps(msg).encode() + b"\0")
        end = time.time() + timeout
        while True:
            while b"\0" in self.buf:
                raw, self.buf = self.buf.split(b"\0", 1)
                reply = json.loads(raw)
                if reply.get("id") == self.last_id:
                    if "error" in reply:
                        raise RuntimeError("%s: %s" % (method, reply["error"]))
                    return reply.get("result", {})
            left = end - time.time()
            if left <= 0 or not select.select([self.from_r], [], [], left)[0]:
                raise RuntimeError("%s: the browser did not answer" % method)
            chunk = os.read(self.from_r, 1 << 20)
            if not chunk:
                raise RuntimeError("the browser went away")
            self.buf += chunk

    def eval(self, expr):
        r = self.call("Runtime.evaluate", {"expression": expr, "returnByValue": True})
        return r.get("result", {}).get("value")

    def shot(self, name):
        png = self.call("Page.captureScreenshot", {"format": "png"})["data"]
        open(os.path.join(shots, name), "wb").write(base64.b64decode(png))

    def close(self):
        try:
            self.call("Browser.close", timeout=5)
        except RuntimeError:
            pass
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


# What the page shows, from its data attributes and its words (nothing while it loads).
FACTS = """(function () { try { return JSON.stringify({
  page: Object.assign({}, document.body.dataset),
  banner: document.getElementById('banner').hidden ? '' : document.getElementById('banner').textContent,
  tiles: Array.prototype.map.call(document.querySelectorAll('.tile'), function (e) {
    var d = Object.assign({}, e.dataset);
    d.words = e.querySelector('.tverdict').textContent;
    return d;
  }),
  failures: Array.prototype.map.call(document.querySelectorAll('.fitem'), function (e) {
    return {name: e.dataset.name, text: e.querySelector('.ftext').textContent};
  })
}); } catch (e) { return '{"page": {}, "banner": "", "tiles": [], "failures": []}'; } })()"""


def facts():
    return json.loads(b.eval(FACTS))


def wait_for(what, test, seconds, needed=False):
    end = time.time() + seconds
    while True:
        f = facts()
        if test(f):
            return f
        if time.time() > end:
            errors.append("%s within %d s; the page showed %s" % (what, seconds, json.dumps(f)[:3000]))
            if needed:
                raise Stop()
            return f
        time.sleep(0.2)


def ended_problems(f, records):
    """What the page shows differently from the records of the run."""
    out = []
    want = {"PASSED": "passed", "FAILED": "failed"}
    by_name = {r["port"]: r for r in records}
    names = [t.get("name") for t in f["tiles"]]
    if names != ["COM%d" % n for n in range(1, 17)]:
        out.append("tiles %s, expected COM1..COM16" % names)
    for t in f["tiles"]:
        r = by_name.get(t.get("name"))
        if r is None:
            continue
        passed = r["verdict"] == "passed"
        got = (t.get("port"), t.get("verdict"), want.get(t.get("words")), t.get("passed"),
               t.get("failed"), t.get("status"))
        exp = (str(r["port_index"]), r["verdict"], r["verdict"], "1" if passed else "0",
               "0" if passed else "1", r["last_status"])
        if got != exp:
            out.append("%s: tile %r, records say %r" % (r["port"], got, exp))
    p = f["page"]
    counts = tuple(p.get(k) for k in ("runPassed", "runFailed", "dayPassed", "dayFailed"))
    if counts != ("15", "1", "15", "1"):
        out.append("counters (run, day) %r, expected 15/1 15/1" % (counts,))
    if p.get("busy") != "false" or p.get("running") != "false":
        out.append("the page still shows a run (busy %s, running %s)" % (p.get("busy"), p.get("running")))
    if [x["name"] for x in f["failures"]] != ["COM7"] or \
            "loopback test failed: -9" not in f["failures"][0]["text"]:
        out.append("last failures %r, expected COM7's loopback test" % f["failures"])
    return out


def run_ended():
    return any(l.rstrip("\n") == "end" for l in open(cli_out, encoding="latin-1"))


b = Browser()
again = None
try:
    b.call("Page.navigate", {"url": url + "board/#token=" + token})
    wait_for("the page connected", lambda f: f["page"].get("connected") == "true", 20, needed=True)
    # The downloads: tiles running, with their block counts.
    running = wait_for(
        "a tile showing RUNNING with a block count",
        lambda f: any(t.get("verdict") == "running" and t.get("words") == "RUNNING" and
                      0 < int(t.get("block", 0)) <= int(t.get("blocks", 0))
                      for t in f["tiles"]), 60)
    b.shot("board-running.png")
    if running["page"].get("running") != "true":
        errors.append("during the run the page says running=%s" % running["page"].get("running"))
    end = time.time() + 240
    while not run_ended() and time.time() < end:
        time.sleep(0.5)
    if not run_ended():
        errors.append("the run did not end within 240 s")
    records = read_records(db)
    if len(records) != 16:
        errors.append("%d records, expected 16" % len(records))
    last = [None]

    def settled(f):
        last[0] = ended_problems(f, records)
        return not last[0]
    wait_for("the page showing the ended run", settled, 15)
    errors.extend(last[0])
    b.shot("board-ended.png")
    # Loaded afresh, the page shows the same from the station's state alone.
    b.eval("window.oldPage = true")
    b.call("Page.reload", {"ignoreCache": True})
    end = time.time() + 20
    while time.time() < end and not b.eval("!window.oldPage && document.readyState == 'complete'"):
        time.sleep(0.1)
    wait_for("the reloaded page showing the ended run", settled, 15)
    errors.extend("reloaded: " + e for e in last[0])

    # The station goes away: the page says so.
    os.kill(int(cli_pid), signal.SIGTERM)
    f = wait_for("the page saying it is disconnected",
                 lambda f: f["page"].get("connected") == "false" and "NOT CONNECTED" in f["banner"], 30)
    b.shot("board-disconnected.png")
    # A station on the same port again: the page finds it by itself.
    end = time.time() + 20
    while time.time() < end:
        try:
            if open("/proc/%s/stat" % cli_pid).read().rsplit(")", 1)[1].split()[0] == "Z":
                break
            time.sleep(0.2)
        except OSError:
            break
    again = subprocess.Popen(again_cmd, stdout=open(os.path.join(work, "again.out"), "w"),
                             stderr=open(os.path.join(work, "again.err"), "w"))
    wait_for("the page connected to the new station",
             lambda f: f["page"].get("connected") == "true" and f["page"].get("running") == "false", 30)
except RuntimeError as e:
    errors.append(str(e))
except Stop:
    pass
finally:
    b.close()
    if again:
        again.terminate()
        try:
            again.wait(30)
        except subprocess.TimeoutExpired:
            again.kill()
            errors.append("the second station did not end after SIGTERM")
for e in errors:
    print("FAIL:", e)
sys.exit(1 if errors else 0)
EOF
kill -TERM "$CLI_PID" 2>/dev/null  # the browser's part stops it; here if that part did not get so far
RC=0
wait "$CLI_PID" || RC=$?
CLI_PID=""
pl_stop_sim
[ "$failures" = 0 ] || { pl_dump "$name" "$data"; cat "$WORK/again.err" >&2 2>/dev/null; }
echo "line board: screenshots in $shots"
pl_finish "line board in a browser"
