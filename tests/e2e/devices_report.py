# Reading back what the simulated devices received (devicesim's report) and what the
# station showed (its board lines), shared by the end-to-end scripts.
import hashlib


def read_report(path):
    """{COMn: {key: value, "violation": [...]}} from a devicesim report."""
    reports, cur = {}, None
    for line in open(path, encoding="latin-1").read().splitlines():
        if line.startswith("device "):
            cur = reports.setdefault(line.split()[1], {"violation": []})
        elif line == "end":
            cur = None
        elif cur is not None:
            key, _, value = line.partition(" ")
            if key == "violation":
                cur["violation"].append(value)
            else:
                cur[key] = value
    return reports


def last_status(out_path):
    """{portIndex: text} of the last status line of each port."""
    status = {}
    for line in open(out_path, encoding="latin-1").read().splitlines():
        parts = line.split(" ", 2)
        if parts[0] == "status" and len(parts) == 3:
            status[int(parts[1])] = parts[2]
    return status


def padded(data):
    return data + bytes(-len(data) % 1024)


def check_images(errors, r, com, index, fw, ee):
    """The firmware (padded to whole blocks) and the EEPROM image with the port's
    temporary MAC in bytes 6..11 arrived exactly, and the device refused nothing."""
    want_fw = "%d %s" % (len(fw), hashlib.sha256(fw).hexdigest())
    if r.get("firmware") != want_fw:
        errors.append("%s: firmware %s, expected %s" % (com, r.get("firmware"), want_fw))
    image = bytearray(ee)
    image[6:12] = bytes([255 - index, 0xFF, 0xFF, 0x3A, 0x5C, 0x02])
    want_ee = "%d %s" % (len(image), hashlib.sha256(image).hexdigest())
    if r.get("eeprom") != want_ee:
        errors.append("%s: eeprom %s, expected %s (image with the temporary MAC)"
                      % (com, r.get("eeprom"), want_ee))
    if r.get("eeprom-mac") != "02:5C:3A:FF:FF:%02X" % (255 - index):
        errors.append("%s: eeprom-mac %s" % (com, r.get("eeprom-mac")))
    for v in r["violation"]:
        errors.append("%s: the device refused something: %s" % (com, v))


def read_records(db_path):
    """The station's production records (one dict per row, oldest first), read with
    plain SQL as any other program would."""
    import sqlite3
    con = sqlite3.connect(db_path)
    con.row_factory = sqlite3.Row
    try:
        return [dict(r) for r in con.execute("SELECT * FROM units ORDER BY started_at, id")]
    finally:
        con.close()


def check_passed_records(errors, records, reports, coms, station, link_address="loopback"):
    """One batch run of `station` left exactly one passed record (cycle 0) per listed
    port, and each holds what the device's report says it received and was given, and
    the address that answered its loopback test (devices on the loopback interface:
    "loopback")."""
    runs = {r["run_id"] for r in records}
    if len(runs) != 1:
        errors.append("records of %d runs, expected 1: %s" % (len(runs), sorted(runs)))
    by_port = {}
    for r in records:
        if r["port"] in by_port:
            errors.append("%s: two records" % r["port"])
        by_port[r["port"]] = r
    if sorted(by_port) != sorted(coms):
        errors.append("records of %s, expected %s" % (sorted(by_port), sorted(coms)))
    for com in coms:
        r, d = by_port.get(com), reports.get(com, {})
        if r is None:
            continue
        want = {"station": station, "verdict": "passed", "stage": 6, "mac_source": "pool",
                "mac": d.get("mac-programmed"), "mac_reported": d.get("mac-programmed"),
                "mac_confirmed": 1, "temp_mac": d.get("eeprom-mac"),
                "steps": "firmware,eeprom,loopback,mac", "fail_step": None, "fail_code": None,
                "link_address": link_address, "cycle": 0}
        for image in ("firmware", "eeprom"):
            length, _, digest = d.get(image, "").partition(" ")
            want[image + "_sent"] = int(length) if length.isdigit() else length
            want[image + "_sha256"] = digest
        for key, value in want.items():
            if r[key] != value:
                errors.append("%s: record %s = %r, expected %r" % (com, key, r[key], value))
        if not r["ended_at"] or r["ended_at"] < r["started_at"]:
            errors.append("%s: record ended_at %r" % (com, r["ended_at"]))
        if not r["port_device"].startswith("/dev/pts/"):
            errors.append("%s: record port_device %r, expected the simulator's pty" % (com, r["port_device"]))
