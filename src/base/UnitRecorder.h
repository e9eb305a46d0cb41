#pragma once
// What the dispatcher and the workers tell about the unit on each port, so that every
// port of every run leaves a production record. Implemented by the records module
// (records/ProductionRecorder.h); a station without records has none (Station::records
// is null) and nothing is told.
//
// Every routine returns quickly: facts are kept in memory and written by the
// recorder's own writer. Only RunStarted and RunEnded wait for the writer, and they
// are called on the dispatcher's thread, never on the UI thread.
#include <cstdint>
#include <string>
#include <vector>

#include "base/MacPool.h"
#include "base/WorkerFactory.h"

// The records are kept from these facts, never read back out of the texts shown on the
// board: a reworded status text changes no record.

// One image transfer of a download worker.
struct SentImage {
  bool firmware = false;  // else the EEPROM image
  std::string path;
  int64_t fileBytes = -1;  // the image file's size when the transfer opened it
  int64_t sentBytes = 0;   // data bytes sent in acknowledged blocks (whole 1024-byte blocks)
  std::string sha256;      // of the bytes sent, hex; empty unless the transfer completed
  int result = 0;          // the XMODEM result (0 complete)
  std::string tempMac;     // EEPROM image: the temporary MAC written into it
};

// Who the unit is, as the station learnt it before its steps (unit identity).
struct UnitIdentity {
  std::string serial;   // the unit's serial number; empty when the job scans none
  bool rework = false;  // the operator re-works a unit whose serial has passed before
  // How its check-in went: "" (no check-in), "confirmed", "rejected: <reason>" or
  // "no answer: <why>".
  std::string checkIn;
  // The unit takes no step (a rejected or unanswered check-in, a refused serial): its
  // record closes failed, with the failed step "check-in".
  bool refused = false;
};

class UnitRecorder {
 public:
  virtual ~UnitRecorder() = default;

  // Dispatcher: the run's ports were found (COM numbers in place order). Opens one
  // record per port and waits (bounded) until they are written.
  virtual void RunStarted(const std::vector<int>& portNumbers) = 0;
  // Dispatcher, continuous production: a unit came into the slot at portIndex, the
  // slot's unit number `cycle` of the run (1 for the first). Opens its record (the
  // run's start opened none).
  virtual void UnitStarted(int /*portIndex*/, int /*cycle*/) {}
  // Dispatcher (through the unit gate): the unit in the port's place is this one, before
  // its first step starts (or instead of it, when refused).
  virtual void UnitIdentified(int /*portIndex*/, const UnitIdentity& /*id*/) {}
  // Dispatcher: just before it creates the worker of `kind` for the port.
  virtual void StepStarted(int portIndex, WorkerKind kind) = 0;
  // Dispatcher: after each supervising pass. Closes the record of every port that
  // reached the job's last step or failed.
  virtual void PortsChecked() = 0;
  // Dispatcher end steps, after every worker has been joined: closes the records still
  // open and waits (bounded) until the run's records are written.
  virtual void RunEnded() = 0;

  // Download worker: one image transfer ended (completed or not).
  virtual void ImageSent(int portIndex, const SentImage& image) = 0;
  // MAC worker (its TakeMac, on its own thread): the address the port's device is given.
  virtual void MacTaken(int portIndex, const MacAddress& mac, bool assigned) = 0;
  // MAC worker: the address in the device's "%GLM" answer, and whether the worker
  // confirmed it as the address written (the line shown with its "OK").
  virtual void MacReported(int /*portIndex*/, const MacAddress& /*reported*/, bool /*confirmed*/) {}
  // Any worker: the port's step failed with this code (the number its failure text
  // shows). A failure without a number reports nothing.
  virtual void StepFailed(int /*portIndex*/, int /*code*/) {}
  // Loopback worker: the link-layer address that answered the port's echo, or
  // "loopback" for a connection over the loopback interface (no address to check).
  virtual void LinkAddressSeen(int /*portIndex*/, const std::string& /*text*/) {}
};
