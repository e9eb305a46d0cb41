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
