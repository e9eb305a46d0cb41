// The time a production record adds to each port: runs of 1 and of 16 ports go
// through the recorder with the real SQLite store, every event of a three-step job
// reported as the dispatcher and the workers report it. The dispatcher waits for the
// writer twice per run (the records opened before any worker starts, and closed before
// the run ends); those waits, divided by the run's ports, are what a record adds to a
// port. The intermediate writes (steps, images, the MAC) go on in the background while
// the devices work, and are done before the ports finish, as in a real run.
//
//   bench_records [--dir DIR] [--runs N]    (default: a new directory in /tmp, 200 runs)
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/Board.h"
#include "base/JobState.h"
#include "base/Station.h"
#include "base/UiThread.h"
#include "platform/PortMap.h"
#include "records/ProductionRecorder.h"
#include "records/SqliteRecordStore.h"

namespace {

using Steady = std::chrono::steady_clock;

class InlineUi final : public UiThread {
 public:
  void RunSync(const std::function<void()>& fn) override {
    std::lock_guard<std::mutex> lock(m_);
    fn();
  }
  bool IsUiThread() const override { return true; }

 private:
  std::mutex m_;
};

class QuietBoard final : public Board {
 public:
  void ShowPortStatus(int, const std::string&) override {}
  void SetMacGridCell(int, int, const std::string&) override {}
  void AppendMessage(const std::string& text) override {
    std::fprintf(stderr, "message: %s\n", text.c_str());
  }
  void ClearMessages() override {}
  void ClearStatusGrid() override {}
  void ShowException(const std::string&) override {}
  void SetStartButton(bool) override {}
  void DispatcherEnded() override {}
};

double Micros(Steady::duration d) {
  return std::chrono::duration<double, std::micro>(d).count();
}

double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const size_t i = static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
  return v[std::min(i, v.size() - 1)];
}

struct Figures {
  std::vector<double> perPortMs;  // both waits of a run / ports
  std::vector<double> openMs;     // RunStarted
  std::vector<double> closeMs;    // PortsChecked + RunEnded
  std::vector<double> uiCallUs;   // PortStatus, MacTaken, MacReported (one call)
};

void OneRun(ProductionRecorder& rec, Station& st, int ports, int runIndex, Figures* f) {
  RecordedJob job;
  job.steps = ProductionRecorder::StepsOf(*st.job);
  job.consoleBaud = 115200;
  job.firmwarePath = "/jobs/sample.vff";
  job.eepromPath = "/jobs/sample.vef";
  rec.RunStarting(job);
  st.stages->ClearAll();
  std::vector<int> numbers;
  for (int k = 0; k < ports; k++) numbers.push_back(k + 1);

  const auto t0 = Steady::now();
  rec.RunStarted(numbers);
  const auto t1 = Steady::now();

  for (int k = 0; k < ports; k++) {
    rec.StepStarted(k, WorkerKind::Download);
    for (bool firmware : {true, false}) {
      SentImage image;
      image.firmware = firmware;
      image.path = firmware ? job.firmwarePath : job.eepromPath;
      image.fileBytes = firmware ? 32768 : 1024;
      image.sentBytes = image.fileBytes;
      image.sha256 = std::string(64, firmware ? 'f' : 'e');
      image.tempMac = "02:5C:3A:FF:FF:FF";
      rec.ImageSent(k, image);
    }
    st.stages->Set(k, StageDownloaded);
    rec.StepStarted(k, WorkerKind::LoopbackTest);
    st.stages->Set(k, StageTested);
    rec.StepStarted(k, WorkerKind::ProgramMac);
    const int n = runIndex * 16 + k;
    const MacAddress mac = {0x02, 0x5C, 0x3A, static_cast<uint8_t>((n >> 16) & 255),
                            static_cast<uint8_t>((n >> 8) & 255), static_cast<uint8_t>(n & 255)};
    const auto u0 = Steady::now();
    rec.MacTaken(k, mac, false);
    rec.PortStatus(k, "COM" + std::to_string(k + 1) + ": %GLM " + FormatMac(mac) + "\r OK");
    rec.MacReported(k, mac, true);
    f->uiCallUs.push_back(Micros(Steady::now() - u0) / 3);
    st.stages->Set(k, StageProgrammed);
  }
  // The devices take tens of seconds: the background writes are done by now.
  while (rec.writer().Queued() > 0) usleep(200);

  const auto t2 = Steady::now();
  rec.PortsChecked();
  rec.RunEnded();
  const auto t3 = Steady::now();
  const double open = Micros(t1 - t0) / 1000, close = Micros(t3 - t2) / 1000;
  f->openMs.push_back(open);
  f->closeMs.push_back(close);
  f->perPortMs.push_back((open + close) / ports);
}

}  // namespace

int main(int argc, char** argv) {
  std::string dir;
  int runs = 200;
  for (int i = 1; i < argc; i++) {
    if (!std::strcmp(argv[i], "--dir") && i + 1 < argc) {
      dir = argv[++i];
    } else if (!std::strcmp(argv[i], "--runs") && i + 1 < argc) {
      runs = std::max(1, std::atoi(argv[++i]));
    } else {
      std::fprintf(stderr, "usage: bench_records [--dir DIR] [--runs N]\n");
      return 2;
    }
  }
  bool made = false;
  if (dir.empty()) {
    char tmpl[] = "/tmp/pt_bench_records_XXXXXX";
    if (!mkdtemp(tmpl)) return 1;
    dir = tmpl;
    made = true;
  }
  std::printf("records database in %s; %d runs per size; times in ms\n", dir.c_str(), runs);
  std::printf("%-6s %-28s %-28s %-28s %s\n", "ports", "added per port (median/p99)",
              "open wait (median/p99)", "close wait (median/p99)", "UI-thread call (us)");
  for (int ports : {1, 16}) {
    const std::string path = dir + "/records-" + std::to_string(ports) + ".db";
    InlineUi ui;
    QuietBoard board;
    JobState job;
    job.jobFlags = kJobEeprom | kJobFirmware;
    job.loopbackTest = 1;
    job.programMac = true;
    StageTable stages;
    PortMap portMap(dir);
    Station st;
    st.ui = &ui;
    st.board = &board;
    st.job = &job;
    st.stages = &stages;
    st.ports = &portMap;
    Figures f;
    {
      ProductionRecorder rec(st, std::make_unique<SqliteRecordStore>(path), "bench");
      for (int r = 0; r < runs; r++) OneRun(rec, st, ports, r, &f);
    }
    std::printf("%-6d %8.3f / %-17.3f %8.3f / %-17.3f %8.3f / %-17.3f %.1f / %.1f\n", ports,
                Percentile(f.perPortMs, 0.5), Percentile(f.perPortMs, 0.99),
                Percentile(f.openMs, 0.5), Percentile(f.openMs, 0.99), Percentile(f.closeMs, 0.5),
                Percentile(f.closeMs, 0.99), Percentile(f.uiCallUs, 0.5),
                Percentile(f.uiCallUs, 0.99));
    unlink(path.c_str());
    unlink((path + "-wal").c_str());
    unlink((path + "-shm").c_str());
  }
  if (made) rmdir(dir.c_str());
  return 0;
}
