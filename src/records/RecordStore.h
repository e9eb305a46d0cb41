#pragma once
// Where production records are kept. One record per unit: per port per run in a batch
// run, per cycle of a port's slot in a continuous run. Which station and run, which
// port and cycle, when, what the job sent, which MAC address the unit got and how the
// run ended for it. The embedded store is SQLite (records/SqliteRecordStore.h); a
// factory-wide store implements the same interface.
//
// A store object is used by one thread at a time (the recorder's writer, or a tool's
// main thread). No routine throws; failures come back as false with a text for the
// operator.
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

// One image of the job on one port.
struct ImageRecord {
  std::string path;        // empty when the job does not download this image
  int64_t fileBytes = -1;  // the file's size when it was sent; -1 not sent
  int64_t sentBytes = -1;  // data bytes the device acknowledged; -1 not sent
  std::string sha256;      // of the bytes sent; empty unless the whole image went through
};

// Verdicts. A record is written "unfinished" when its port's run starts and gets its
// verdict when the port finishes; one left unfinished after its run belongs to a
// station that was killed or lost power in the middle of the run.
constexpr const char* kVerdictUnfinished = "unfinished";
constexpr const char* kVerdictPassed = "passed";
constexpr const char* kVerdictFailed = "failed";
constexpr const char* kVerdictStopped = "stopped";
// Went through every step of a job that downloads the EEPROM image and programs no MAC
// address: the unit left with its port's temporary address (02:5C:3A:FF:FF:xx, the
// record's tempMac), the same on every bench. Never counted as passed, nor as failed.
constexpr const char* kVerdictTemporaryMac = "temporary-mac";

struct UnitRecord {
  // The key: one record per station, run, port and cycle.
  std::string station;
  std::string runId;
  std::string port;  // "COM3"
  // 0: the port's record of a batch run; 1, 2, ...: the units of the port's slot in a
  // continuous run, in the order they were inserted.
  int cycle = 0;
  int portIndex = 0;
  std::string portDevice;  // what COMn maps to: the ports/COMn link target or the device path

  int64_t startedMs = 0;           // UTC milliseconds since 1970
  std::optional<int64_t> endedMs;  // unset while unfinished

  // The job.
  std::string steps;  // the job's steps in order, comma-separated: firmware,eeprom,loopback,mac
  int consoleBaud = 0;
  ImageRecord firmware;
  ImageRecord eeprom;
  std::string tempMac;  // the temporary MAC written into the EEPROM image; empty when none

  // The address.
  std::string mac;          // the address the device was given (pool or assigned); empty when none
  std::string macSource;    // "pool" or "assigned"; empty when none
  std::string macReported;  // the address in the device's "%GLM" answer afterwards
  std::optional<bool> macConfirmed;  // that answer named `mac`; unset when no address was given

  // The outcome.
  int stage = 0;  // the furthest stage the port reached (1..6; the running stage of a failed step)
  std::string verdict = kVerdictUnfinished;
  std::string lastStatus;       // the port's status cell when the record was last written
  std::string failStep;         // failed or stopped: "download", "loopback" or "mac"
  std::optional<int> failCode;  // the number that ends the failure text ("...: %d"), if any

  // The loopback test: the link-layer address that answered its echo ("loopback" for a
  // connection over the loopback interface, which has none); empty when no test got
  // that far.
  std::string linkAddress;

  // Unit identity: the serial the unit was scanned with (empty when the job scans
  // none), whether the operator re-works it, and how its check-in and its check-out
  // went ("" none, "confirmed", "rejected: <reason>", "no answer: <why>"; check-out:
  // "reported", "rejected: ...", "no answer: ...").
  std::string serial;
  bool rework = false;
  std::string checkIn;
  std::string checkOut;

  // The job package the unit was made with: its name, version and the SHA-256 of the
  // package file (64 hex digits); empty when the job is no package.
  std::string jobName, jobVersion, jobDigest;
};

// Something done for a unit after its verdict that is kept beside its record: a label
// printed (or reprinted), a check-out sent. Events are only added, never replaced.
constexpr const char* kEventLabel = "label";
constexpr const char* kEventReprint = "reprint";
constexpr const char* kEventCheckOut = "check-out";

struct UnitEvent {
  // The unit's record this belongs to.
  std::string station;
  std::string runId;
  std::string port;
  int cycle = 0;
  std::string serial;
  std::string mac;
  int64_t atMs = 0;   // UTC milliseconds since 1970
  std::string kind;   // kEventLabel, kEventReprint or kEventCheckOut
  std::string where;  // the printer, spooler queue, file or manufacturing system
  bool ok = false;    // the label was sent / the check-out was taken
  std::string text;   // what the output or the system answered
};

// What the station did with its job, kept beside the unit records (append-only).
constexpr const char* kAuditJobLoad =
    "job-load";  // a job set up (a package loaded, the dialog's job taken)
constexpr const char* kAuditPackageCheck = "package-check";  // a package's verification, ok or not
constexpr const char* kAuditModeChange =
    "mode-change";  // production / engineer mode entered or left
constexpr const char* kAuditPasswordFailed = "password-failed";
constexpr const char* kAuditJobChange =
    "job-change";  // a change of the job, or a refused attempt (ok=false)

struct AuditEntry {
  std::string station;
  int64_t atMs = 0;                            // UTC ms since 1970
  std::string user;                            // who: "<os user> (window|cli|api)"
  std::string kind;                            // one of the above
  bool ok = true;                              // false: refused / failed
  std::string text;                            // what happened, for reading
  std::string jobName, jobVersion, jobDigest;  // the package concerned; empty when none
};

// Records to read. Unset or empty fields match everything.
struct RecordFilter {
  std::optional<int64_t> fromMs;  // started at or after
  std::optional<int64_t> toMs;    // started before
  std::string mac;                // the given address (any letter case)
  std::string station;
  std::string verdict;
  std::optional<int> cycle;  // 0: batch runs' records; N: every slot's Nth unit
  std::string serial;        // the unit's serial (exact)
};

class RecordStore {
 public:
  virtual ~RecordStore() = default;

  // Where the records live, for the operator's messages.
  virtual std::string Describe() const = 0;
  // Opens the store; forWriting creates it (and its tables) when missing, otherwise an
  // existing store is only read.
  virtual bool Open(bool forWriting, std::string* error) = 0;
  virtual bool IsOpen() const = 0;
  virtual void Close() = 0;

  // Writes every record in one transaction: a record whose station, run id, port and
  // cycle are already stored replaces the stored one. True once all are durable.
  virtual bool Write(const std::vector<UnitRecord>& records, std::string* error) = 0;
  // Calls each for every record that matches, oldest start first; each returns false
  // to stop early.
  virtual bool Read(const RecordFilter& filter, const std::function<bool(const UnitRecord&)>& each,
                    std::string* error) = 0;
  // The number of matching records per verdict.
  virtual bool CountVerdicts(const RecordFilter& filter, std::map<std::string, int64_t>* counts,
                             std::string* error) = 0;
  // Adds the events in one transaction. True once all are durable.
  virtual bool WriteEvents(const std::vector<UnitEvent>& events, std::string* error) = 0;
  // Calls each for every event that matches the filter's station, serial, mac and time
  // (when it was done), oldest first; each returns false to stop early. A store from
  // before unit events has none.
  virtual bool ReadEvents(const RecordFilter& filter,
                          const std::function<bool(const UnitEvent&)>& each,
                          std::string* error) = 0;
  // Adds the audit entries in one transaction. True once all are durable.
  virtual bool WriteAudit(const std::vector<AuditEntry>& entries, std::string* error) = 0;
  // Calls each for every audit entry of the filter's station and time (fromMs, toMs:
  // when it was done), oldest first; each returns false to stop early. A store from
  // before the audit trail has none.
  virtual bool ReadAudit(const RecordFilter& filter,
                         const std::function<bool(const AuditEntry&)>& each,
                         std::string* error) = 0;
  // Whether a unit of this serial has been recorded as passed (by any station whose
  // records the store keeps). By default CountVerdicts; a store whose writers may not
  // read the records answers it otherwise.
  virtual bool SerialPassed(const std::string& serial, bool* passed, std::string* error);
  // Where the store's own notices go (a database server's warnings), one line each,
  // called on the thread that uses the store. A store without any ignores it.
  virtual void SetNoticeSink(std::function<void(const std::string&)> /*sink*/) {}
};

// An event of kind for the unit of `unit`'s record (its key, serial and address); the
// rest is the caller's.
UnitEvent EventOfUnit(const UnitRecord& unit, const char* kind);

// Whether a unit of this serial has been recorded as passed before (*passed), from the
// store's records of every station it keeps (store.SerialPassed). False with *error
// when the store could not be read. An empty serial has never passed.
bool SerialPassed(RecordStore& store, const std::string& serial, bool* passed, std::string* error);
