#include "workers/PortWorker.h"

#include <exception>

#include "base/Board.h"

PortWorker::PortWorker(Station& station, const RunJob& job, int portNumber, int portIndex)
    : Thread(*station.ui), station_(station), job_(job), console_(station, portNumber, portIndex) {
  // A station that hurries (fast download) or runs unit after unit (continuous
  // production) does not wait out an answer that is already in.
  console_.endWaitsOnAnswer = job.fastDownload || job.continuous;
}

void PortWorker::Execute() {
  try {
    const Stage stage = Run();
    End(stage);
    AfterStage(stage);
  } catch (const std::exception& e) {
    EndWithException(e.what());
  } catch (...) {
    EndWithException("unknown exception");
  }
}

void PortWorker::Release() {
  console_.ClosePort();
}

void PortWorker::AppendMessage(const std::string& text) {
  Board* board = station_.board;
  if (board != nullptr) Synchronize([board, &text] { board->AppendMessage(text); });
}

void PortWorker::EndWithException(const std::string& what) {
  OnRunBroken();
  // Reporting must not keep the port from being closed and its stage written.
  try {
    ShowExceptionText();
    Board* board = station_.board;
    if (board != nullptr) Synchronize([board, &what] { board->ShowException(what); });
  } catch (...) {
  }
  if (!ended_) End(StageFailed);
}

void PortWorker::End(Stage stage) {
  ended_ = true;
  Release();
  SetRunning(false);
  station_.stages->Set(console_.portIndex, stage);
}
