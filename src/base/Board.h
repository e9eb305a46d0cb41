#pragma once
// The production board: what the main window shows. Implemented by the Qt main
// window and by the headless runner. Every routine runs on the UI thread only;
// threads reach it through UiThread::RunSync (Thread::Synchronize).
#include <string>

class Board {
 public:
  virtual ~Board() = default;
  // StatusGrid cell (column portIndex % 2, row portIndex / 2) := text.
  virtual void ShowPortStatus(int portIndex, const std::string& text) = 0;
  // A download on the port has sent `block` of its `blocks` image blocks (its status
  // text says so too; this is the same fact as numbers). Called just before that text.
  virtual void ShowPortProgress(int /*portIndex*/, int /*block*/, int /*blocks*/) {}
  // MACGrid cell := text. Row 0 is the MAC line, row 1 the port-scan line.
  virtual void SetMacGridCell(int row, int column, const std::string& text) = 0;
  // One new line at the end of the message log.
  virtual void AppendMessage(const std::string& text) = 0;
  virtual void ClearMessages() = 0;
  virtual void ClearStatusGrid() = 0;
  // The standard exception box.
  virtual void ShowException(const std::string& message) = 0;
  // Btn_Start: running -> caption "Stop" with the stop picture, else "Start" with
  // the start picture.
  virtual void SetStartButton(bool running) = 0;
  // The dispatcher of the current run has finished its end steps (or given up at
  // its log file); its thread is about to return.
  virtual void DispatcherEnded() = 0;
  // Continuous production: the unit number `cycle` of the slot at portIndex is done
  // (passed: through the job's last step; else failed), its verdict in view.
  virtual void UnitEnded(int /*portIndex*/, int /*cycle*/, bool /*passed*/) {}
};
