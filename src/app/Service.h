#pragma once
// The station as a service: an HTTP/JSON interface for line controllers and the line
// board page, beside the window (or production-cli). It reports what the board is told,
// as facts: every board call becomes an event for the subscribers of /api/v1/events, and
// every unit's closed record a result. Its commands (set up the job, Start, the
// confirmed Stop) go through the same MainLogic handlers as the window's buttons, on the
// UI thread, so every rule of the window holds for them.
//
// The service is the board MainLogic reports to: it forwards every call to the view
// (the window, or the headless printer) and then publishes it. Its message boxes are
// MainLogic's too: they are the view's boxes, except while a command of the service
// runs, when a box becomes the command's answer (an error box its refusal, a question
// its confirmation) instead of waiting for someone at the station.
//
// Threads: the Board routines and Attach/Start/Stop on the UI thread; requests on the
// HTTP server's handler threads; unit results on whichever thread closed the record.
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "base/Board.h"
#include "base/JobState.h"
#include "base/MessageBoxes.h"
#include "base/StationSettings.h"
#include "platform/HttpServer.h"

class MainLogic;
class UiThread;
struct UnitResult;

// Where and how the service listens (station.conf's service-* keys, or production-cli's
// options).
struct ServiceConfig {
  bool enabled = false;
  std::string address = "127.0.0.1";
  uint16_t port = 0;
  std::string readTokenFile;     // empty: no tokens (only on 127.0.0.1)
  std::string controlTokenFile;  // given together with readTokenFile
};

// The service settings of station.conf: service-listen (ADDR:PORT; absent: no service),
// service-read-token-file and service-control-token-file (relative to dataDir). False
// with *error set on a bad value.
bool ServiceConfigFrom(const StationSettings& settings, const std::string& dataDir,
                       ServiceConfig* config, std::string* error);
// "ADDR:PORT" (an IPv4 address, or [IPv6]) into address and port; false when malformed.
bool ParseListenAddress(const std::string& text, std::string* address, uint16_t* port);

class StationService final : public Board {
 public:
  static constexpr size_t kMaxSubscribers = 16;
  static constexpr size_t kSubscriberQueue = 1024;  // events; a subscriber further behind is dropped
  static constexpr int kCommandWaitMs = 20000;      // for the UI thread to take a command
  static constexpr size_t kMaxFailures = 10;        // the last failed units in the state
  static constexpr size_t kMaxRecords = 10000;

  StationService(Board& view, MessageBoxes& viewBoxes, UiThread& ui);
  ~StationService() override;

  // MainLogic's message boxes (see above).
  MessageBoxes& Boxes() { return boxes_; }
  // UI thread, once MainLogic exists (it is created with this board).
  // dataDir and the logic's settings: where the records are read for /api/v1/records.
  void Attach(MainLogic& logic, const std::string& dataDir);
  // UI thread: listens as config says. False with *error set when it cannot (a token file
  // missing, unreadable or readable by others; tokens missing on an address other than
  // 127.0.0.1; the address taken).
  bool Start(const ServiceConfig& config, std::string* error);
  // The URL it serves ("http://127.0.0.1:8080/"), after Start.
  std::string Url() const;
  // UI thread: stops serving; requests waiting for the UI thread are refused. Before
  // MainLogic goes. Idempotent.
  void Stop();

  // ---- Board ----
  void ShowPortStatus(int portIndex, const std::string& text) override;
  void ShowPortProgress(int portIndex, int block, int blocks) override;
  void SetMacGridCell(int row, int column, const std::string& text) override;
  void AppendMessage(const std::string& text) override;
  void ClearMessages() override;
  void ClearStatusGrid() override;
  void ShowException(const std::string& message) override;
  void SetStartButton(bool running) override;
  void DispatcherEnded() override;
  void UnitEnded(int portIndex, int cycle, bool passed) override;

  // One request (the HTTP server's handler threads; tests call it directly).
  HttpResponse Handle(const HttpRequest& request);

 private:
  class Feed;
  class CommandBoxes final : public MessageBoxes {
   public:
    explicit CommandBoxes(MessageBoxes& view) : view_(view) {}
    BoxResult Show(const std::string& caption, const std::string& text, BoxButtons buttons,
                   BoxIcon icon) override;
    // UI thread: while set, boxes are kept here (a question answered Yes) instead of shown.
    struct Box {
      std::string caption, text;
      bool question = false;
    };
    std::vector<Box>* capture = nullptr;

   private:
    MessageBoxes& view_;
  };
  enum class Right { None, Read, Control };

  Right RightOf(const HttpRequest& request) const;
  HttpResponse Api(const HttpRequest& request, Right right);
  HttpResponse Events();
  HttpResponse Records(const HttpRequest& request);
  // POST /api/v1/serial {"port": "COM3" (or none: the next waiting port), "serial", "rework"}
  HttpResponse BindSerial(const std::string& body);
  HttpResponse StaticFile(const std::string& path) const;
  // Runs fn on the UI thread with the boxes captured; false (with *response set) when the
  // UI thread did not take it in time or the service is stopping.
  bool OnUi(const std::function<void()>& fn, HttpResponse* response);
  // UI thread: runs fn with the boxes captured; the first box that was no question (the
  // command's refusal), or one with an empty text.
  CommandBoxes::Box Captured(const std::function<void()>& fn);
  // UI thread: true (with *response the refusal) when the job dialog is open or a run is
  // going on (duringRun its text).
  bool NotBetweenRuns(const char* duringRun, HttpResponse* response);
  HttpResponse SetUpJob(const std::string& body);
  HttpResponse ApprovalCommand(bool package, bool leave, const std::string& body);
  HttpResponse StartCommand();
  HttpResponse StopCommand();

  // UI thread: facts from MainLogic. StateFacts takes the pool's and the recorder's locks
  // (never under m_); StateJsonLocked is called under m_.
  nlohmann::json StateFacts();
  std::string StateJsonLocked(const nlohmann::json& facts);
  nlohmann::json JobJson() const;
  struct UnitFacts {
    std::string mac;
    int passed = 0;
    int failed = 0;
  };
  nlohmann::json PortJson(int portIndex, const UnitFacts& unit) const;
  // A status event's fields for the port: its facts without progress, its text as `text`.
  nlohmann::json PortEvent(int portIndex);
  UnitFacts UnitFactsOf(int portIndex) const;
  UnitFacts UnitFactsLocked(int portIndex) const;
  std::vector<int> PortNumbersOnUi() const;
  std::string PortName(int portIndex) const;
  // Any thread: a new event to every subscriber.
  void Publish(const char* name, const std::string& fields);
  bool Listening() const;
  void PublishLocked(const char* name, const std::string& fields);
  void OnUnitResult(const UnitResult& result);
  void BoardResult(int portIndex, int cycle, const char* verdict);
  // Under m_: a unit's result counted for its port, kept among the failures, published.
  void UnitResultLocked(int portIndex, const std::string& verdict, const std::string& mac,
                        const nlohmann::json& unit);
  void RefreshPortNames();

  Board& view_;
  CommandBoxes boxes_;
  UiThread& ui_;
  MainLogic* logic_ = nullptr;
  std::string stationName_;
  StationSettings settings_;
  std::string dataDir_;
  std::unique_ptr<HttpServer> server_;
  std::string url_;
  std::string readToken_;
  std::string controlToken_;
  bool tokens_ = false;

  // UI thread only.
  bool detached_ = false;  // stopped: the board calls go to the view alone
  struct PortView {
    std::string status;
    int block = -1;
    int blocks = 0;
    Stage lastStage = StageIdle;  // the last stage its texts came in, failure aside
  };
  std::array<PortView, kMaxPorts> ports_;
  std::vector<int> portNumbers_;
  std::array<std::string, 4> macGrid_;  // row * 2 + column

  // Under m_: the subscribers, the event numbers, the last failures, the current units'
  // addresses (from their results).
  mutable std::mutex m_;
  std::vector<std::shared_ptr<Feed>> feeds_;
  uint64_t seq_ = 0;
  std::vector<nlohmann::json> failures_;  // units, newest first
  std::array<std::string, kMaxPorts> unitMac_;
  std::array<int, kMaxPorts> slotPassed_{};  // units of the run per port
  std::array<int, kMaxPorts> slotFailed_{};

  // Requests waiting for the UI thread give up once this is set.
  std::atomic<bool> stopping_{false};
};
