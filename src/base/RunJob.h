#pragma once
// One run's job, taken at Start and left unchanged until the run has ended: the steps,
// the image files read once, the console settings, the operator's assigned address and
// the loopback test's interfaces. The dispatcher and the workers read it by const
// reference; the job dialog may change the job state and storedCfg.txt meanwhile
// without touching the run.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "base/JobState.h"
#include "base/MacPool.h"
#include "base/TestInterfaces.h"

// How reading an image file at Start went. The worker reports a failure only when
// its transfer reaches that image, as it would had it read the file then.
enum class ImageRead { Ok, OpenFailed, BadSize, ReadFailed };

struct RunImage {
  std::string path;
  ImageRead read = ImageRead::OpenFailed;
  std::string bytes;  // the whole file when read is Ok, else empty
};

struct RunJob {
  JobState steps;
  RunImage firmware, eeprom;      // read only when the steps download them
  uint32_t consoleBaud = 115200;  // the console line's rate (storedCfg.txt's Console:)
  bool fastDownload = false;      // ACK-paced XMODEM packets
  // The operator's address (steps.assignedMacText parsed once) when steps.assignMac
  // and the text holds one.
  std::optional<MacAddress> assignedMac;
  // The interface of each port's loopback test (station.conf); none configured: the
  // system's routing decides.
  TestInterfaces interfaces;
  // The interface that every port's test connection shares (a flat network, where
  // every device answers for the test address), or "" when each port has an interface
  // of its own or the devices are simulated on this workstation. On a shared interface
  // the dispatcher runs one loopback test at a time and the worker pins the neighbour
  // entry of the test address to its port's device.
  std::string sharedTestInterface;
  // Continuous production: every port is a slot that runs the steps once per unit
  // inserted, on its own, until the run is stopped (base/SlotTable.h).
  bool continuous = false;
  // How long a slot's unit must stay silent before it counts as removed, and answer
  // before it counts as inserted (station.conf unit-hold-ms).
  uint32_t unitHoldMs = 2000;
  // Unit identity: every unit's serial is scanned (bound to its port) before its steps
  // start, and must match serialPattern (an ECMAScript regular expression matched
  // against the whole serial; empty: any serial of printable characters without
  // spaces, at most kMaxSerialChars).
  bool scanSerial = false;
  std::string serialPattern;
  // Every passed unit gets a label laid out by this template file; empty: no label.
  std::string labelTemplate;
};

constexpr size_t kMaxSerialChars = 48;
