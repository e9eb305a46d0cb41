// devicesim: simulated serial device servers on pseudo-terminals, for trying the
// station without hardware. See Usage() for the options, faults and report format.
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/model/EchoServer.h"
#include "sim/model/PtyFarm.h"
#include "sim/model/SimFaults.h"
#include "sim/model/SimSlot.h"

namespace {

std::atomic<bool> gStop{false};
std::atomic<bool> gDump{false};
std::atomic<bool> gWake{false};

void OnSignal(int sig) {
  if (sig == SIGUSR1) {
    gDump.store(true);
  } else {
    gStop.store(true);
  }
  gWake.store(true);
}

// Writes the report next to its place and renames it there, so a reader never sees
// half a report.
bool WriteReport(PtyFarm& farm, const std::string& path) {
  std::string report;
  const auto reports = farm.Reports();
  for (size_t i = 0; i < reports.size(); ++i) report += FormatReport(reports[i], farm.TcpPort(i));
  const std::string tmp = path + ".tmp";
  {
    std::ofstream f(tmp, std::ios::binary | std::ios::trunc);
    f << report;
    f.close();
    if (!f) return false;
  }
  return std::rename(tmp.c_str(), path.c_str()) == 0;
}

void Usage(FILE* f) {
  std::fprintf(f,
               "usage: devicesim --dir DIR --count N [--first-com K] [--ip ADDR] [--tcp-port P]\n"
               "                 [--flash-ms MS] [--fault SPEC]... [--report FILE]\n"
               "                 [--netns-dir NSDIR] [--swap PORT:EVENTS]... [--shift SPEC]\n"
               "                 [--control FIFO]\n"
               "\n"
               "Simulates N serial device servers, each on a pseudo-terminal linked as\n"
               "DIR/ports/COM<K> .. DIR/ports/COM<K+N-1>, where the station looks for its ports\n"
               "when started with --dir DIR. Prints \"ready N\" on stdout once the links exist.\n"
               "Serves until SIGINT or SIGTERM, then removes its links and writes the report;\n"
               "SIGUSR1 writes the report at once and goes on serving.\n"
               "\n"
               "  --dir DIR        data directory; DIR/ports is created when missing\n"
               "  --count N        number of devices, 1 to 64\n"
               "  --first-com K    number of the first port (default 1)\n"
               "  --ip ADDR        address of the devices' TCP loopback echo (default 127.0.0.1;\n"
               "                   192.168.1.127 only inside a private network namespace)\n"
               "  --tcp-port P     echo port of the first device, the next ones P+1, ...\n"
               "                   (default: any free port; \"$GSVPA\" reports it)\n"
               "  --flash-ms MS    time the loader takes to write each received block before\n"
               "                   it answers it (default 3; 0 to 600000)\n"
               "  --fault SPEC     COM<n>:<fault> or all:<fault>; may be repeated\n"
               "  --report FILE    where the report goes at the end (default: none)\n"
               "  --netns-dir NSDIR  every device on a network of its own: COM<k>'s echo listens\n"
               "                   inside the network namespace NSDIR/COM<k> (a namespace file,\n"
               "                   such as a link to /proc/PID/ns/net), and every device on the\n"
               "                   same port (--tcp-port, default 4001), as real devices with one\n"
               "                   EEPROM image do. The namespaces, their interfaces and link-layer\n"
               "                   addresses are made by the caller\n"
               "%s"
               "  --control FIFO   makes FIFO (a named pipe) and takes commands from it, one a\n"
               "                   line: \"remove COM<n> [silent|vanish]\" (default silent),\n"
               "                   \"insert COM<n>\", \"report\" (writes the report, as SIGUSR1)\n"
               "  --help           this text\n"
               "\n"
               "Units: each port is a slot of the fixture. A unit taken out \"silent\" leaves\n"
               "the pty in place: nothing answers and what the station writes is lost. One that\n"
               "\"vanish\"es takes its port along: the pty closes (the station's open port is\n"
               "hung up, reads fail with EIO) and the link goes; the next unit comes on a new\n"
               "pty under the same link. While a slot is empty its echo answers nothing. Each\n"
               "unit put in is fresh, powered on (it prints its start-up lines) and has a MAC\n"
               "of its own: the first unit's with its number in the slot added to the fourth\n"
               "byte (02:5C:3A:00:00:03, 02:5C:3A:01:00:03, ...). Bytes reaching a unit before\n"
               "its \"Boot ROM\" line are lost without a violation. Every swap is told on\n"
               "stdout: \"removed COM<n> silent|vanish\", \"inserted COM<n> <MAC>\".\n"
               "\n"
               "Each device boots printing \"fw = ...\", takes \"@@\" for 3 s after such a line\n"
               "(its serial loader \"Varnix Serial Loader\": U firmware, E EEPROM, R restart,\n"
               "XMODEM-1K with CRC-16), then prints its \"verison\" line and answers \"$GSVPA\",\n"
               "\"$SYCXXMAC<mac>\", \"$GLM\", \"$SER\" (restart) and \"$SES\" (wake-up).\n"
               "Each line keeps a serial line's time: in both directions bytes arrive no\n"
               "faster than the rate the station set on its port allows (10 bits a byte).\n"
               "\n"
               "Faults:\n%s"
               "\n"
               "Report: for every device a block of lines \"<key> <value>\":\n"
               "  device COM<n>             first line of the block\n"
               "  state S                   off, dead, restarting, booting, running, loader,\n"
               "                            receiving or writing\n"
               "  tcp-port P                the echo port \"$GSVPA\" reported\n"
               "  firmware LEN SHA256       last firmware received (whole 1024-byte blocks, as\n"
               "                            sent), or \"none\"\n"
               "  firmware-writes N\n"
               "  eeprom LEN SHA256         last EEPROM image received, or \"none\"\n"
               "  eeprom-writes N\n"
               "  eeprom-mac MAC            MAC in the EEPROM image's first block (bytes 6..11,\n"
               "                            last byte first), or \"none\"\n"
               "  mac-programmed MAC        last address taken by \"$SYCXXMAC\", or \"none\"\n"
               "  mac-writes N\n"
               "  mac-in-use MAC            what \"$GLM\" answers\n"
               "  restarts N\n"
               "  naks N                    XMODEM blocks refused\n"
               "  command TEXT              every command and loader key, in order\n"
               "  violation TEXT            what a real device would not have accepted\n"
               "  unit N KEY=VALUE...        every unit the port held, oldest first: factory-mac,\n"
               "                            state, removed (silent, vanish or no),\n"
               "                            mac-programmed, mac-writes, eeprom-mac, firmware and\n"
               "                            eeprom (LEN:SHA256 or none), their writes, violations\n"
               "  unit-violation N TEXT     what unit N did not accept\n"
               "  end                       last line of the block\n"
               "The other lines describe the unit in the port, or the last one (state empty).\n"
               "Control bytes in TEXT are written as \\r, \\n or \\xHH.\n",
               SwapHelp().c_str(), FaultHelp().c_str());
}

// One line of --control: "remove COM<n> [silent|vanish]", "insert COM<n>", "report".
void ControlCommand(PtyFarm& farm, const std::string& line) {
  std::vector<std::string> w;
  size_t from = 0;
  while (from < line.size() && w.size() < 4) {
    const size_t start = line.find_first_not_of(" \t\r", from);
    if (start == std::string::npos) break;
    const size_t end = line.find_first_of(" \t\r", start);
    w.push_back(line.substr(start, end == std::string::npos ? std::string::npos : end - start));
    from = end == std::string::npos ? line.size() : end;
  }
  if (w.empty()) return;
  auto bad = [&](const char* why) {
    std::fprintf(stderr, "devicesim: control \"%s\": %s\n", line.c_str(), why);
  };
  if (w[0] == "report" && w.size() == 1) {
    gDump.store(true);
    gWake.store(true);
    return;
  }
  if (w.size() < 2) return bad("expected remove COM<n> [silent|vanish], insert COM<n> or report");
  const size_t i = farm.Find(w[1]);
  if (i >= farm.Count()) return bad("not one of the simulated ports");
  if (w[0] == "remove" && w.size() <= 3) {
    const std::string how = w.size() == 3 ? w[2] : "silent";
    if (how != "silent" && how != "vanish") return bad("the unit goes silent or vanish");
    if (!farm.Remove(i, how == "vanish" ? Removal::Vanish : Removal::Silent))
      bad("the port holds no unit");
  } else if (w[0] == "insert" && w.size() == 2) {
    std::string err;
    if (!farm.Insert(i, &err)) bad(err.c_str());
  } else {
    bad("expected remove COM<n> [silent|vanish], insert COM<n> or report");
  }
}

// Reads control lines from fd until gStop.
void ControlLoop(PtyFarm& farm, int fd) {
  std::string pending;
  char buf[512];
  while (!gStop.load()) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) continue;
    pending.append(buf, static_cast<size_t>(n));
    size_t nl;
    while ((nl = pending.find('\n')) != std::string::npos) {
      const std::string line = pending.substr(0, nl);
      pending.erase(0, nl + 1);
      ControlCommand(farm, line);
    }
    if (pending.size() > 1024) pending.clear();  // no command is that long
  }
}

bool ParseInt(const char* s, long lo, long hi, long* out) {
  if (s == nullptr || *s == '\0') return false;
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(s, &end, 10);
  if (errno != 0 || *end != '\0' || v < lo || v > hi) return false;
  *out = v;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::string dir, reportPath, netnsDir, ipText = "127.0.0.1";
  long count = 0, firstCom = 1, tcpPort = 0, flashMs = -1;
  std::vector<std::string> faults, swaps;
  std::string shift, controlPath;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&](const char* what) -> const char* {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "devicesim: %s needs a value\n", what);
        std::exit(2);
      }
      return argv[++i];
    };
    if (a == "--help" || a == "-h") {
      Usage(stdout);
      return 0;
    } else if (a == "--dir") {
      dir = value("--dir");
    } else if (a == "--count") {
      if (!ParseInt(value("--count"), 1, 64, &count)) {
        std::fprintf(stderr, "devicesim: --count must be 1 to 64\n");
        return 2;
      }
    } else if (a == "--first-com") {
      if (!ParseInt(value("--first-com"), 1, 256, &firstCom)) {
        std::fprintf(stderr, "devicesim: --first-com must be 1 to 256\n");
        return 2;
      }
    } else if (a == "--ip") {
      ipText = value("--ip");
    } else if (a == "--tcp-port") {
      if (!ParseInt(value("--tcp-port"), 1, 65535, &tcpPort)) {
        std::fprintf(stderr, "devicesim: --tcp-port must be 1 to 65535\n");
        return 2;
      }
    } else if (a == "--flash-ms") {
      if (!ParseInt(value("--flash-ms"), 0, 600000, &flashMs)) {
        std::fprintf(stderr, "devicesim: --flash-ms must be 0 to 600000\n");
        return 2;
      }
    } else if (a == "--fault") {
      faults.push_back(value("--fault"));
    } else if (a == "--report") {
      reportPath = value("--report");
    } else if (a == "--swap") {
      swaps.push_back(value("--swap"));
    } else if (a == "--shift") {
      shift = value("--shift");
    } else if (a == "--control") {
      controlPath = value("--control");
    } else if (a == "--netns-dir") {
      netnsDir = value("--netns-dir");
    } else {
      std::fprintf(stderr, "devicesim: unknown option %s (see --help)\n", a.c_str());
      return 2;
    }
  }
  if (dir.empty() || count == 0) {
    std::fprintf(stderr, "devicesim: --dir and --count are required (see --help)\n");
    return 2;
  }
  if (firstCom + count - 1 > 256) {
    std::fprintf(stderr, "devicesim: ports beyond COM256 requested\n");
    return 2;
  }
  if (tcpPort != 0 && tcpPort + count - 1 > 65535) {
    std::fprintf(stderr, "devicesim: --tcp-port leaves no room for %ld devices\n", count);
    return 2;
  }
  uint32_t ip = 0;
  if (!ParseIpv4Text(ipText, &ip)) {
    std::fprintf(stderr, "devicesim: --ip %s is not an IPv4 address\n", ipText.c_str());
    return 2;
  }

  // Faults per port name; "all" applies to every device.
  std::map<std::string, SimFaults> perPort;
  std::vector<std::string> names;
  for (long k = 0; k < count; ++k) names.push_back("COM" + std::to_string(firstCom + k));
  for (const std::string& spec : faults) {
    const size_t colon = spec.find(':');
    if (colon == std::string::npos) {
      std::fprintf(stderr, "devicesim: --fault %s: expected COM<n>:<fault> or all:<fault>\n",
                   spec.c_str());
      return 2;
    }
    const std::string who = spec.substr(0, colon), what = spec.substr(colon + 1);
    bool known = who == "all";
    for (auto& n : names) known |= n == who;
    if (!known) {
      std::fprintf(stderr, "devicesim: --fault %s: %s is not one of the simulated ports\n",
                   spec.c_str(), who.c_str());
      return 2;
    }
    for (auto& n : names) {
      if (who != "all" && who != n) continue;
      std::string err;
      if (!ApplyFault(what, &perPort[n], &err)) {
        std::fprintf(stderr, "devicesim: %s\n", err.c_str());
        return 2;
      }
    }
  }

  // Swap plans per port name, as the faults.
  std::map<std::string, SwapPlan> plans;
  if (!shift.empty()) {
    SwapPlan p;
    std::string err;
    if (!ParseShift(shift, &p, &err)) {
      std::fprintf(stderr, "devicesim: %s\n", err.c_str());
      return 2;
    }
    for (auto& n : names) plans[n] = p;
  }
  for (const std::string& spec : swaps) {
    const size_t colon = spec.find(':');
    const std::string who = colon == std::string::npos ? std::string() : spec.substr(0, colon);
    bool known = who == "all";
    for (auto& n : names) known |= n == who;
    if (!known) {
      std::fprintf(stderr, "devicesim: --swap %s: expected COM<n>:<events> or all:<events> of a simulated port\n",
                   spec.c_str());
      return 2;
    }
    for (auto& n : names) {
      if (who != "all" && who != n) continue;
      std::string err;
      if (!ParseSwapEvents(spec.substr(colon + 1), &plans[n], &err)) {
        std::fprintf(stderr, "devicesim: %s\n", err.c_str());
        return 2;
      }
    }
  }
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGUSR1, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  if (!netnsDir.empty() && tcpPort == 0) tcpPort = 4001;
  // The namespace the echo listeners of --netns-dir leave from and return to.
  const int homeNs = netnsDir.empty() ? -1 : open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
  if (!netnsDir.empty() && homeNs < 0) {
    std::fprintf(stderr, "devicesim: cannot open this process's network namespace: %s\n",
                 std::strerror(errno));
    return 1;
  }

  PtyFarm farm;
  for (long k = 0; k < count; ++k) {
    SimOptions o;
    o.name = names[static_cast<size_t>(k)];
    o.faults = perPort[o.name];
    if (flashMs >= 0) o.flashWriteMs = static_cast<uint32_t>(flashMs);
    char mac[24];
    std::snprintf(mac, sizeof mac, "02:5C:3A:00:%02X:%02X",
                  static_cast<unsigned>((firstCom + k) >> 8),
                  static_cast<unsigned>((firstCom + k) & 0xff));
    o.mac = mac;
    std::string err;
    uint16_t port = tcpPort == 0 ? 0 : static_cast<uint16_t>(tcpPort + k);
    if (!netnsDir.empty()) {
      // The listener belongs to the namespace it is made in; this thread goes back home
      // right after.
      port = static_cast<uint16_t>(tcpPort);
      const std::string nsPath = netnsDir + "/" + o.name;
      const int fd = open(nsPath.c_str(), O_RDONLY | O_CLOEXEC);
      if (fd < 0 || setns(fd, CLONE_NEWNET) != 0) {
        std::fprintf(stderr, "devicesim: cannot enter the network namespace %s: %s\n",
                     nsPath.c_str(), std::strerror(errno));
        return 1;
      }
      close(fd);
    }
    const int added = farm.Add(o, ip, port, &err);
    if (homeNs >= 0 && setns(homeNs, CLONE_NEWNET) != 0) {
      std::fprintf(stderr, "devicesim: cannot return to its network namespace: %s\n",
                   std::strerror(errno));
      return 1;
    }
    if (added != 0) {
      std::fprintf(stderr, "devicesim: %s\n", err.c_str());
      return 1;
    }
  }
  if (homeNs >= 0) close(homeNs);
  std::string err;
  if (farm.Link(dir, &err) != 0) {
    std::fprintf(stderr, "devicesim: %s\n", err.c_str());
    farm.Close();
    return 1;
  }
  int controlFd = -1;
  if (!controlPath.empty()) {
    struct stat st {};
    if (lstat(controlPath.c_str(), &st) == 0 && !S_ISFIFO(st.st_mode)) {
      std::fprintf(stderr, "devicesim: --control %s exists and is not a named pipe\n",
                   controlPath.c_str());
      farm.Close();
      return 2;
    }
    if (mkfifo(controlPath.c_str(), 0600) != 0 && errno != EEXIST) {
      std::fprintf(stderr, "devicesim: --control %s: %s\n", controlPath.c_str(), std::strerror(errno));
      farm.Close();
      return 1;
    }
    // Read and write: writers come and go without an end of file here.
    controlFd = open(controlPath.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (controlFd < 0) {
      std::fprintf(stderr, "devicesim: --control %s: %s\n", controlPath.c_str(), std::strerror(errno));
      unlink(controlPath.c_str());
      farm.Close();
      return 1;
    }
  }
  auto dropControl = [&] {
    if (controlFd < 0) return;
    close(controlFd);
    unlink(controlPath.c_str());
    controlFd = -1;
  };

  for (size_t i = 0; i < farm.Count(); ++i) {
    auto plan = plans.find(names[i]);
    if (plan != plans.end()) farm.SetPlan(i, plan->second);
  }
  farm.SetOnSwap([](const std::string& what) {
    std::printf("%s\n", what.c_str());
    std::fflush(stdout);
  });
  farm.PowerOn();
  for (size_t i = 0; i < farm.Count(); ++i) {
    std::fprintf(stderr, "devicesim: %s -> %s, echo %s:%u\n", farm.LinkPath(i).c_str(),
                 farm.SlavePath(i).c_str(), ipText.c_str(), farm.TcpPort(i));
  }
  std::printf("ready %zu\n", farm.Count());
  std::fflush(stdout);
  std::thread control;
  if (controlFd >= 0) control = std::thread([&farm, controlFd] { ControlLoop(farm, controlFd); });

  while (!gStop.load()) {
    farm.Serve(&gWake);
    gWake.store(false);
    if (gDump.exchange(false) && !reportPath.empty() && !WriteReport(farm, reportPath)) {
      std::fprintf(stderr, "devicesim: cannot write the report %s\n", reportPath.c_str());
    }
  }

  if (control.joinable()) control.join();
  dropControl();
  // The report is taken before the devices are closed; the links go either way.
  const bool reported = reportPath.empty() || WriteReport(farm, reportPath);
  farm.Close();
  if (!reported) {
    std::fprintf(stderr, "devicesim: cannot write the report %s\n", reportPath.c_str());
    return 1;
  }
  std::fprintf(stderr, "devicesim: stopped, links removed\n");
  return 0;
}
