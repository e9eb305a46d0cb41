#!/usr/bin/env bash
# Approved jobs end to end on four simulated devices inside a private network
# namespace: a production station (station.conf mode = production) whose job is a job
# package signed by the engineer's key.
#  - a package with one byte changed in an image, in the manifest or in the signature,
#    and one signed by a key the station does not trust, are refused before any port
#    starts, naming the package and the reason;
#  - the operator's job options (production-cli) and the service's job change are
#    refused; a wrong engineer password is refused, the right one opens engineer mode
#    and another package can be loaded;
#  - the approved package runs: the devices get the package's images even though the
#    image files were changed on disk, and every record names the package;
#  - a re-flash package (EEPROM without MAC programming) leaves the units with their
#    temporary address: none is counted as passed;
#  - production-records audit lists each of these.
#   test_job_packages.sh <build dir> <source dir>
set -uo pipefail
BUILD="$1"
SRC="$2"
# shellcheck source=lib_pipeline.bash
source "$SRC/tests/e2e/lib_pipeline.bash"
pl_enter "$BUILD" "$SRC" "$(realpath "$0")"

JT="$BUILD/job-tool"
data="$WORK/station"
pl_make_data "$data" "$PL_POOL"
cp "$data/sample.vff" "$WORK/approved.vff"
cp "$data/sample.vef" "$WORK/approved.vef"
mkdir -p "$data/trusted-keys"
{ "$JT" keygen --out "$WORK/engineer" && "$JT" keygen --out "$WORK/stranger"; } > /dev/null ||
  { fail "job-tool keygen"; pl_finish "job packages"; }
cp "$WORK/engineer.pub" "$data/trusted-keys/"
job=(--name Board --version 3 --eeprom "$WORK/approved.vef" --firmware "$WORK/approved.vff"
     --loopback --mac pool)
"$JT" create --key "$WORK/engineer.key" "${job[@]}" --out "$WORK/good.ptjob" > /dev/null &&
  "$JT" create --key "$WORK/engineer.key" --name Board --version 4 --firmware "$WORK/approved.vff" \
    --out "$WORK/other.ptjob" > /dev/null &&
  "$JT" create --key "$WORK/engineer.key" --name Reflash --version 1 --eeprom "$WORK/approved.vef" \
    --reflash --out "$WORK/reflash.ptjob" > /dev/null &&
  "$JT" create --key "$WORK/stranger.key" "${job[@]}" --out "$WORK/untrusted.ptjob" > /dev/null ||
  fail "job-tool create"
"$JT" create --key "$WORK/engineer.key" --name Unmarked --version 1 --eeprom "$WORK/approved.vef" \
  --out "$WORK/unmarked.ptjob" > "$WORK/unmarked.txt" 2>&1 &&
  fail "job-tool create made an EEPROM job without MAC programming that is not marked re-flash"
grep -q "reflash" "$WORK/unmarked.txt" || fail "unmarked EEPROM job: no reason given: $(cat "$WORK/unmarked.txt")"
# One byte changed after signing: in the firmware image (its last section), in the
# manifest (the job's name), in the signature's value.
python3 - "$WORK" <<'PY' || fail "making the changed packages"
import sys
work = sys.argv[1]
good = open(work + "/good.ptjob", "rb").read()
def changed(name, at):
    b = bytearray(good)
    b[at] ^= 0x01
    open("%s/%s.ptjob" % (work, name), "wb").write(bytes(b))
changed("image", len(good) - 10)
changed("manifest", good.index(b'"Board"') + 2)
sig = good.index(b'"value":"') + len('"value":"') + 5
changed("signature", sig)
PY
printf 'the engineer\n' | "$JT" password --iterations 10000 > "$WORK/password.line" ||
  fail "job-tool password"
printf 'a guess\n' > "$WORK/wrong.pw"
printf 'the engineer\n' > "$WORK/right.pw"
chmod 600 "$WORK/wrong.pw" "$WORK/right.pw"
conf() {  # conf <package>: the production station's settings
  { echo "mode = production"
    echo "station-name = packages-e2e"
    echo "job-package = $WORK/$1.ptjob"
    cat "$WORK/password.line"; } > "$data/station.conf"
}
pl_start_sim "$data" 4

# ---- refused before any port starts ----
for bad in image:"does not match the manifest" manifest:"signature does not verify" \
           signature:"signature" untrusted:"does not trust"; do
  pkg="${bad%%:*}" reason="${bad#*:}"
  conf "$pkg"
  pl_run "bad-$pkg" "$WIDE" --dir "$data"
  [ "$RC" = 2 ] || fail "$pkg: exit status $RC, expected 2"
  grep -q "job package $WORK/$pkg.ptjob: .*$reason" "$WORK/bad-$pkg.err" ||
    fail "$pkg: the refusal names neither the package nor '$reason': $(cat "$WORK/bad-$pkg.err")"
  grep -q '^status ' "$WORK/bad-$pkg.out" && fail "$pkg: a port started: $(grep -m1 '^status ' "$WORK/bad-$pkg.out")"
done

# ---- the operator changes nothing; the engineer's password opens engineer mode ----
conf good
pl_run operator "$WIDE" --dir "$data" --no-loopback
[ "$RC" = 2 ] || fail "operator's job option: exit status $RC, expected 2"
grep -q "changing it needs engineer mode" "$WORK/operator.err" || fail "operator: $(cat "$WORK/operator.err")"
pl_run wrongpw "$WIDE" --dir "$data" --engineer-password-file "$WORK/wrong.pw" --package "$WORK/other.ptjob"
[ "$RC" = 2 ] && grep -q "Wrong password" "$WORK/wrongpw.err" || fail "wrong password: RC $RC $(cat "$WORK/wrongpw.err")"
timeout -k 10 120 "$WIDE" --dir "$data" --serve 127.0.0.1:0 > "$WORK/serve.out" 2> "$WORK/serve.err" &
SERVE_PID=$!
URL=""
for _ in $(seq 200); do
  URL="$(sed -n 's|^service \(http://127\.0\.0\.1:[0-9]*\)/$|\1|p' "$WORK/serve.out")"
  [ -n "$URL" ] && break
  sleep 0.1
done
python3 - "$URL" "$WORK" <<'PY' || fail "service (see above)"
import json, sys, urllib.error, urllib.request
url, work = sys.argv[1:3]
def call(method, path, body=None):
    data = None if body is None else json.dumps(body).encode()
    req = urllib.request.Request(url + path, data=data, method=method,
                                 headers={"Content-Type": "application/json"})
    try:
        with urllib.request.urlopen(req, timeout=10) as r:
            return r.status, json.loads(r.read() or b"null")
    except urllib.error.HTTPError as e:
        return e.code, json.loads(e.read() or b"null")
errors = []
def expect(what, got, status, text=""):
    code, body = got
    if code != status or text not in json.dumps(body):
        errors.append("%s: %s %s (expected %s with '%s')" % (what, code, body, status, text))
    return body
job = expect("state", call("GET", "/api/v1/job"), 200)
if job.get("mode") != "production" or (job.get("package") or {}).get("version") != "3":
    errors.append("job: %s" % job)
expect("PUT job", call("PUT", "/api/v1/job", {"loopback": False}), 409, "needs engineer mode")
expect("package in production mode", call("POST", "/api/v1/package", {"path": work + "/other.ptjob"}), 422,
       "needs engineer mode")
expect("wrong password", call("POST", "/api/v1/engineer", {"password": "guess"}), 403, "Wrong password")
expect("right password", call("POST", "/api/v1/engineer", {"password": "the engineer"}), 200, "engineer")
body = expect("package in engineer mode", call("POST", "/api/v1/package", {"path": work + "/other.ptjob"}), 200)
if (body.get("package") or {}).get("version") != "4":
    errors.append("package after the load: %s" % body)
expect("leave engineer mode", call("DELETE", "/api/v1/engineer"), 200, "production")
for e in errors:
    print("FAIL:", e)
sys.exit(1 if errors else 0)
PY
kill -TERM "$SERVE_PID" 2>/dev/null
wait "$SERVE_PID" 2>/dev/null

# ---- the approved package runs its own bytes ----
head -c 3000 /dev/urandom > "$data/sample.vff"  # changed on disk: changes nothing
pl_run approved "$WIDE" --dir "$data"
[ "$RC" = 0 ] || { pl_dump approved "$data"; fail "approved package: exit status $RC, expected 0"; }
cp "$WORK/approved.vff" "$data/sample.vff"
pl_stop_sim  # the devices write their report
pl_check_devices approved "$data" 1,2,3,4 04:22:D1,04:22:D2,04:22:D3,04:22:D4 || fail "approved package: devices"
sha="$(sha256sum "$WORK/good.ptjob" | cut -d' ' -f1)"
python3 - "$data/records.db" "$sha" <<'PY' || fail "approved package: records"
import sqlite3, sys
db = sqlite3.connect(sys.argv[1])
rows = db.execute("SELECT port, verdict, job_name, job_version, job_digest FROM units "
                  "WHERE job_version = '3' ORDER BY port").fetchall()
ok = len(rows) == 4 and all(r[1] == "passed" and r[2] == "Board" and r[4] == sys.argv[2] for r in rows)
print("" if ok else "FAIL: records %s" % rows)
sys.exit(0 if ok else 1)
PY

# ---- a re-flash leaves the temporary address: never passed ----
conf reflash
pl_start_sim "$data" 4
pl_run reflash "$WIDE" --dir "$data"
python3 - "$data/records.db" <<'PY' || { pl_dump reflash "$data"; fail "re-flash: records"; }
import sqlite3, sys
db = sqlite3.connect(sys.argv[1])
rows = db.execute("SELECT port, verdict, temp_mac FROM units WHERE job_name = 'Reflash'").fetchall()
ok = len(rows) == 4 and all(r[1] == "temporary-mac" and r[2].startswith("02:5C:3A:FF:FF:") for r in rows)
print("" if ok else "FAIL: re-flash records %s" % rows)
sys.exit(0 if ok else 1)
PY

# ---- the audit trail ----
"$BUILD/production-records" --dir "$data" audit > "$WORK/audit.txt" 2>&1 || fail "production-records audit: $(cat "$WORK/audit.txt")"
for want in "package-check.*refused.*image.ptjob" "package-check.*refused.*manifest.ptjob" \
            "package-check.*refused.*signature.ptjob" "package-check.*refused.*untrusted.ptjob" \
            "\(cli\)  job-change  refused" "\(api\)  job-change  refused" \
            "\(cli\)  password-failed" "\(api\)  password-failed" \
            "\(api\)  mode-change .*engineer mode entered" "job-load .*Board 4" \
            "job-load.*Reflash 1"; do
  grep -Eq -- "$want" "$WORK/audit.txt" || fail "audit trail: no line like '$want'"
done
[ "$failures" = 0 ] || cat "$WORK/audit.txt" >&2
pl_finish "job packages"
