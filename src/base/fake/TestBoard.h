#pragma once
// Test doubles for the board side: a UiThread that runs routines at once under one
// lock (standing in for the UI thread in GUI-free tests), a Board that records every
// call, and message boxes that record what they were asked and answer as told.
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/Board.h"
#include "base/MessageBoxes.h"
#include "base/UiThread.h"

// Runs each routine directly on the calling thread, one at a time, so routines of
// several threads never overlap (as on a real UI thread).
class InlineUiThread final : public UiThread {
 public:
  void RunSync(const std::function<void()>& fn) override {
    std::lock_guard<std::recursive_mutex> lock(m_);
    fn();
  }
  bool IsUiThread() const override { return true; }

 private:
  std::recursive_mutex m_;
};

// Records every board call. Safe to read from the test thread while workers run.
class RecordingBoard final : public Board {
 public:
  struct Cell {
    int row, column;
    bool operator<(const Cell& o) const {
      return std::pair(row, column) < std::pair(o.row, o.column);
    }
  };

  // Runs after each status text was recorded, on the caller's thread. Set it while no
  // thread shows statuses.
  std::function<void(const std::string&)> onStatus;

  void ShowPortStatus(int portIndex, const std::string& text) override {
    {
      std::lock_guard<std::mutex> lock(m_);
      status_[Cell{portIndex / 2, portIndex % 2}] = text;
      statusHistory_[portIndex].push_back(text);
      events_.push_back("status " + std::to_string(portIndex) + " " + text);
    }
    if (onStatus) onStatus(text);
  }
  void SetMacGridCell(int row, int column, const std::string& text) override {
    std::lock_guard<std::mutex> lock(m_);
    mac_[Cell{row, column}] = text;
    events_.push_back("mac " + std::to_string(row) + " " + std::to_string(column) + " " + text);
  }
  void AppendMessage(const std::string& text) override {
    std::lock_guard<std::mutex> lock(m_);
    messages_.push_back(text);
    events_.push_back("message " + text);
  }
  void ClearMessages() override {
    std::lock_guard<std::mutex> lock(m_);
    messages_.clear();
  }
  void ClearStatusGrid() override {
    std::lock_guard<std::mutex> lock(m_);
    status_.clear();
  }
  void ShowException(const std::string& message) override {
    std::lock_guard<std::mutex> lock(m_);
    exceptions_.push_back(message);
    events_.push_back("exception " + message);
  }
  void SetStartButton(bool running) override {
    std::lock_guard<std::mutex> lock(m_);
    startRunning_ = running;
  }
  void DispatcherEnded() override {
    std::lock_guard<std::mutex> lock(m_);
    ended_++;
    events_.push_back("end");
  }

  // ---- reading back ----
  std::string StatusCell(int row, int column) const {
    std::lock_guard<std::mutex> lock(m_);
    auto it = status_.find(Cell{row, column});
    return it == status_.end() ? std::string() : it->second;
  }
  // The text of port k's cell.
  std::string PortStatus(int portIndex) const { return StatusCell(portIndex / 2, portIndex % 2); }
  std::vector<std::string> PortStatusHistory(int portIndex) const {
    std::lock_guard<std::mutex> lock(m_);
    auto it = statusHistory_.find(portIndex);
    return it == statusHistory_.end() ? std::vector<std::string>() : it->second;
  }
  std::string MacCell(int row, int column) const {
    std::lock_guard<std::mutex> lock(m_);
    auto it = mac_.find(Cell{row, column});
    return it == mac_.end() ? std::string() : it->second;
  }
  std::vector<std::string> Messages() const {
    std::lock_guard<std::mutex> lock(m_);
    return messages_;
  }
  std::vector<std::string> Exceptions() const {
    std::lock_guard<std::mutex> lock(m_);
    return exceptions_;
  }
  std::vector<std::string> Events() const {
    std::lock_guard<std::mutex> lock(m_);
    return events_;
  }
  bool StartRunning() const {
    std::lock_guard<std::mutex> lock(m_);
    return startRunning_;
  }
  int EndedCount() const {
    std::lock_guard<std::mutex> lock(m_);
    return ended_;
  }
  void UnitEnded(int portIndex, int cycle, bool passed) override {
    std::lock_guard<std::mutex> lock(m_);
    units_[portIndex].push_back(passed ? "passed" : "failed");
    events_.push_back("unit " + std::to_string(portIndex) + " " + std::to_string(cycle) +
                      (passed ? " passed" : " failed"));
  }
  // The verdicts of the slot's units, in order ("passed", "failed").
  std::vector<std::string> Units(int portIndex) const {
    std::lock_guard<std::mutex> lock(m_);
    auto it = units_.find(portIndex);
    return it == units_.end() ? std::vector<std::string>() : it->second;
  }

 private:
  mutable std::mutex m_;
  std::map<Cell, std::string> status_;
  std::map<int, std::vector<std::string>> statusHistory_;
  std::map<Cell, std::string> mac_;
  std::vector<std::string> messages_;
  std::vector<std::string> exceptions_;
  std::vector<std::string> events_;
  std::map<int, std::vector<std::string>> units_;
  bool startRunning_ = false;
  int ended_ = 0;
};

// Records boxes; answers Yes/No boxes with the next queued answer (Yes by default).
class RecordingBoxes final : public MessageBoxes {
 public:
  struct Box {
    std::string caption, text;
    BoxButtons buttons;
    BoxIcon icon;
  };
  BoxResult Show(const std::string& caption, const std::string& text, BoxButtons buttons,
                 BoxIcon icon) override {
    std::lock_guard<std::mutex> lock(m_);
    boxes_.push_back(Box{caption, text, buttons, icon});
    if (buttons == BoxButtons::Ok) return BoxResult::Ok;
    if (answers_.empty()) return BoxResult::Yes;
    BoxResult r = answers_.front();
    answers_.pop_front();
    return r;
  }
  void QueueAnswer(BoxResult r) {
    std::lock_guard<std::mutex> lock(m_);
    answers_.push_back(r);
  }
  std::vector<Box> Boxes() const {
    std::lock_guard<std::mutex> lock(m_);
    return boxes_;
  }
  std::vector<std::string> Texts() const {
    std::lock_guard<std::mutex> lock(m_);
    std::vector<std::string> out;
    for (auto& b : boxes_) out.push_back(b.text);
    return out;
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(m_);
    boxes_.clear();
  }

 private:
  mutable std::mutex m_;
  std::vector<Box> boxes_;
  std::deque<BoxResult> answers_;
};
