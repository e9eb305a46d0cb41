#include "platform/fake/FakeSerial.h"

#include <algorithm>

void FakeLine::DeviceSend(const std::string& bytes) {
  DeviceSend(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

void FakeLine::DeviceSend(const uint8_t* data, size_t len) {
  std::lock_guard<std::mutex> lock(m_);
  toHost_.insert(toHost_.end(), data, data + len);
}

std::string FakeLine::DeviceTakeReceived() {
  std::lock_guard<std::mutex> lock(m_);
  std::string out;
  out.swap(received_);
  return out;
}

std::string FakeLine::AllHostWrites() const {
  std::lock_guard<std::mutex> lock(m_);
  return allWrites_;
}

std::vector<std::string> FakeLine::HostWriteLog() const {
  std::lock_guard<std::mutex> lock(m_);
  return writeLog_;
}

void FakeLine::SetOnHostWrite(std::function<void(const std::string&)> cb) {
  std::lock_guard<std::mutex> lock(m_);
  onHostWrite_ = std::move(cb);
}

bool FakeLine::IsHeld() const {
  std::lock_guard<std::mutex> lock(m_);
  return held_;
}
uint32_t FakeLine::baud() const {
  std::lock_guard<std::mutex> lock(m_);
  return baud_;
}
int FakeLine::openCount() const {
  std::lock_guard<std::mutex> lock(m_);
  return openCount_;
}
int FakeLine::purgeCount() const {
  std::lock_guard<std::mutex> lock(m_);
  return purgeCount_;
}

std::shared_ptr<FakeLine> FakeSerialBus::Line(const std::string& devicePath) {
  std::lock_guard<std::mutex> lock(m_);
  auto& slot = lines_[devicePath];
  if (!slot) slot = std::make_shared<FakeLine>();
  return slot;
}

bool FakeSerialBus::Has(const std::string& devicePath) const {
  std::lock_guard<std::mutex> lock(m_);
  return lines_.count(devicePath) != 0;
}

std::unique_ptr<SerialPort> FakeSerialBus::Create() {
  return std::make_unique<FakeSerialPort>(*this);
}

int FakeSerialPort::Open(const std::string& devicePath) {
  if (line_) return EBUSY;
  if (!bus_.Has(devicePath)) return ENOENT;
  auto line = bus_.Line(devicePath);
  std::lock_guard<std::mutex> lock(line->m_);
  if (!line->present) return ENOENT;
  if (line->failOpen) return line->failOpen;
  if (line->held_) return EBUSY;
  line->held_ = true;
  line->openCount_++;
  line_ = line;
  return 0;
}

int FakeSerialPort::SetQueueSizes(uint32_t, uint32_t) {
  if (!line_) return EBADF;
  return line_->failQueueSizes;
}

int FakeSerialPort::SetImmediateReadTimeouts() {
  if (!line_) return EBADF;
  return line_->failTimeouts;
}

int FakeSerialPort::GetLineSettings() {
  if (!line_) return EBADF;
  return line_->failGetState;
}

int FakeSerialPort::SetLineSettings(uint32_t baud) {
  if (!line_) return EBADF;
  std::lock_guard<std::mutex> lock(line_->m_);
  if (line_->failSetState) return line_->failSetState;
  line_->baud_ = baud;
  return 0;
}

int FakeSerialPort::Purge() {
  if (!line_) return EBADF;
  std::lock_guard<std::mutex> lock(line_->m_);
  if (line_->failPurge) return line_->failPurge;
  line_->toHost_.clear();
  line_->purgeCount_++;
  return 0;
}

int FakeSerialPort::QueuedBytes(uint32_t* count) {
  *count = 0;
  if (!line_) return EBADF;
  std::lock_guard<std::mutex> lock(line_->m_);
  if (line_->failQueued) return line_->failQueued;
  *count = static_cast<uint32_t>(line_->toHost_.size());
  return 0;
}

int FakeSerialPort::Read(uint8_t* buf, size_t max, size_t* got) {
  *got = 0;
  if (!line_) return EBADF;
  std::lock_guard<std::mutex> lock(line_->m_);
  if (line_->failRead) return line_->failRead;
  const size_t n = std::min(max, line_->toHost_.size());
  std::copy_n(line_->toHost_.begin(), n, buf);
  line_->toHost_.erase(line_->toHost_.begin(), line_->toHost_.begin() + static_cast<long>(n));
  *got = n;
  return 0;
}

int FakeSerialPort::Write(const uint8_t* buf, size_t len, size_t* written) {
  *written = 0;
  if (!line_) return EBADF;
  std::function<void(const std::string&)> cb;
  std::string data;
  {
    std::lock_guard<std::mutex> lock(line_->m_);
    if (line_->failWrite) return line_->failWrite;
    size_t n = len;
    if (line_->writeBlocked) n = 0;
    if (line_->writeLimit && n > line_->writeLimit) n = line_->writeLimit;
    data.assign(reinterpret_cast<const char*>(buf), n);
    line_->received_ += data;
    line_->allWrites_ += data;
    line_->writeLog_.push_back(data);
    cb = line_->onHostWrite_;
    *written = n;
  }
  if (cb && !data.empty()) cb(data);
  return 0;
}

void FakeSerialPort::Close() {
  if (!line_) return;
  {
    std::lock_guard<std::mutex> lock(line_->m_);
    line_->held_ = false;
  }
  line_.reset();
}
