// The in-memory simulated device against a ConsolePort in virtual time: the console
// contract from the device's side, the loader dialogue, and the switchable faults.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "SimRig.h"
#include "job/Logcfg.h"
#include "sim/model/LineQueue.h"

namespace {
std::string Image(size_t len, char seed) {
  std::string s(len, '\0');
  for (size_t i = 0; i < len; ++i) s[i] = static_cast<char>(seed + static_cast<char>(i * 13));
  return s;
}

std::vector<uint8_t> Bytes(std::string s, size_t padTo) {
  s.resize(padTo, '\0');
  return std::vector<uint8_t>(s.begin(), s.end());
}

bool Has(const std::vector<std::string>& v, const std::string& part) {
  for (auto& s : v) {
    if (s.find(part) != std::string::npos) return true;
  }
  return false;
}

// Sends an image block by block after the receiver's "C"; the replies in order.
std::string SendImage(SimRig& r, const std::string& image) {
  std::string replies;
  const int blocks = static_cast<int>((image.size() + 1023) / 1024);
  for (int i = 1; i <= blocks; ++i) {
    r.Send(XPacket(i, image));
    replies += r.ReadUntil("\x06", 2000).substr(0, 1);
  }
  r.Send("\x04");
  replies += r.ReadUntil("\x06", 2000).substr(0, 1);
  return replies;
}
}  // namespace

TEST(SimDevice, StartsUpAndAnswersTheConsoleQueries) {
  SimOptions o;
  o.tcpPort = 4001;
  SimRig r(o);
  r.dev->PowerOn();
  const std::string boot = r.ReadUntil("MAC address");
  ASSERT_NE(std::string::npos, boot.find("fw ="));
  EXPECT_LT(boot.find("fw ="), boot.find("verison"));

  int rc = 0;
  EXPECT_EQ("4001", r.Query("$GSVPA\r\n", 5, &rc));
  EXPECT_EQ(0, rc);
  EXPECT_EQ(" OK", r.Query("$SYCXXMAC02:5c:3a:0a:0b:ff\r\n", 8, &rc));
  EXPECT_EQ(0, rc);
  // The new address is in use after the restart.
  EXPECT_EQ(" 02:5C:3A:00:00:01", r.Query("$GLM\r\n", 3, &rc));
  r.Send("$SER\r\n");
  const std::string again = r.ReadUntil("verison");
  EXPECT_NE(std::string::npos, again.find("fw ="));
  EXPECT_NE(std::string::npos, again.find("verison"));
  EXPECT_EQ(" 02:5C:3A:0A:0B:FF", r.Query("$GLM\r\n", 3, &rc));

  const SimReport rep = r.dev->Report();
  EXPECT_EQ("02:5C:3A:0A:0B:FF", rep.programmedMac);
  EXPECT_EQ(1, rep.macWrites);
  EXPECT_EQ(1, rep.restarts);
  EXPECT_EQ(
      (std::vector<std::string>{"$GSVPA", "$SYCXXMAC02:5c:3a:0a:0b:ff", "$GLM", "$SER", "$GLM"}),
      rep.commands);
  EXPECT_TRUE(rep.violations.empty());
}

TEST(SimDevice, LoaderTakesFirmwareAndEepromAndRestartsWithTheImageMac) {
  SimRig r;
  r.dev->PowerOn();
  ASSERT_NE(std::string::npos, r.ReadUntil("fw =").find("fw ="));
  r.Send("@@");
  ASSERT_NE(std::string::npos, r.ReadUntil("Varnix Serial Loader").find("Varnix Serial Loader"));

  const std::string firmware = Image(1500, 7);
  r.Send("U");
  ASSERT_NE(std::string::npos, r.ReadUntil("Downloading").find("Downloading"));
  ASSERT_NE(std::string::npos, r.ReadUntil("C", 3000).find('C'));
  EXPECT_EQ(std::string(3, '\x06'), SendImage(r, firmware));
  const std::string flash = r.ReadUntil("Varnix Serial Loader");
  EXPECT_NE(std::string::npos, flash.find("Write to Flash"));
  EXPECT_NE(std::string::npos, flash.find("-\r"));
  EXPECT_NE(std::string::npos, flash.find("|\r"));

  std::string eeprom = Image(1024, 1);
  const char tempMac[6] = {'\xfe', '\xff', '\xff', '\x3a', '\x5c', '\x02'};  // last byte first
  std::copy(tempMac, tempMac + 6, eeprom.begin() + 6);
  r.Send("E");
  ASSERT_NE(std::string::npos, r.ReadUntil("C", 3000).find('C'));
  EXPECT_EQ(std::string(2, '\x06'), SendImage(r, eeprom));
  EXPECT_NE(std::string::npos, r.ReadUntil("Varnix Serial Loader").find("save to eeprom"));
  r.Send("R");
  ASSERT_NE(std::string::npos, r.ReadUntil("verison").find("verison"));
  int rc = 0;
  EXPECT_EQ(" 02:5C:3A:FF:FF:FE", r.Query("$GLM\r\n", 3, &rc));

  const SimReport rep = r.dev->Report();
  EXPECT_EQ(Bytes(firmware, 2048), rep.firmware);
  EXPECT_EQ(Bytes(eeprom, 1024), rep.eeprom);
  EXPECT_EQ("02:5C:3A:FF:FF:FE", rep.eepromMac);
  EXPECT_EQ(1, rep.firmwareWrites);
  EXPECT_EQ(1, rep.eepromWrites);
  EXPECT_EQ((std::vector<std::string>{"@@", "U", "E", "R", "$GLM"}), rep.commands);
  EXPECT_TRUE(rep.violations.empty()) << rep.violations.front();
}

TEST(SimDevice, WakeUpOpensTheLoaderWindowAndTheLoaderSkipsConsoleLines) {
  SimRig r;
  r.dev->PowerOn();
  r.ReadUntil("MAC address");
  r.ReadUntil("", 3000);  // the "@@" window after start-up has closed
  r.Send("@@");
  EXPECT_EQ(std::string::npos, r.ReadUntil("Varnix", 1000).find("Varnix"));
  r.Send("$SES\r\n");
  ASSERT_NE(std::string::npos, r.ReadUntil("fw =").find("fw ="));
  r.Send("@@");
  ASSERT_NE(std::string::npos, r.ReadUntil("Varnix Serial Loader").find("Varnix"));
  // The station's wake-up sent to the loader must not pick the "E" inside "$SES".
  r.Send("$SES\r\n");
  EXPECT_EQ(std::string::npos, r.ReadUntil("Downloading", 2000).find("Downloading"));
  const SimReport rep = r.dev->Report();
  ASSERT_EQ(1u, rep.violations.size());
  EXPECT_NE(std::string::npos, rep.violations[0].find("@@"));
}

TEST(SimDevice, RecordsWhatARealDeviceWouldNotAccept) {
  SimRig r;
  r.dev->PowerOn();
  r.ReadUntil("fw =");
  r.Send("$GLM\r\n");  // before the "verison" line
  EXPECT_EQ(std::string::npos, r.ReadUntil("%GLM", 400).find("%GLM"));
  r.ReadUntil("MAC address");
  r.Send("$GSVPA");  // no line end
  EXPECT_EQ(std::string::npos, r.ReadUntil("%GSVPA", 2000).find("%GSVPA"));
  r.Send("$GLM\n");
  r.Send("$SYCXXMAC02-5c-3a-0a-0b-ff\r\n");
  r.ReadUntil("", 500);
  r.Send("$SES\r\n");
  r.ReadUntil("fw =");
  r.Send("@@");
  r.ReadUntil("Varnix");
  r.Send("E");
  r.ReadUntil("C", 3000);
  std::string bad = XPacket(1, Image(1024, 3));
  bad[1028] = static_cast<char>(bad[1028] ^ 0x55);
  r.Send(bad);
  EXPECT_NE(std::string::npos, r.ReadUntil("\x15", 2000).find('\x15'));

  const auto v = r.dev->Report().violations;
  EXPECT_TRUE(Has(v, "$GLM before the \"verison\" line"));
  EXPECT_TRUE(Has(v, "without \"\\r\\n\": $GSVPA"));
  EXPECT_TRUE(Has(v, "without \"\\r\": $GLM"));
  EXPECT_TRUE(Has(v, "malformed MAC address"));
  EXPECT_TRUE(Has(v, "CRC"));
  EXPECT_EQ(5u, v.size());
}

TEST(SimDevice, QueryFaults) {
  struct Case {
    const char* fault;
    int rc;
  };
  for (const Case c : {Case{"late", -3}, Case{"fail", -4}, Case{"fail=SYCXXMAC", 0}, Case{"nul", 0},
                       Case{"noise", 0}, Case{"split", 0}, Case{"crlf-split", 0}}) {
    SCOPED_TRACE(c.fault);
    SimOptions o;
    o.tcpPort = 4001;
    std::string err;
    ASSERT_TRUE(ApplyFault(c.fault, &o.faults, &err)) << err;
    SimRig r(o);
    r.dev->PowerOn();
    r.ReadUntil("MAC address");
    r.ReadUntil("", 1000);  // the rest of the start-up output
    int rc = 1;
    const std::string v = r.Query("$GSVPA\r\n", 5, &rc);
    EXPECT_EQ(c.rc, rc);
    if (rc == 0) {
      EXPECT_EQ("4001", v);
    }
  }
}

TEST(SimDevice, LineShapeFaults) {
  auto reads = [](const char* fault) {
    SimOptions o;
    std::string err;
    EXPECT_TRUE(ApplyFault(fault, &o.faults, &err)) << err;
    auto r = std::make_unique<SimRig>(o);
    r->dev->PowerOn();
    std::vector<std::string> pieces;
    for (int i = 0; i < 40; ++i) {
      r->clock.SleepMs(10);
      const std::string s = r->ReadOnce();
      if (!s.empty()) pieces.push_back(s);
    }
    return pieces;
  };
  // Split lines: a read ends inside the "fw =" line.
  bool inside = false;
  for (auto& p : reads("split")) inside |= p.find("fw") != std::string::npos && p.back() != '\n';
  EXPECT_TRUE(inside);
  bool crOnly = false;
  for (auto& p : reads("crlf-split")) crOnly |= p.back() == '\r';
  EXPECT_TRUE(crOnly);
  // 0x00 bytes never reach the receive buffer; the lines stay whole.
  std::string all;
  for (auto& p : reads("nul")) all += p;
  EXPECT_NE(std::string::npos, all.find("fw = "));
  EXPECT_EQ(std::string::npos, all.find('\0'));
}

TEST(SimDevice, DeviceFaults) {
  auto rig = [](const char* fault) {
    SimOptions o;
    std::string err;
    EXPECT_TRUE(ApplyFault(fault, &o.faults, &err)) << err;
    auto r = std::make_unique<SimRig>(o);
    r->dev->PowerOn();
    return r;
  };
  {
    auto r = rig("silent");
    EXPECT_EQ("", r->ReadUntil("", 8000));
    r->Send("$SES\r\n");
    EXPECT_EQ("", r->ReadUntil("", 3000));
  }
  {
    auto r = rig("prompt");
    EXPECT_NE(std::string::npos, r->ReadUntil("cmd> ").find("cmd> "));
  }
  {
    auto r = rig("mac-mismatch");
    EXPECT_NE(std::string::npos, r->ReadUntil("verison").find("MAC don't match"));
  }
  {
    auto r = rig("silent-after-ser");
    r->ReadUntil("MAC address");
    r->Send("$SER\r\n");
    EXPECT_EQ("", r->ReadUntil("", 8000));
  }
  {
    auto r = rig("no-glm");
    r->ReadUntil("MAC address");
    int rc = 0;
    r->Query("$GLM\r\n", 3, &rc);
    EXPECT_EQ(-3, rc);
  }
  {
    auto r = rig("no-c");
    r->ReadUntil("fw =");
    r->Send("@@");
    r->ReadUntil("Varnix");
    r->Send("U");
    const std::string s = r->ReadUntil("C", 10000);
    EXPECT_NE(std::string::npos, s.find("Downloading"));
    EXPECT_EQ(std::string::npos, s.find('C'));
  }
}

TEST(SimDevice, AConsoleAtAnotherBaudRateIsUnreadableBothWays) {
  SimOptions o;
  std::string err;
  ASSERT_TRUE(ApplyFault("baud=57600", &o.faults, &err)) << err;
  SimRig r(o);  // the station's default: 115200
  r.dev->PowerOn();
  const std::string noise = r.ReadUntil("fw =", 5000);  // start-up over, all of it noise
  EXPECT_EQ(std::string::npos, noise.find("fw ="));
  EXPECT_FALSE(noise.empty());
  int rc = 0;
  r.Query("$GSVPA\r\n", 5, &rc);
  EXPECT_EQ(-3, rc);
  ASSERT_EQ(1u, r.dev->Report().violations.size());
  EXPECT_NE(std::string::npos, r.dev->Report().violations[0].find("115200 baud on a 57600"));
  EXPECT_TRUE(r.dev->Report().commands.empty());

  ASSERT_EQ(0, r.cp->OpenConsolePort(57600));
  r.Query("$GSVPA\r\n", 5, &rc);
  EXPECT_EQ(0, rc);
}

TEST(SimDevice, TransferFaults) {
  const std::string image = Image(3 * 1024, 2);
  auto start = [](const char* fault) {
    SimOptions o;
    std::string err;
    EXPECT_TRUE(ApplyFault(fault, &o.faults, &err)) << err;
    auto r = std::make_unique<SimRig>(o);
    r->dev->PowerOn();
    r->ReadUntil("fw =");
    r->Send("@@");
    r->ReadUntil("Varnix");
    r->Send("U");
    r->ReadUntil("C", 3000);
    return r;
  };
  {
    auto r = start("nak-block=2x3");
    r->Send(XPacket(1, image));
    EXPECT_EQ("\x06", r->ReadUntil("\x06", 1000));
    for (int i = 0; i < 3; ++i) {
      r->Send(XPacket(2, image));
      EXPECT_EQ("\x15", r->ReadUntil("\x15", 1000));
    }
    r->Send(XPacket(2, image));
    EXPECT_EQ("\x06", r->ReadUntil("\x06", 1000));
    EXPECT_EQ(3, r->dev->Report().naksSent);
  }
  {
    auto r = start("silent-after-block=2");
    r->Send(XPacket(1, image));
    EXPECT_EQ("\x06", r->ReadUntil("\x06", 1000));
    r->Send(XPacket(2, image));
    EXPECT_EQ("", r->ReadUntil("", 5000));
    EXPECT_EQ("dead", r->dev->Report().state);
  }
  {
    // Each block is written to flash before its ACK; a block sent meanwhile waits in
    // the receive buffer and is answered after its own write.
    auto r = start("slow-flash=2000");
    const uint32_t t0 = r->clock.TickMs();
    r->Send(XPacket(1, image) + XPacket(2, image));
    EXPECT_EQ("\x06", r->ReadUntil("\x06", 3000));
    EXPECT_GE(r->clock.TickMs() - t0, 2000u);
    EXPECT_EQ("\x06", r->ReadUntil("\x06", 3000));
    EXPECT_GE(r->clock.TickMs() - t0, 4000u);
    EXPECT_TRUE(r->dev->Report().violations.empty());
  }
  {
    // Answers at once, then hears nothing for 100 ms: a block sent as soon as the
    // answer is read is lost and asked for again after 1 s of quiet; one sent after
    // the write is taken.
    auto r = start("write-loss=100");
    r->Send(XPacket(1, image));
    EXPECT_EQ("\x06", r->PollUntil("\x06", 1000));
    const uint32_t t0 = r->clock.TickMs();
    r->Send(XPacket(2, image));
    EXPECT_EQ("\x15", r->ReadUntil("\x15", 2000));
    EXPECT_GE(r->clock.TickMs() - t0, 1000u);
    r->Send(XPacket(2, image));
    EXPECT_EQ("\x06", r->PollUntil("\x06", 1000));
    r->ReadUntil("", 150);
    r->Send(XPacket(3, image));
    EXPECT_EQ("\x06", r->PollUntil("\x06", 1000));
    r->ReadUntil("", 150);
    r->Send("\x04");
    EXPECT_NE(std::string::npos, r->ReadUntil("Write to Flash").find("\x06"));
    const SimReport rep = r->dev->Report();
    EXPECT_EQ(Bytes(image, 3 * 1024), rep.firmware);
    EXPECT_EQ(1, rep.naksSent);
    EXPECT_TRUE(rep.violations.empty()) << rep.violations.front();
  }
}

// The line at the station's 115200 baud, in virtual time: what the device prints
// comes no faster than 11.52 bytes a millisecond, and a 1029-byte packet needs its
// 89.3 ms to reach the device.
TEST(SimDevice, BytesTakeTheirLineTimeBothWays) {
  SimOptions o;
  o.flashWriteMs = 0;  // the ACK follows the packet's last byte at once
  SimRig r(o);
  r.dev->PowerOn();
  size_t most = 0;
  ASSERT_NE(std::string::npos, r.PollUntil("fw =", 5000, &most).find("fw ="));
  r.Send("@@");
  ASSERT_NE(std::string::npos, r.PollUntil("Varnix Serial Loader", 5000, &most).find("Varnix"));
  r.Send("U");
  ASSERT_NE(std::string::npos, r.PollUntil("Downloading", 5000, &most).find("Downloading"));
  ASSERT_NE(std::string::npos, r.PollUntil("C", 5000, &most).find('C'));
  EXPECT_LE(most, 12u);

  const uint32_t t0 = r.clock.TickMs();
  r.Send(XPacket(1, Image(1024, 5)));
  EXPECT_EQ("\x06", r.PollUntil("\x06"));
  const uint32_t took = r.clock.TickMs() - t0;
  EXPECT_GE(took, 90u);  // the packet's last byte at 89.3 ms, the ACK's 0.09 ms later
  EXPECT_LE(took, 91u);
  // More than the line holds is not dropped without a word.
  r.Send(std::string((1u << 20) + 1, 'x'));
  EXPECT_TRUE(Has(r.dev->Report().violations, "bytes dropped"));
}

TEST(SimDevice, EchoListenerAndItsFaults) {
  auto exchange = [](const char* fault, int* connectErr) {
    SimOptions o;
    std::string err;
    if (fault) {
      EXPECT_TRUE(ApplyFault(fault, &o.faults, &err)) << err;
    }
    SimRig r(o);
    EXPECT_EQ(0, r.dev->StartEcho());
    r.dev->PowerOn();
    r.ReadUntil("MAC address");
    int rc = 0;
    const int port = std::atoi(r.Query("$GSVPA\r\n", 5, &rc).c_str());
    EXPECT_EQ(r.dev->TcpPort(), port);
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    sa.sin_addr.s_addr = htonl(0x7f000001);
    *connectErr = connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 ? 0 : errno;
    std::string got;
    if (*connectErr == 0) {
      EXPECT_EQ(10, send(fd, "0123456789", 10, 0));
      timeval tv{2, 0};
      setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
      char buf[64];
      const ssize_t n = recv(fd, buf, sizeof buf, 0);
      if (n > 0) got.assign(buf, static_cast<size_t>(n));
    }
    close(fd);
    return got;
  };
  int e = 0;
  EXPECT_EQ("0123456789", exchange(nullptr, &e));
  EXPECT_EQ("0123456789\r\n", exchange("echo-crlf", &e));
  EXPECT_EQ("0123456788", exchange("echo-wrong", &e));
  EXPECT_EQ("01234", exchange("echo-split", &e));
  EXPECT_EQ("", exchange("refuse", &e));
  EXPECT_EQ(ECONNREFUSED, e);
}

TEST(SimFaults, ParsesEveryDocumentedFaultAndRejectsNonsense) {
  SimFaults f;
  std::string err;
  EXPECT_TRUE(ApplyFault("nak-block=3x2", &f, &err));
  EXPECT_EQ(3, f.nakBlock);
  EXPECT_EQ(2, f.nakTimes);
  EXPECT_TRUE(ApplyFault("late=900", &f, &err));
  EXPECT_EQ(900u, f.lateMs);
  // Every fault parses and is explained in the help text.
  const std::string help = FaultHelp();
  for (const char* s : {"silent",      "silent-after-ser",
                        "late",        "fail",
                        "fail=GLM",    "mac-mismatch=2",
                        "no-glm",      "nul",
                        "split=100",   "crlf-split",
                        "prompt",      "noise",
                        "baud=38400",  "no-c",
                        "nak-block=1", "silent-after-block=4",
                        "eot-nak=2",   "no-eot-ack",
                        "refuse",      "echo-crlf",
                        "echo-split",  "echo-wrong",
                        "echo-none",   "echo-late=100",
                        "slow-flash",  "write-loss=50"}) {
    SimFaults g;
    EXPECT_TRUE(ApplyFault(s, &g, &err)) << s << ": " << err;
    const std::string name = std::string(s).substr(0, std::string(s).find('='));
    EXPECT_NE(std::string::npos, help.find("  " + name)) << name;
  }
  for (const char* s : {"", "bogus", "nak-block", "nak-block=0", "nak-block=2x", "late=abc",
                        "late=0", "silent=1", "eot-nak=-1", "split=99999999999", "baud=9600"}) {
    SimFaults g;
    EXPECT_FALSE(ApplyFault(s, &g, &err)) << s;
    EXPECT_FALSE(err.empty());
  }
}

// A station that gives up in the middle of a transfer and goes back to its wake-up
// writes must not keep the loader waiting: only accepted blocks count as progress.
TEST(SimDevice, AbandonedTransferTimesOutDespiteWakeUpChatter) {
  SimRig r;
  r.dev->PowerOn();
  ASSERT_NE(std::string::npos, r.ReadUntil("fw =").find("fw ="));
  r.Send("@@");
  ASSERT_NE(std::string::npos, r.ReadUntil("Varnix Serial Loader").find("Varnix"));
  r.Send("U");
  ASSERT_NE(std::string::npos, r.ReadUntil("C", 3000).find('C'));
  const std::string firmware = Image(4096, 3);
  r.Send(XPacket(1, firmware));
  ASSERT_NE(std::string::npos, r.ReadUntil("\x06", 2000).find('\x06'));
  std::string seen;
  for (int i = 0; i < 12; ++i) {  // about 72 s of "$SES" / "U" every 6 s
    r.Send(i % 2 ? "U" : "$SES\r\n");
    seen += r.ReadUntil("Download aborted", 6000);
    if (seen.find("Download aborted") != std::string::npos) break;
  }
  EXPECT_NE(std::string::npos, seen.find("Download aborted")) << seen;
}

// The line of the pty transport: bytes arrive one after the other at 10 bits a byte,
// a pause on the line is not made up for, and bytes sent at another rate keep theirs.
TEST(LineQueue, BytesArriveAtTheLineRate) {
  LineQueue q;
  q.SetBaud(115200);
  EXPECT_EQ(-1, q.UsUntilNext(0));
  const std::string packet(1029, 'p');
  q.Put(packet.data(), packet.size(), 1000);
  EXPECT_EQ(87, q.UsUntilNext(1000));  // 86.8 us a byte, rounded up
  EXPECT_EQ(0u, q.Due(1086));
  EXPECT_EQ(1u, q.Due(1087));
  EXPECT_EQ(1028u, q.Due(1000 + 89322));  // the whole packet needs 89322.9 us
  EXPECT_EQ(1029u, q.Due(1000 + 89323));
  q.Put("ab", 2, 2000);  // queued behind the packet, not at 2000
  EXPECT_EQ(1029u, q.Due(1000 + 89323 + 86));
  EXPECT_EQ(1030u, q.Due(1000 + 89323 + 87));
  EXPECT_EQ(1031u, q.Due(1000 + 89323 + 174));
  EXPECT_EQ(packet, q.Take(1029));
  EXPECT_EQ("ab", q.Take(10));
  EXPECT_TRUE(q.Empty());
  // After a quiet line a byte takes one byte time from when it was sent.
  q.SetBaud(38400);
  q.Put("c", 1, 10'000'000);
  EXPECT_EQ(261, q.UsUntilNext(10'000'000));
  q.SetBaud(0);  // rate not known: at once, after what is queued
  q.Put("d", 1, 10'000'000);
  EXPECT_EQ(2u, q.Due(10'000'261));
}

// A slot's unit taken out and a fresh one put in, in virtual time: the line goes
// silent (or the port fails like an unplugged adapter), the echo goes dead, a probe
// that crosses the new unit's power-on is lost without a word, and the report keeps
// every unit the slot held with what it was given.
TEST(SimDevice, UnitsAreSwappedInTheirSlot) {
  SimRig r;
  ASSERT_EQ(0, r.dev->StartEcho());
  r.dev->PowerOn();
  r.ReadUntil("MAC address");
  int rc = 0;
  EXPECT_EQ(" OK", r.Query("$SYCXXMAC02:5C:3A:04:22:D1\r\n", 8, &rc));

  ASSERT_TRUE(r.dev->Remove(Removal::Silent));
  EXPECT_FALSE(r.dev->Remove(Removal::Silent));
  r.Query("$GLM\r\n", 3, &rc);
  EXPECT_EQ(-3, rc);
  EXPECT_EQ("empty", r.dev->Report().state);
  {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(r.dev->TcpPort());
    sa.sin_addr.s_addr = htonl(0x7f000001);
    ASSERT_EQ(0, connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa));
    EXPECT_EQ(4, send(fd, "ping", 4, 0));
    timeval tv{0, 300000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    char buf[8];
    EXPECT_GT(0, recv(fd, buf, sizeof buf, 0)) << "a removed unit's echo answered";
    close(fd);
  }

  ASSERT_TRUE(r.dev->Insert());
  r.Send("$GLM\r\n");  // on the line before the boot ROM listens: lost
  const std::string boot = r.ReadUntil("MAC address");
  EXPECT_NE(std::string::npos, boot.find("fw ="));
  EXPECT_EQ(std::string::npos, boot.find("%GLM"));
  EXPECT_EQ(" 02:5C:3A:01:00:01", r.Query("$GLM\r\n", 3, &rc));

  ASSERT_TRUE(r.dev->Remove(Removal::Vanish));
  uint8_t buf[16];
  size_t n = 0;
  EXPECT_EQ(EIO, r.cp->port()->Read(buf, sizeof buf, &n));
  ASSERT_TRUE(r.dev->Insert());
  EXPECT_EQ(0, r.cp->port()->Read(buf, sizeof buf, &n));

  const SimReport rep = r.dev->Report();
  ASSERT_EQ(3u, rep.units.size());
  EXPECT_EQ("02:5C:3A:00:00:01", rep.units[0].factoryMac);
  EXPECT_EQ("02:5C:3A:04:22:D1", rep.units[0].programmedMac);
  EXPECT_EQ("silent", rep.units[0].removed);
  EXPECT_EQ("02:5C:3A:01:00:01", rep.units[1].factoryMac);
  EXPECT_EQ("", rep.units[1].programmedMac);
  EXPECT_EQ("vanish", rep.units[1].removed);
  EXPECT_EQ("02:5C:3A:02:00:01", rep.units[2].factoryMac);
  EXPECT_EQ("", rep.units[2].removed);
  EXPECT_EQ(3, rep.unit);
  for (const SimReport& u : rep.units) EXPECT_TRUE(u.violations.empty()) << u.violations.front();
}

// A shift: each unit taken out a while after it took its address and restarted, the
// next one put in after the gap, as many units as the plan says.
TEST(SimDevice, AShiftSwapsEachUnitAfterItWasProgrammed) {
  SwapPlan plan;
  std::string err;
  ASSERT_TRUE(ParseShift("2s,gap=2s,units=2", &plan, &err)) << err;
  for (const char* bad : {"", "0", "2s,gap", "2s,units=0", "2s,after=loopback", "2h"}) {
    SwapPlan p;
    EXPECT_FALSE(ParseShift(bad, &p, &err)) << bad;
  }
  ASSERT_TRUE(ParseSwapEvents("insert@9s,remove@1500", &plan, &err)) << err;
  EXPECT_EQ(1500u, plan.events[0].atMs);
  EXPECT_FALSE(ParseSwapEvents("remove@soon", &plan, &err));
  plan.events.clear();
  SimRig r;
  r.dev->SetPlan(plan);
  r.dev->PowerOn();
  for (int unit = 1; unit <= 2; ++unit) {
    SCOPED_TRACE(unit);
    ASSERT_NE(std::string::npos, r.ReadUntil("MAC address").find("MAC address"));
    r.ReadUntil("", 3000);  // not done with it yet: still in its slot
    EXPECT_EQ(unit, r.dev->Report().unit);
    EXPECT_NE("empty", r.dev->Report().state);
    int rc = 0;
    r.Query(unit == 1 ? "$SYCXXMAC02:5C:3A:04:22:D1\r\n" : "$SYCXXMAC02:5C:3A:04:22:D2\r\n", 8, &rc);
    r.Send("$SER\r\n");
    ASSERT_NE(std::string::npos, r.ReadUntil("verison").find("verison"));
    r.ReadUntil("", 2500);
    EXPECT_EQ("empty", r.dev->Report().state);
  }
  EXPECT_EQ("", r.ReadUntil("", 5000));  // two units in all
  const SimReport rep = r.dev->Report();
  ASSERT_EQ(2u, rep.units.size());
  EXPECT_EQ("02:5C:3A:04:22:D1", rep.units[0].programmedMac);
  EXPECT_EQ("02:5C:3A:04:22:D2", rep.units[1].programmedMac);
  EXPECT_NE(rep.units[0].factoryMac, rep.units[1].factoryMac);
}
