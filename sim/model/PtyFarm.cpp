#include "sim/model/PtyFarm.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "platform/Clock.h"
#include "base/Sha256.h"

namespace {
constexpr size_t kMaxOut = 1u << 20;
// Host bytes read from the pty but not yet across the line; beyond this the farm stops
// reading and the station's writes wait in the pty, as in a serial driver's queue.
constexpr size_t kMaxInFlight = 4096;
// How often the line rate is read again while no bytes come from the station (bytes
// that do come are timed at the rate read just then).
constexpr uint32_t kBaudRefreshMs = 20;

uint64_t NowUs() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

// The rate the station set on the slave side (0 when it cannot be read).
uint32_t LineBaud(int fd) {
  termios t{};
  if (::tcgetattr(fd, &t) != 0) return 0;
  switch (::cfgetospeed(&t)) {
    case B38400:
      return 38400;
    case B57600:
      return 57600;
    case B115200:
      return 115200;
    case B9600:
      return 9600;
    case B19200:
      return 19200;
    case B230400:
      return 230400;
    default:
      return 0;
  }
}

std::string ReadLink(const std::string& path) {
  char buf[4096];
  const ssize_t n = ::readlink(path.c_str(), buf, sizeof buf - 1);
  if (n < 0) return std::string();
  return std::string(buf, static_cast<size_t>(n));
}
}  // namespace

int PtyFarm::OpenPty(Device& d, std::string* error) {
  auto fail = [&](const std::string& step, int err) {
    if (error) *error = d.name + ": " + step + ": " + std::strerror(err);
    ClosePty(d);
    return err;
  };
  d.master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (d.master < 0) return fail("posix_openpt", errno);
  if (::grantpt(d.master) != 0) return fail("grantpt", errno);
  if (::unlockpt(d.master) != 0) return fail("unlockpt", errno);
  char name[128];
  if (::ptsname_r(d.master, name, sizeof name) != 0) return fail("ptsname", errno);
  d.slavePath = name;
  const int fl = ::fcntl(d.master, F_GETFL);
  if (fl < 0 || ::fcntl(d.master, F_SETFL, fl | O_NONBLOCK) != 0) return fail("fcntl", errno);
  // Raw from the start, so nothing the device prints is echoed back to it before
  // the station has configured the line.
  d.slaveHold = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (d.slaveHold < 0) return fail("open " + d.slavePath, errno);
  termios t{};
  if (::tcgetattr(d.slaveHold, &t) != 0) return fail("tcgetattr", errno);
  ::cfmakeraw(&t);
  ::cfsetspeed(&t, B115200);
  if (::tcsetattr(d.slaveHold, TCSANOW, &t) != 0) return fail("tcsetattr", errno);
  return 0;
}

void PtyFarm::ClosePty(Device& d) {
  if (d.slaveHold >= 0) ::close(d.slaveHold);
  if (d.master >= 0) ::close(d.master);
  d.slaveHold = d.master = -1;
}

int PtyFarm::Add(SimOptions opt, uint32_t echoIp, uint16_t echoPort, std::string* error) {
  auto d = std::make_unique<Device>();
  d->name = opt.name;
  if (const int rc = OpenPty(*d, error)) return rc;
  if (echoIp != 0) {
    std::string why;
    const int rc = d->echo.Start(echoIp, echoPort, opt.faults, &why);
    if (rc != 0) {
      if (error) *error = d->name + ": TCP echo: " + why;
      ClosePty(*d);
      return rc;
    }
    opt.tcpPort = d->echo.Port();
  }
  Device* raw = d.get();
  d->slot = std::make_unique<SimSlot>(std::move(opt), [raw](const std::string& bytes) {
    if (raw->toHost.Size() + raw->out.size() + bytes.size() > kMaxOut) {
      raw->dropped += bytes.size();
      return;
    }
    raw->toHost.Put(bytes.data(), bytes.size(), NowUs());
  });
  std::lock_guard<std::mutex> lock(m_);
  devices_.push_back(std::move(d));
  return 0;
}

int PtyFarm::Link(const std::string& dir, std::string* error) {
  const std::string ports = dir + "/ports";
  if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
    if (error) *error = "mkdir " + dir + ": " + std::strerror(errno);
    return errno;
  }
  if (::mkdir(ports.c_str(), 0755) != 0 && errno != EEXIST) {
    if (error) *error = "mkdir " + ports + ": " + std::strerror(errno);
    return errno;
  }
  portsDir_ = ports;
  for (auto& d : devices_) {
    if (const int rc = LinkOne(*d, error)) return rc;
  }
  return 0;
}

int PtyFarm::LinkOne(Device& d, std::string* error) {
  const std::string link = portsDir_ + "/" + d.name;
  struct stat st {};
  if (::lstat(link.c_str(), &st) == 0) {
    const std::string target = ReadLink(link);
    // Only a link to a pseudo-terminal (an earlier simulator's) is ours to replace.
    if (!S_ISLNK(st.st_mode) || target.rfind("/dev/pts/", 0) != 0) {
      if (error) *error = link + " exists and is not a simulator link; not touched";
      return EEXIST;
    }
    ::unlink(link.c_str());
  }
  if (::symlink(d.slavePath.c_str(), link.c_str()) != 0) {
    const int err = errno;
    if (error) *error = "symlink " + link + ": " + std::strerror(err);
    return err;
  }
  d.linkPath = link;
  return 0;
}

void PtyFarm::PowerOn() {
  std::lock_guard<std::mutex> lock(m_);
  const uint32_t now = SystemClock().TickMs();
  for (auto& d : devices_) {
    ReadBaud(*d, now);
    d->slot->PowerOn(now);
  }
}

void PtyFarm::ReadBaud(Device& d, uint32_t nowMs) {
  const uint32_t baud = d.slaveHold >= 0 ? LineBaud(d.slaveHold) : 0;
  if (DeviceModel* unit = d.slot->Unit()) unit->SetHostBaud(baud);
  d.toHost.SetBaud(baud);
  d.toDevice.SetBaud(baud);
  d.baudAt = nowMs;
}

void PtyFarm::Flush(Device& d, uint64_t nowUs) {
  const size_t due = d.toHost.Due(nowUs);
  if (due > 0) d.out += d.toHost.Take(due);
  if (d.master < 0) {
    d.out.clear();
    return;
  }
  while (!d.out.empty()) {
    const ssize_t n = ::write(d.master, d.out.data(), d.out.size());
    if (n > 0) {
      d.out.erase(0, static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    return;  // full: the rest goes when the pty takes it
  }
}

void PtyFarm::ClearOrphanedExclusive(Device& d) {
  int exclusive = 0;
  if (d.slaveHold < 0 || ::ioctl(d.slaveHold, TIOCGEXCL, &exclusive) != 0 || exclusive == 0) {
    d.orphanedExclusive = 0;
    return;
  }
  // A station holds its port with flock besides the exclusive mode; with the lock
  // free, the station that set the mode is gone (killed: it had no chance to clear
  // it). Found so twice in a row, so a station between the two steps of its open is
  // left alone.
  if (::flock(d.slaveHold, LOCK_EX | LOCK_NB) != 0) {
    d.orphanedExclusive = 0;
    return;
  }
  if (++d.orphanedExclusive >= 2) {
    ::ioctl(d.slaveHold, TIOCNXCL);
    d.orphanedExclusive = 0;
  }
  ::flock(d.slaveHold, LOCK_UN);
}

void PtyFarm::Serve(const std::atomic<bool>* stop) {
  std::vector<pollfd> fds;
  uint8_t buf[4096];
  // A real adapter leaves exclusive mode on its last close; a pty keeps it while its
  // master is open, so the next station (not root) would find the port busy for good.
  constexpr uint32_t kExclusiveProbeMs = 200;
  uint32_t lastProbe = SystemClock().TickMs();
  while (!stop->load()) {
    int64_t timeoutUs = 50000;
    {
      std::lock_guard<std::mutex> lock(m_);
      const uint32_t now = SystemClock().TickMs();
      const uint64_t nowUs = NowUs();
      fds.clear();
      for (auto& d : devices_) {
        DeviceModel* unit = d->slot->Unit();
        const int64_t next = unit ? unit->MsUntilNext(now) : -1;
        if (next >= 0) timeoutUs = std::min(timeoutUs, next * 1000);
        const int64_t plan = d->slot->MsUntilDue(now);
        if (plan >= 0) timeoutUs = std::min(timeoutUs, plan * 1000);
        // Bytes on the line are handed on at least every millisecond, and the last of
        // them to the microsecond (what a device or station acts on is mostly the end
        // of what was sent).
        for (const LineQueue* q : {&d->toHost, &d->toDevice}) {
          const int64_t first = q->UsUntilNext(nowUs);
          if (first < 0) continue;
          timeoutUs =
              std::min(timeoutUs, std::min(q->UsUntilLast(nowUs), std::max<int64_t>(first, 1000)));
        }
        short events = d->toDevice.Size() < kMaxInFlight ? POLLIN : 0;
        if (!d->out.empty()) events |= POLLOUT;
        fds.push_back({d->master, events, 0});
      }
    }
    const timespec ts{0, static_cast<long>(timeoutUs) * 1000};
    const int rc = ::ppoll(fds.data(), fds.size(), &ts, nullptr);
    if (rc < 0 && errno != EINTR) break;
    // A pty that reports a hang-up or an error has nothing to read: pause instead of
    // polling it again at once.
    bool hangup = false;
    for (const auto& p : fds) hangup |= (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
    if (hangup) ::poll(nullptr, 0, 20);
    std::lock_guard<std::mutex> lock(m_);
    const uint32_t now = SystemClock().TickMs();
    const uint64_t nowUs = NowUs();
    for (size_t i = 0; i < fds.size() && i < devices_.size(); ++i) {
      Device& d = *devices_[i];
      const bool readable = (fds[i].revents & POLLIN) != 0;
      if (readable || TickDiff(now, d.baudAt) >= kBaudRefreshMs) ReadBaud(d, now);
      if (readable) {
        const size_t room = kMaxInFlight - std::min(kMaxInFlight, d.toDevice.Size());
        const ssize_t n = ::read(d.master, buf, std::min(sizeof buf, room));
        if (n > 0)
          d.toDevice.Put(reinterpret_cast<const char*>(buf), static_cast<size_t>(n), nowUs);
      }
      const size_t due = d.toDevice.Due(nowUs);
      if (due > 0) {
        const std::string bytes = d.toDevice.Take(due);  // lost while the slot is empty
        if (DeviceModel* unit = d.slot->Unit())
          unit->HostBytes(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), now);
      }
    }
    for (auto& d : devices_) {
      if (DeviceModel* unit = d->slot->Unit()) unit->Tick(now);
      SwapPlan::What what;
      while (d->slot->Due(now, &what) && Apply(*d, what, now, nullptr)) {
      }
    }
    const uint64_t flushUs = NowUs();
    for (auto& d : devices_) Flush(*d, flushUs);
    if (now - lastProbe >= kExclusiveProbeMs) {
      lastProbe = now;
      for (auto& d : devices_) ClearOrphanedExclusive(*d);
    }
  }
}

void PtyFarm::Start() {
  if (thread_.joinable()) return;
  stop_.store(false);
  thread_ = std::thread([this] { Serve(&stop_); });
}

void PtyFarm::Stop() {
  stop_.store(true);
  if (thread_.joinable()) thread_.join();
}

void PtyFarm::Close() {
  Stop();
  std::lock_guard<std::mutex> lock(m_);
  for (auto& d : devices_) {
    d->echo.Stop();
    // Remove the link only while it still points at this device.
    if (!d->linkPath.empty() && ReadLink(d->linkPath) == d->slavePath)
      ::unlink(d->linkPath.c_str());
    d->linkPath.clear();
    ClosePty(*d);
  }
  devices_.clear();
}

void PtyFarm::Unplug(size_t i) {
  std::lock_guard<std::mutex> lock(m_);
  if (i >= devices_.size()) return;
  Device& d = *devices_[i];
  if (d.slaveHold >= 0) ::close(d.slaveHold);
  if (d.master >= 0) ::close(d.master);
  d.slaveHold = d.master = -1;
}

bool PtyFarm::Apply(Device& d, SwapPlan::What what, uint32_t nowMs, std::string* error) {
  if (what == SwapPlan::What::Insert) {
    if (!d.slot->Removed()) {
      if (error) *error = d.name + " holds a unit";
      return false;
    }
    if (d.master < 0) {
      // The unit brings its port along: a new pty under the old name.
      std::string why;
      if (OpenPty(d, &why) != 0 || (!portsDir_.empty() && LinkOne(d, &why) != 0)) {
        ClosePty(d);
        if (error) *error = why;
        if (onSwap_) onSwap_("insert " + d.name + " failed: " + why);
        return false;
      }
    }
    if (!d.slot->Insert(nowMs)) {
      if (error) *error = d.name + ": no more units";
      return false;
    }
    d.echo.SetDeaf(false);
    ReadBaud(d, nowMs);
    if (onSwap_) onSwap_("inserted " + d.name + " " + d.slot->Unit()->Report().factoryMac);
    return true;
  }
  const Removal how = what == SwapPlan::What::RemoveVanish ? Removal::Vanish : Removal::Silent;
  if (!d.slot->Remove(how, nowMs)) {
    if (error) *error = d.name + " is empty";
    return false;
  }
  // What was on its way in either direction goes with the unit.
  d.toHost.Clear();
  d.toDevice.Clear();
  d.out.clear();
  d.echo.SetDeaf(true);
  if (how == Removal::Vanish) {
    if (!d.linkPath.empty() && ReadLink(d.linkPath) == d.slavePath) ::unlink(d.linkPath.c_str());
    d.linkPath.clear();
    ClosePty(d);
  }
  if (onSwap_) onSwap_(std::string("removed ") + d.name + " " + RemovalName(how));
  return true;
}

bool PtyFarm::Remove(size_t i, Removal how) {
  std::lock_guard<std::mutex> lock(m_);
  if (i >= devices_.size()) return false;
  return Apply(*devices_[i],
               how == Removal::Vanish ? SwapPlan::What::RemoveVanish : SwapPlan::What::RemoveSilent,
               SystemClock().TickMs(), nullptr);
}

bool PtyFarm::Insert(size_t i, std::string* error) {
  std::lock_guard<std::mutex> lock(m_);
  if (i >= devices_.size()) return false;
  return Apply(*devices_[i], SwapPlan::What::Insert, SystemClock().TickMs(), error);
}

void PtyFarm::SetPlan(size_t i, SwapPlan plan) {
  std::lock_guard<std::mutex> lock(m_);
  if (i < devices_.size()) devices_[i]->slot->SetPlan(std::move(plan));
}

size_t PtyFarm::Find(const std::string& name) const {
  for (size_t i = 0; i < devices_.size(); ++i) {
    if (devices_[i]->name == name) return i;
  }
  return devices_.size();
}

std::vector<SimReport> PtyFarm::Reports() {
  std::lock_guard<std::mutex> lock(m_);
  std::vector<SimReport> out;
  for (auto& d : devices_) out.push_back(d->slot->Report());
  return out;
}

namespace {
// One report line holds no control bytes: they are shown as \r, \n or \xHH.
std::string Escaped(const std::string& s) {
  static const char kHex[] = "0123456789abcdef";
  std::string o;
  for (unsigned char c : s) {
    if (c == '\r') {
      o += "\\r";
    } else if (c == '\n') {
      o += "\\n";
    } else if (c < 0x20 || c >= 0x7f) {
      o += "\\x";
      o += kHex[c >> 4];
      o += kHex[c & 15];
    } else {
      o += static_cast<char>(c);
    }
  }
  return o;
}
}  // namespace

std::string FormatReport(const SimReport& r, uint16_t tcpPort) {
  auto image = [](const std::vector<uint8_t>& v, const std::string& digest) {
    if (!digest.empty()) return digest;
    if (v.empty()) return std::string("none");
    return std::to_string(v.size()) + " " + Sha256::Hex(v.data(), v.size());
  };
  auto text = [](const std::string& s) { return s.empty() ? std::string("none") : s; };
  std::string o;
  o += "device " + r.name + "\n";
  o += "state " + r.state + "\n";
  o += "tcp-port " + std::to_string(tcpPort) + "\n";
  o += "firmware " + image(r.firmware, r.firmwareDigest) + "\n";
  o += "firmware-writes " + std::to_string(r.firmwareWrites) + "\n";
  o += "eeprom " + image(r.eeprom, r.eepromDigest) + "\n";
  o += "eeprom-writes " + std::to_string(r.eepromWrites) + "\n";
  o += "eeprom-mac " + text(r.eepromMac) + "\n";
  o += "mac-programmed " + text(r.programmedMac) + "\n";
  o += "mac-writes " + std::to_string(r.macWrites) + "\n";
  o += "mac-in-use " + r.currentMac + "\n";
  o += "restarts " + std::to_string(r.restarts) + "\n";
  o += "naks " + std::to_string(r.naksSent) + "\n";
  for (auto& c : r.commands) o += "command " + Escaped(c) + "\n";
  for (auto& v : r.violations) o += "violation " + Escaped(v) + "\n";
  auto word = [&](const std::string& s) {
    std::string w = text(s);
    for (char& c : w) c = c == ' ' ? ':' : c;  // "LEN SHA256" -> "LEN:SHA256"
    return w;
  };
  for (auto& u : r.units) {
    const std::string n = std::to_string(u.unit);
    o += "unit " + n + " factory-mac=" + word(u.factoryMac) + " state=" + u.state +
         " removed=" + (u.removed.empty() ? std::string("no") : u.removed) +
         " mac-programmed=" + word(u.programmedMac) + " mac-writes=" + std::to_string(u.macWrites) +
         " eeprom-mac=" + word(u.eepromMac) + " firmware=" + word(image(u.firmware, u.firmwareDigest)) +
         " firmware-writes=" + std::to_string(u.firmwareWrites) +
         " eeprom=" + word(image(u.eeprom, u.eepromDigest)) +
         " eeprom-writes=" + std::to_string(u.eepromWrites) +
         " violations=" + std::to_string(u.violations.size()) + "\n";
    for (auto& v : u.violations) o += "unit-violation " + n + " " + Escaped(v) + "\n";
  }
  o += "end\n";
  return o;
}
