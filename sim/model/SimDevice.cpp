#include "sim/model/SimDevice.h"

#include <algorithm>
#include <cerrno>

namespace {
// Bytes on their way in either direction; what is sent beyond this is dropped (no
// station sends or awaits this much without reading or answering).
constexpr size_t kMaxOnLine = 1u << 20;
}  // namespace

SimDevice::SimDevice(std::shared_ptr<FakeLine> line, FakeClock& clock, SimOptions options)
    : line_(std::move(line)),
      clock_(clock),
      faults_(options.faults),
      shared_(std::make_shared<Shared>()) {
  Shared* sh = shared_.get();
  shared_->slot =
      std::make_unique<SimSlot>(std::move(options), [sh](const std::string& bytes) {
        if (sh->toHost.Size() + bytes.size() > kMaxOnLine) {
          sh->dropped += bytes.size();
          return;
        }
        sh->toHost.Put(bytes.data(), bytes.size(), sh->nowUs);
      });
  // The callbacks hold the device weakly: once it is gone they do nothing (the fake
  // clock cannot drop a listener).
  std::weak_ptr<Shared> weak = shared_;
  std::weak_ptr<FakeLine> weakLine = line_;
  FakeClock* clk = &clock_;
  FakeLine* raw = line_.get();
  line_->SetOnHostWrite([weak, clk, raw](const std::string& bytes) {
    if (auto s = weak.lock()) {
      std::lock_guard<std::mutex> lock(s->m);
      // Written now: the line is brought up to the clock before the bytes go on it.
      RunTo(*s, *raw, clk->TickMs());
      if (s->toDevice.Size() + bytes.size() > kMaxOnLine) {
        s->dropped += bytes.size();
      } else {
        s->toDevice.Put(bytes.data(), bytes.size(), s->nowUs);
      }
      Settle(*s, *raw);
    }
  });
  clock_.AddListener([weak, weakLine](uint32_t now) {
    auto s = weak.lock();
    auto l = weakLine.lock();
    if (s && l) {
      std::lock_guard<std::mutex> lock(s->m);
      RunTo(*s, *l, now);
    }
  });
}

SimDevice::~SimDevice() {
  line_->SetOnHostWrite(nullptr);
  {
    std::lock_guard<std::mutex> lock(shared_->m);
    shared_->echo = nullptr;
  }
  echo_.Stop();
}

void SimDevice::ReadBaud(Shared& s, FakeLine& line) {
  const uint32_t baud = line.baud();
  if (DeviceModel* unit = s.slot->Unit()) unit->SetHostBaud(baud);
  s.toDevice.SetBaud(baud);
  s.toHost.SetBaud(baud);
}

void SimDevice::Settle(Shared& s, FakeLine& line) {
  DeviceModel* unit = s.slot->Unit();
  const size_t in = s.toDevice.Due(s.nowUs);
  if (in > 0) {
    const std::string bytes = s.toDevice.Take(in);  // lost while the slot is empty
    if (unit)
      unit->HostBytes(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), s.tickMs);
  }
  if (unit) unit->Tick(s.tickMs);
  const size_t out = s.toHost.Due(s.nowUs);
  if (out > 0) line.DeviceSend(s.toHost.Take(out));
  SwapPlan::What what;
  while (s.slot->Due(s.tickMs, &what) && Apply(s, line, what)) {
  }
}

bool SimDevice::Apply(Shared& s, FakeLine& line, SwapPlan::What what) {
  if (what == SwapPlan::What::Insert) {
    if (!s.slot->Insert(s.tickMs)) return false;
    if (s.slot->LastRemoval() == Removal::Vanish) {
      line.present = true;
      line.failRead = line.failWrite = 0;
    }
    if (s.echo) s.echo->SetDeaf(false);
    ReadBaud(s, line);
    return true;
  }
  const Removal how = what == SwapPlan::What::RemoveVanish ? Removal::Vanish : Removal::Silent;
  if (!s.slot->Remove(how, s.tickMs)) return false;
  // What was on its way in either direction goes with the unit.
  s.toDevice.Clear();
  s.toHost.Clear();
  if (how == Removal::Vanish) {
    line.present = false;
    line.failRead = line.failWrite = EIO;
  }
  if (s.echo) s.echo->SetDeaf(true);
  return true;
}

void SimDevice::RunTo(Shared& s, FakeLine& line, uint32_t tickMs) {
  if (!s.timeSet) {
    s.timeSet = true;
    s.tickMs = tickMs;
  }
  ReadBaud(s, line);
  // A tick read on another thread just before a newer one arrived: time never runs back.
  const int32_t ahead = static_cast<int32_t>(tickMs - s.tickMs);
  uint32_t left = ahead > 0 ? static_cast<uint32_t>(ahead) : 0;
  // Through the milliseconds in between, stopping wherever bytes arrive or the device
  // acts, so that what it sends on starts at the moment it sent it.
  for (;;) {
    Settle(s, line);
    if (left == 0) return;
    uint32_t step = left;
    DeviceModel* unit = s.slot->Unit();
    const int64_t act = unit ? unit->MsUntilNext(s.tickMs) : -1;
    if (act >= 0) step = std::min<uint32_t>(step, static_cast<uint32_t>(std::max<int64_t>(act, 1)));
    const int64_t plan = s.slot->MsUntilDue(s.tickMs);
    if (plan >= 0)
      step = std::min<uint32_t>(step, static_cast<uint32_t>(std::max<int64_t>(plan, 1)));
    const int64_t byte = s.toDevice.UsUntilNext(s.nowUs);
    if (byte >= 0)
      step = std::min<uint32_t>(step,
                                static_cast<uint32_t>(std::max<int64_t>((byte + 999) / 1000, 1)));
    s.tickMs += step;
    s.nowUs += uint64_t{step} * 1000;
    left -= step;
  }
}

void SimDevice::PowerOn() {
  std::lock_guard<std::mutex> lock(shared_->m);
  RunTo(*shared_, *line_, clock_.TickMs());
  shared_->slot->PowerOn(shared_->tickMs);
}

int SimDevice::StartEcho(uint32_t ip, uint16_t port) {
  const int rc = echo_.Start(ip, port, faults_);
  if (rc == 0) {
    std::lock_guard<std::mutex> lock(shared_->m);
    shared_->slot->SetTcpPort(echo_.Port());
    shared_->echo = &echo_;
    echo_.SetDeaf(shared_->slot->Removed());
  }
  return rc;
}

bool SimDevice::Remove(Removal how) {
  std::lock_guard<std::mutex> lock(shared_->m);
  RunTo(*shared_, *line_, clock_.TickMs());
  return Apply(*shared_, *line_,
               how == Removal::Vanish ? SwapPlan::What::RemoveVanish : SwapPlan::What::RemoveSilent);
}

bool SimDevice::Insert() {
  std::lock_guard<std::mutex> lock(shared_->m);
  RunTo(*shared_, *line_, clock_.TickMs());
  return Apply(*shared_, *line_, SwapPlan::What::Insert);
}

bool SimDevice::Insert(const SimFaults& faults) {
  std::lock_guard<std::mutex> lock(shared_->m);
  RunTo(*shared_, *line_, clock_.TickMs());
  shared_->slot->SetFaults(faults);
  return Apply(*shared_, *line_, SwapPlan::What::Insert);
}

void SimDevice::SetPlan(SwapPlan plan) {
  std::lock_guard<std::mutex> lock(shared_->m);
  shared_->slot->SetPlan(std::move(plan));
}

SimReport SimDevice::Report() const {
  std::lock_guard<std::mutex> lock(shared_->m);
  SimReport r = shared_->slot->Report();
  if (shared_->dropped > 0)
    r.violations.push_back(std::to_string(shared_->dropped) +
                           " bytes dropped: more than the line holds was sent");
  return r;
}
