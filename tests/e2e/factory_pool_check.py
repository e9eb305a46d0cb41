# Checks the factory pool's table of handed-out addresses against what the stations
# showed and what their simulated devices hold. Arguments: the CSV of factory-db
# addresses, then one directory per station run with run.out, report.txt and mode
# ("done": ran to its end with the database up; "killed" or "dbstop": cut short),
# start and end (UTC times around the run: the rows taken in between are its own), and
# "continuous" in a continuous production run's directory.
#   - every address a device holds is recorded as taken by that station's port, so no
#     address is in two devices and none comes from outside the database;
#   - "programmed" means the device holds the address and its port showed the %GLM
#     answer; "failed" means the port showed the failure; "unverified" (the device
#     accepted the address, nothing confirmed it) that the port did not show OK;
#     "taken" (outcome never recorded) only where the station was killed or lost the
#     database.
import csv
import os
import sys

from devices_report import last_status, read_report

rows = list(csv.DictReader(open(sys.argv[1])))
errors = []
holders = {}
for run in sys.argv[2:]:
    station = os.path.basename(run.rstrip("/")).split(".")[0]
    mode = open(os.path.join(run, "mode")).read().strip()
    reports = read_report(os.path.join(run, "report.txt"))
    status = last_status(os.path.join(run, "run.out"))
    start = open(os.path.join(run, "start")).read().strip()
    end = open(os.path.join(run, "end")).read().strip()
    mine = {r["mac"]: r for r in rows
            if r["station"] == station and start <= r["taken_at"] <= end}
    if os.path.exists(os.path.join(run, "continuous")):
        # Continuous production: a slot held many units, each with its own address
        # (the report's "unit N ... mac-programmed=MAC" lines); the cells show only the
        # last unit, so what is checked is that every address a unit holds is this
        # station's port's, and no address is held twice.
        com = None
        for line in open(os.path.join(run, "report.txt"), encoding="latin-1"):
            if line.startswith("device "):
                com = line.split()[1]
            elif line.startswith("unit ") and com:
                fields = dict(f.split("=", 1) for f in line.split()[2:] if "=" in f)
                mac = fields.get("mac-programmed", "none")
                if mac == "none":
                    continue
                holders.setdefault(mac, []).append("%s %s" % (run, com))
                row = mine.get(mac)
                if row is None or row["port"] != com:
                    errors.append("%s %s holds %s, which the database does not record as "
                                  "taken by it" % (run, com, mac))
        continue
    for com, rep in reports.items():
        mac = rep.get("mac-programmed", "none")
        if mac == "none":
            continue
        holders.setdefault(mac, []).append("%s %s" % (run, com))
        row = mine.get(mac)
        if row is None or row["port"] != com:
            errors.append("%s %s holds %s, which the database does not record as taken by it"
                          % (run, com, mac))
    for mac, row in mine.items():
        if row["run_id"] == "" or row["taken_at"] == "":
            errors.append("%s: %s recorded without run or time" % (run, mac))
        com = row["port"]
        last = status.get(int(com[3:]) - 1, "")
        held = reports.get(com, {}).get("mac-programmed")
        state = row["state"]
        if state == "programmed":
            if held != mac or last != "%s: %%GLM %s\\r OK" % (com, mac):
                errors.append("%s: %s programmed, but %s holds %s and showed '%s'"
                              % (run, mac, com, held, last))
        elif state == "failed":
            if "program MAC failed" not in last and "Exception" not in last:
                errors.append("%s: %s failed, but %s showed '%s'" % (run, mac, com, last))
        elif state == "unverified":
            if last == "%s: %%GLM %s\\r OK" % (com, mac):
                errors.append("%s: %s unverified, but %s showed '%s'" % (run, mac, com, last))
        elif state == "taken":
            if mode == "done":
                errors.append("%s: %s left without an outcome (%s showed '%s')"
                              % (run, mac, com, last))
        else:
            errors.append("%s: %s in state %s" % (run, mac, state))
for mac, who in holders.items():
    if len(who) > 1:
        errors.append("%s is held by %s" % (mac, ", ".join(who)))
for e in errors:
    print("FAIL:", e)
sys.exit(1 if errors else 0)
