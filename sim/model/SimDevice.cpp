#include "sim/model/SimDevice.h"

SimDevice::SimDevice(std::shared_ptr<FakeLine> line, FakeClock& clock, SimOptions options)
    : line_(std::move(line)),
      clock_(clock),
      faults_(options.faults),
      shared_(std::make_shared<Shared>()) {
  FakeLine* raw = line_.get();
  std::weak_ptr<FakeLine> weakLine = line_;
  shared_->model = std::make_unique<DeviceModel>(
      std::move(options), [raw](const std::string& bytes) { raw->DeviceSend(bytes); });
  // The callbacks hold the device weakly: once it is gone they do nothing (the fake
  // clock cannot drop a listener).
  std::weak_ptr<Shared> weak = shared_;
  FakeClock* clk = &clock_;
  line_->SetOnHostWrite([weak, clk, raw](const std::string& bytes) {
    if (auto s = weak.lock()) {
      std::lock_guard<std::mutex> lock(s->m);
      s->model->SetHostBaud(raw->baud());
      s->model->HostBytes(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(),
                          clk->TickMs());
    }
  });
  clock_.AddListener([weak, weakLine](uint32_t now) {
    auto s = weak.lock();
    auto l = weakLine.lock();
    if (s && l) {
      std::lock_guard<std::mutex> lock(s->m);
      s->model->SetHostBaud(l->baud());
      s->model->Tick(now);
    }
  });
}

SimDevice::~SimDevice() {
  line_->SetOnHostWrite(nullptr);
  echo_.Stop();
}

void SimDevice::PowerOn() {
  std::lock_guard<std::mutex> lock(shared_->m);
  shared_->model->SetHostBaud(line_->baud());
  shared_->model->PowerOn(clock_.TickMs());
}

int SimDevice::StartEcho(uint32_t ip, uint16_t port) {
  const int rc = echo_.Start(ip, port, faults_);
  if (rc == 0) {
    std::lock_guard<std::mutex> lock(shared_->m);
    shared_->model->SetTcpPort(echo_.Port());
  }
  return rc;
}

SimReport SimDevice::Report() const {
  std::lock_guard<std::mutex> lock(shared_->m);
  return shared_->model->Report();
}
