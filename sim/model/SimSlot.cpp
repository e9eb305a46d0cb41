#include "sim/model/SimSlot.h"

#include <cstdio>
#include <cstdlib>

#include "platform/Clock.h"

namespace {
constexpr uint32_t kMaxPlanMs = 24u * 3600 * 1000;

// "1500", "1500ms", "30s", "2m" -> milliseconds (at most a day).
bool ParseMs(const std::string& s, uint32_t* out) {
  size_t digits = 0;
  while (digits < s.size() && s[digits] >= '0' && s[digits] <= '9') ++digits;
  if (digits == 0 || digits > 9) return false;
  const std::string unit = s.substr(digits);
  uint64_t v = std::strtoull(s.substr(0, digits).c_str(), nullptr, 10);
  if (unit == "s") {
    v *= 1000;
  } else if (unit == "m") {
    v *= 60000;
  } else if (!unit.empty() && unit != "ms") {
    return false;
  }
  if (v > kMaxPlanMs) return false;
  *out = static_cast<uint32_t>(v);
  return true;
}

std::vector<std::string> Split(const std::string& s, char sep) {
  std::vector<std::string> out;
  size_t from = 0;
  for (;;) {
    const size_t at = s.find(sep, from);
    out.push_back(s.substr(from, at - from));
    if (at == std::string::npos) return out;
    from = at + 1;
  }
}
}  // namespace

const char* RemovalName(Removal how) { return how == Removal::Vanish ? "vanish" : "silent"; }

bool ParseSwapEvents(const std::string& text, SwapPlan* plan, std::string* error) {
  auto bad = [&](const std::string& why) {
    if (error) *error = "swap \"" + text + "\": " + why;
    return false;
  };
  std::vector<SwapPlan::Event> add;
  for (const std::string& item : Split(text, ',')) {
    const size_t at = item.find('@');
    if (at == std::string::npos) return bad("expected remove@T, vanish@T or insert@T");
    const std::string name = item.substr(0, at);
    SwapPlan::Event e{};
    if (name == "remove") {
      e.what = SwapPlan::What::RemoveSilent;
    } else if (name == "vanish") {
      e.what = SwapPlan::What::RemoveVanish;
    } else if (name == "insert") {
      e.what = SwapPlan::What::Insert;
    } else {
      return bad("unknown event \"" + name + "\"");
    }
    if (!ParseMs(item.substr(at + 1), &e.atMs))
      return bad("time \"" + item.substr(at + 1) + "\": MS, MSms, Ss or Mm, at most a day");
    add.push_back(e);
  }
  if (plan->events.size() + add.size() > 1000) return bad("more than 1000 events for one port");
  for (const auto& e : add) {
    auto pos = plan->events.begin();
    while (pos != plan->events.end() && pos->atMs <= e.atMs) ++pos;
    plan->events.insert(pos, e);
  }
  return true;
}

bool ParseShift(const std::string& text, SwapPlan* plan, std::string* error) {
  auto bad = [&](const std::string& why) {
    if (error) *error = "shift \"" + text + "\": " + why;
    return false;
  };
  const std::vector<std::string> items = Split(text, ',');
  SwapPlan p = *plan;
  if (!ParseMs(items[0], &p.shiftMs) || p.shiftMs == 0)
    return bad("needs the handling time, from 1 ms to a day");
  for (size_t i = 1; i < items.size(); ++i) {
    const std::string& item = items[i];
    const size_t eq = item.find('=');
    const std::string key = item.substr(0, eq);
    const std::string value = eq == std::string::npos ? std::string() : item.substr(eq + 1);
    if (item == "vanish") {
      p.shiftVanish = true;
    } else if (key == "gap" && eq != std::string::npos) {
      if (!ParseMs(value, &p.shiftGapMs)) return bad("gap needs a time, at most a day");
    } else if (key == "units" && eq != std::string::npos) {
      char* end = nullptr;
      const long n = std::strtol(value.c_str(), &end, 10);
      if (value.empty() || *end != '\0' || n < 1 || n > SimSlot::kMaxUnits)
        return bad("units needs a count from 1 to " + std::to_string(SimSlot::kMaxUnits));
      p.shiftUnits = static_cast<int>(n);
    } else if (key == "after" && value == "firmware") {
      p.shiftAfter = DeviceModel::Given::Firmware;
    } else if (key == "after" && value == "eeprom") {
      p.shiftAfter = DeviceModel::Given::Eeprom;
    } else if (key == "after" && value == "mac") {
      p.shiftAfter = DeviceModel::Given::Mac;
    } else {
      return bad("unknown part \"" + item + "\"");
    }
  }
  *plan = p;
  return true;
}

std::string SwapHelp() {
  return "  --swap PORT:EVENTS   units taken out and put in at fixed times; PORT is COM<n>\n"
         "                   or all, EVENTS a comma list of remove@T (the cable stays and\n"
         "                   goes silent), vanish@T (the port disappears with the unit)\n"
         "                   and insert@T (a fresh unit, powered on); T counts from the\n"
         "                   start, in ms or with ms, s or m (remove@30s,insert@38s);\n"
         "                   may be repeated\n"
         "  --shift MS[,gap=MS][,units=N][,after=firmware|eeprom|mac][,vanish]\n"
         "                   every port: MS after the station is done with its unit (it\n"
         "                   took its address, or what after= names, and has started its\n"
         "                   firmware since the last thing it took) the unit is taken\n"
         "                   out (silent, or vanish), and gap later (default 3 s) a\n"
         "                   fresh one put in; units=N: N units per port in all\n";
}

bool UnitMac(const std::string& first, int n, std::string* out) {
  std::string mac;
  if (n < 0 || !NormaliseMac(first, &mac)) return false;
  unsigned b[6];
  if (std::sscanf(mac.c_str(), "%2x:%2x:%2x:%2x:%2x:%2x", &b[0], &b[1], &b[2], &b[3], &b[4],
                  &b[5]) != 6)
    return false;
  const unsigned v = (b[2] << 8 | b[3]) + static_cast<unsigned>(n);
  if (v > 0xffff) return false;
  char t[24];
  std::snprintf(t, sizeof t, "%02X:%02X:%02X:%02X:%02X:%02X", b[0], b[1], v >> 8, v & 0xff, b[4],
                b[5]);
  *out = t;
  return true;
}

SimSlot::SimSlot(SimOptions first, DeviceModel::Sink sink)
    : opt_(std::move(first)), sink_(std::move(sink)) {
  if (!NormaliseMac(opt_.mac, &firstMac_)) firstMac_ = "02:5C:3A:00:00:01";
  opt_.mac = firstMac_;
  unit_ = std::make_unique<DeviceModel>(opt_, sink_);
}

void SimSlot::PowerOn(uint32_t nowMs) {
  if (!started_) {
    started_ = true;
    startMs_ = nowMs;
  }
  if (unit_) unit_->PowerOn(nowMs);
}

bool SimSlot::Remove(Removal how, uint32_t nowMs) {
  if (!unit_) return false;
  SimReport r = unit_->Report();
  r.unit = static_cast<int>(past_.size()) + 1;
  r.removed = RemovalName(how);
  // What stays of a unit taken out: its facts and the digests of its images.
  std::vector<uint8_t>().swap(r.firmware);
  std::vector<uint8_t>().swap(r.eeprom);
  std::vector<std::string>().swap(r.commands);
  past_.push_back(std::move(r));
  unit_.reset();
  lastRemoval_ = how;
  removedAt_ = nowMs;
  doneSeen_ = false;
  return true;
}

bool SimSlot::Insert(uint32_t nowMs) {
  if (unit_ || UnitsHeld() >= kMaxUnits) return false;
  SimOptions o = opt_;
  if (!UnitMac(firstMac_, UnitsHeld(), &o.mac)) return false;
  unit_ = std::make_unique<DeviceModel>(std::move(o), sink_);
  doneSeen_ = false;
  PowerOn(nowMs);
  return true;
}

void SimSlot::SetTcpPort(uint16_t port) {
  opt_.tcpPort = port;
  if (unit_) unit_->SetTcpPort(port);
}

void SimSlot::Observe(uint32_t nowMs) {
  if (!unit_ || plan_.shiftMs == 0) return;
  if (!unit_->Programmed(plan_.shiftAfter)) {
    doneSeen_ = false;
  } else if (!doneSeen_) {
    doneSeen_ = true;
    doneAt_ = nowMs;
  }
}

bool SimSlot::Due(uint32_t nowMs, SwapPlan::What* what) {
  if (!started_) return false;
  Observe(nowMs);
  if (unit_ && doneSeen_ && TickDiff(nowMs, doneAt_) >= plan_.shiftMs) {
    *what = plan_.shiftVanish ? SwapPlan::What::RemoveVanish : SwapPlan::What::RemoveSilent;
    return true;
  }
  if (!unit_ && plan_.shiftMs > 0 && TickDiff(nowMs, removedAt_) >= plan_.shiftGapMs &&
      (plan_.shiftUnits == 0 || UnitsHeld() < plan_.shiftUnits) && UnitsHeld() < kMaxUnits) {
    *what = SwapPlan::What::Insert;
    return true;
  }
  while (nextEvent_ < plan_.events.size() &&
         TickDiff(nowMs, startMs_) >= plan_.events[nextEvent_].atMs) {
    const SwapPlan::What w = plan_.events[nextEvent_++].what;
    // An insertion into a full slot or a removal from an empty one changes nothing.
    if ((w == SwapPlan::What::Insert) == (unit_ == nullptr)) {
      *what = w;
      return true;
    }
  }
  return false;
}

int64_t SimSlot::MsUntilDue(uint32_t nowMs) {
  if (!started_) return -1;
  Observe(nowMs);
  int64_t next = -1;
  auto take = [&](uint32_t from, uint32_t after) {
    const uint32_t gone = TickDiff(nowMs, from);
    const int64_t left = gone >= after ? 0 : static_cast<int64_t>(after - gone);
    if (next < 0 || left < next) next = left;
  };
  if (unit_ && doneSeen_) take(doneAt_, plan_.shiftMs);
  if (!unit_ && plan_.shiftMs > 0 && (plan_.shiftUnits == 0 || UnitsHeld() < plan_.shiftUnits) &&
      UnitsHeld() < kMaxUnits)
    take(removedAt_, plan_.shiftGapMs);
  if (nextEvent_ < plan_.events.size()) take(startMs_, plan_.events[nextEvent_].atMs);
  return next;
}

SimReport SimSlot::Report() const {
  SimReport r;
  if (unit_) {
    r = unit_->Report();
    r.unit = static_cast<int>(past_.size()) + 1;
  } else if (!past_.empty()) {
    r = past_.back();
    r.state = "empty";
  } else {
    r.name = opt_.name;
    r.state = "empty";
  }
  std::vector<SimReport> units = past_;
  if (unit_) units.push_back(r);
  r.units = std::move(units);
  return r;
}
