#include "records/Spool.h"

#include <cerrno>
#include <cstdint>

#include "platform/Files.h"
#include "platform/Paths.h"
#include "records/RecordText.h"

namespace {

constexpr const char* kHeader = "# production-tool spool 1";
// Fields added at the end of a record's line since the first stations: link_address,
// cycle, then serial, rework, check_in and check_out, then job_name, job_version and
// job_digest.
constexpr size_t kAddedFields = 9;
// An event's line starts with a NULL (a record's starts with its station) and this.
constexpr const char* kEventTag = "event";
constexpr size_t kEventFields = 11;
// An audit entry's line likewise.
constexpr const char* kAuditTag = "audit";
constexpr size_t kAuditFields = 9;

std::optional<int64_t> Int(const std::optional<std::string>& v) {
  if (!v || v->empty() || v->size() > 19) return std::nullopt;
  size_t i = (*v)[0] == '-' ? 1 : 0;
  if (i == v->size()) return std::nullopt;
  int64_t n = 0;
  for (; i < v->size(); i++) {
    const char c = (*v)[i];
    if (c < '0' || c > '9') return std::nullopt;
    n = n * 10 + (c - '0');
  }
  return (*v)[0] == '-' ? -n : n;
}

std::string Text(const std::optional<std::string>& v) {
  return v.value_or("");
}

}  // namespace

std::string SpoolLine(const SpoolFields& fields) {
  std::string line;
  for (size_t i = 0; i < fields.size(); i++) {
    if (i) line += '\t';
    if (!fields[i]) {
      line += "\\N";
      continue;
    }
    for (char c : *fields[i]) {
      switch (c) {
        case '\\':
          line += "\\\\";
          break;
        case '\t':
          line += "\\t";
          break;
        case '\n':
          line += "\\n";
          break;
        case '\r':
          line += "\\r";
          break;
        default:
          line += c;
      }
    }
  }
  return line;
}

bool ParseSpoolLine(const std::string& line, SpoolFields* fields) {
  fields->clear();
  std::string field;
  bool isNull = false;
  for (size_t i = 0; i <= line.size(); i++) {
    if (i == line.size() || line[i] == '\t') {
      fields->push_back(isNull ? std::nullopt : std::optional<std::string>(field));
      field.clear();
      isNull = false;
      continue;
    }
    const char c = line[i];
    if (isNull) return false;  // "\N" is a field of its own
    if (c != '\\') {
      field += c;
      continue;
    }
    if (++i == line.size()) return false;
    switch (line[i]) {
      case '\\':
        field += '\\';
        break;
      case 't':
        field += '\t';
        break;
      case 'n':
        field += '\n';
        break;
      case 'r':
        field += '\r';
        break;
      case 'N':
        if (!field.empty()) return false;
        isNull = true;
        break;
      default:
        return false;
    }
  }
  return true;
}

int ReadSpool(const std::string& path, std::vector<SpoolFields>* entries) {
  entries->clear();
  if (NothingAt(path)) return 0;
  InputFile in;
  std::string text;
  int e = in.Open(path);
  if (e == 0) e = in.ReadAll(kMaxSpoolBytes, &text);
  if (e != 0) return e;
  if (text.empty()) return 0;
  size_t pos = 0;
  bool first = true;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) return EINVAL;  // cut short: not written by WriteSpool
    const std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    if (first) {
      if (line != kHeader) return EINVAL;
      first = false;
      continue;
    }
    SpoolFields fields;
    if (!ParseSpoolLine(line, &fields)) return EINVAL;
    entries->push_back(std::move(fields));
  }
  return 0;
}

int WriteSpool(const std::string& path, const std::vector<SpoolFields>& entries, size_t* dropped) {
  std::vector<std::string> lines;
  size_t bytes = std::string(kHeader).size() + 1;
  size_t keep = 0;
  // The newest entries (the end of the list) are kept when not all fit.
  for (size_t i = entries.size(); i-- > 0;) {
    std::string line = SpoolLine(entries[i]) + "\n";
    if (bytes + line.size() > kMaxSpoolBytes) break;
    bytes += line.size();
    lines.push_back(std::move(line));
    keep++;
  }
  if (dropped) *dropped = entries.size() - keep;
  std::string text = std::string(kHeader) + "\n";
  for (size_t i = lines.size(); i-- > 0;) text += lines[i];
  return ReplaceFile(path, text.data(), text.size());
}

SpoolFields RecordFields(const UnitRecord& record) {
  return RecordValues(record);
}

bool RecordFromFields(const SpoolFields& fields, UnitRecord* out) {
  // Lines of older stations end before the fields added since: at fail_code (before
  // the loopback test's answering address was recorded: NULL) or at link_address
  // (before cycles: a batch run's record, cycle 0).
  const size_t columns = RecordColumns().size();
  if (fields.size() > columns || fields.size() < columns - kAddedFields) return false;
  SpoolFields v = fields;
  v.resize(columns);
  UnitRecord r;
  size_t i = 0;
  r.station = Text(v[i++]);
  r.runId = Text(v[i++]);
  r.port = Text(v[i++]);
  r.portIndex = static_cast<int>(Int(v[i++]).value_or(0));
  r.portDevice = Text(v[i++]);
  int64_t ms = 0;
  if (!ParseUtcMs(Text(v[i++]), &ms)) return false;
  r.startedMs = ms;
  if (ParseUtcMs(Text(v[i++]), &ms)) r.endedMs = ms;
  r.steps = Text(v[i++]);
  r.consoleBaud = static_cast<int>(Int(v[i++]).value_or(0));
  for (ImageRecord* image : {&r.firmware, &r.eeprom}) {
    image->path = Text(v[i++]);
    image->fileBytes = Int(v[i++]).value_or(-1);
    image->sentBytes = Int(v[i++]).value_or(-1);
    image->sha256 = Text(v[i++]);
  }
  r.tempMac = Text(v[i++]);
  r.mac = Text(v[i++]);
  r.macSource = Text(v[i++]);
  r.macReported = Text(v[i++]);
  if (auto c = Int(v[i++])) r.macConfirmed = *c != 0;
  r.stage = static_cast<int>(Int(v[i++]).value_or(0));
  r.verdict = Text(v[i++]);
  r.lastStatus = Text(v[i++]);
  r.failStep = Text(v[i++]);
  if (auto c = Int(v[i++])) r.failCode = static_cast<int>(*c);
  r.linkAddress = Text(v[i++]);
  // The cycle is part of the key: a field that is no cycle number is no record.
  const auto cycle = Int(v[i]);
  if (v[i] && (!cycle || *cycle < 0 || *cycle > INT32_MAX)) return false;
  r.cycle = static_cast<int>(cycle.value_or(0));
  i++;
  r.serial = Text(v[i++]);
  r.rework = Int(v[i++]).value_or(0) != 0;
  r.checkIn = Text(v[i++]);
  r.checkOut = Text(v[i++]);
  r.jobName = Text(v[i++]);
  r.jobVersion = Text(v[i++]);
  r.jobDigest = Text(v[i++]);
  if (r.station.empty() || r.runId.empty() || r.port.empty()) return false;
  *out = std::move(r);
  return true;
}

SpoolFields EventFields(const UnitEvent& event) {
  SpoolFields fields{std::nullopt, std::string(kEventTag)};
  fields.push_back(event.station);
  fields.push_back(event.runId);
  fields.push_back(event.port);
  fields.push_back(std::to_string(event.cycle));
  fields.push_back(event.serial);
  fields.push_back(event.mac);
  fields.push_back(FormatUtcMs(event.atMs));
  fields.push_back(event.kind);
  fields.push_back(event.where);
  fields.push_back(std::string(event.ok ? "1" : "0"));
  fields.push_back(event.text);
  return fields;
}

bool IsEventFields(const SpoolFields& fields) {
  return fields.size() >= 2 && !fields[0] && fields[1] == std::string(kEventTag);
}

bool EventFromFields(const SpoolFields& fields, UnitEvent* out) {
  if (!IsEventFields(fields) || fields.size() != 2 + kEventFields) return false;
  for (size_t i = 2; i < fields.size(); i++) {
    if (!fields[i]) return false;
  }
  UnitEvent e;
  size_t i = 2;
  e.station = *fields[i++];
  e.runId = *fields[i++];
  e.port = *fields[i++];
  const auto cycle = Int(fields[i++]);
  if (!cycle || *cycle < 0 || *cycle > INT32_MAX) return false;
  e.cycle = static_cast<int>(*cycle);
  e.serial = *fields[i++];
  e.mac = *fields[i++];
  if (!ParseUtcMs(*fields[i++], &e.atMs)) return false;
  e.kind = *fields[i++];
  e.where = *fields[i++];
  e.ok = *fields[i++] == "1";
  e.text = *fields[i++];
  if (e.station.empty() || e.runId.empty() || e.port.empty() || e.kind.empty()) return false;
  *out = std::move(e);
  return true;
}

SpoolFields AuditFields(const AuditEntry& a) {
  return {std::nullopt, std::string(kAuditTag),        a.station, FormatUtcMs(a.atMs), a.user,
          a.kind,       std::string(a.ok ? "1" : "0"), a.text,    a.jobName,           a.jobVersion,
          a.jobDigest};
}

bool IsAuditFields(const SpoolFields& fields) {
  return fields.size() >= 2 && !fields[0] && fields[1] == std::string(kAuditTag);
}

bool AuditFromFields(const SpoolFields& fields, AuditEntry* out) {
  if (!IsAuditFields(fields) || fields.size() != 2 + kAuditFields) return false;
  for (size_t i = 2; i < fields.size(); i++) {
    if (!fields[i]) return false;
  }
  AuditEntry a;
  size_t i = 2;
  a.station = *fields[i++];
  if (!ParseUtcMs(*fields[i++], &a.atMs)) return false;
  a.user = *fields[i++];
  a.kind = *fields[i++];
  a.ok = *fields[i++] == "1";
  a.text = *fields[i++];
  a.jobName = *fields[i++];
  a.jobVersion = *fields[i++];
  a.jobDigest = *fields[i++];
  if (a.station.empty() || a.kind.empty()) return false;
  *out = std::move(a);
  return true;
}
