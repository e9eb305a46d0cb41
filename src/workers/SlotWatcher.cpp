#include "workers/SlotWatcher.h"

#include <exception>
#include <string_view>

#include "base/MacPool.h"
#include "platform/Clock.h"
#include "workers/Workers.h"

namespace {

constexpr LineKeyword kWatchKeywords[] = {
    {"fw =", RecvStatus::RecvFwLine},
    {"Varnix Serial Loader", RecvStatus::RecvLoaderBanner},
    {"verison", RecvStatus::RecvVersionLine},
    {"%GLM", RecvStatus::RecvGlmReply},
};

// The address in a "%GLM" answer: the first "HH:HH:HH:HH:HH:HH" after the key.
bool AnswerAddress(std::string_view line, MacAddress* mac) {
  const size_t key = line.find("%GLM");
  if (key == std::string_view::npos) return false;
  for (size_t at = key + 4; at + 17 <= line.size(); ++at) {
    const std::string_view text = line.substr(at, 17);
    bool colons = true;
    for (size_t i = 2; i < 17; i += 3) colons = colons && text[i] == ':';
    if (colons && MacPool::ParseMac(text.data(), 17, mac) == 0) return true;
  }
  return false;
}

}  // namespace

std::unique_ptr<Thread> NewSlotWatcher(Station& station, const RunJob& job, int portNumber,
                                       int portIndex, SlotWatch& watch) {
  return std::make_unique<SlotWatcher>(station, job, portNumber, portIndex, watch);
}

SlotWatcher::SlotWatcher(Station& station, const RunJob& job, int portNumber, int portIndex,
                         SlotWatch& watch)
    : Thread(*station.ui),
      station_(station),
      job_(job),
      watch_(watch),
      console_(station, portNumber, portIndex) {
  console_.quiet = true;
}

SlotWatcher::~SlotWatcher() {
  Terminate();
  Join();
}

void SlotWatcher::Execute() {
  WatchEnd end = WatchEnd::Stopped;
  try {
    end = Watch();
  } catch (...) {
    // A watch that broke tells nothing of the unit: the slot is looked at again.
    end = WatchEnd::PortMissing;
  }
  console_.ClosePort();
  if (Terminated()) end = WatchEnd::Stopped;
  SetRunning(false);
  watch_.end.store(end);
}

bool SlotWatcher::IsLastUnit(const MacAddress& mac) const {
  for (const MacAddress& known : watch_.lastUnit) {
    if (known == mac) return true;
  }
  return false;
}

void SlotWatcher::Probe(uint32_t now) {
  console_.SendText("$GLM\r\n");
  lastProbe_ = now;
  probed_ = true;
  ++unanswered_;
}

WatchEnd SlotWatcher::Watch() {
  Clock& clock = *station_.clock;
  const bool removal = watch_.what == WatchFor::Removal;
  probed_ = false;
  unanswered_ = 0;
  if (console_.OpenConsolePort(job_.consoleBaud) != 0) {
    // The port is not there: a unit's own adapter that went with it.
    return removal ? WatchEnd::Removed : WatchEnd::PortMissing;
  }
  const uint32_t hold = job_.unitHoldMs;
  uint32_t lastByte = clock.TickMs();
  // Arrival: the first answer of the current run of answers, and the last one.
  bool answering = false;
  uint32_t firstAnswer = 0, lastAnswer = 0;
  int answers = 0;
  // A firmware that is up (its version line, or any answer) takes the probe at once.
  bool firmwareUp = removal && watch_.unitUp;
  bool booting = false;  // a boot ROM spoke, and the job waits for the firmware

  while (!Terminated()) {
    clock.SleepMs(kPollMs);
    const uint32_t now = clock.TickMs();
    if (console_.ReadQueued() != 0) return removal ? WatchEnd::Removed : WatchEnd::PortMissing;
    if (console_.recvCount > 0) {
      lastByte = now;
      unanswered_ = 0;
    }

    WatchEnd found = WatchEnd::Watching;
    console_.TakeLines(
        kWatchKeywords, [this] { return Terminated(); },
        [&](std::string_view line, const LineKeyword* k) {
          if (k == nullptr) return true;
          switch (k->status) {
            case RecvStatus::RecvFwLine:
              // A boot ROM spoke: a unit was powered on in the socket (in removal, a new
              // one put in faster than the hold time). A job without a download waits
              // for its firmware.
              if (!watch_.bootStarts) {
                booting = true;
                return true;
              }
              found = WatchEnd::UnitAtBoot;
              return false;
            case RecvStatus::RecvLoaderBanner:
              if (!removal) found = WatchEnd::UnitInLoader;
              return removal;
            case RecvStatus::RecvVersionLine:
              firmwareUp = true;
              if (booting) {
                // The unit that just booted is up.
                found = WatchEnd::UnitRunning;
                return false;
              }
              return true;
            case RecvStatus::RecvGlmReply: {
              MacAddress mac{};
              if (!AnswerAddress(line, &mac)) return true;
              firmwareUp = true;
              if (removal) {
                if (!watch_.answered) {
                  watch_.answered = true;
                  watch_.answer = mac;
                } else if (mac != watch_.answer && !IsLastUnit(mac)) {
                  // Another unit answers: this one was swapped faster than the hold time.
                  watch_.answer = mac;
                  found = WatchEnd::UnitRunning;
                  return false;
                }
                return true;
              }
              if (IsLastUnit(mac)) {
                watch_.answered = true;
                watch_.answer = mac;
                found = WatchEnd::SameUnit;
                return false;
              }
              if (!answering) {
                answering = true;
                firstAnswer = now;
              }
              lastAnswer = now;
              ++answers;
              watch_.answered = true;
              watch_.answer = mac;
              return true;
            }
            default:
              return true;
          }
        });
    // A line's start waits in the buffer for its end (a full buffer without one is
    // dropped by the reader).
    if (found != WatchEnd::Watching) return found;

    if (removal) {
      // Gone: nothing for the hold time, though the probe asked again and again (the
      // last time long enough ago for its answer to be here).
      const bool asked = unanswered_ >= kUnansweredProbes && TickDiff(now, lastProbe_) >= kAnswerMs;
      if (TickDiff(now, lastByte) >= hold && asked) return WatchEnd::Removed;
    } else if (answering) {
      // A loose contact: the answers stopped before they were steady.
      if (TickDiff(now, lastAnswer) >= hold && unanswered_ >= kUnansweredProbes) {
        answering = false;
        answers = 0;
      } else if (TickDiff(now, firstAnswer) >= hold && answers >= kSteadyAnswers) {
        return WatchEnd::UnitRunning;
      }
    }
    const uint32_t quietNeeded = firmwareUp ? kProbeQuietMs : kBootQuietMs;
    // An empty socket is asked a few times, then seldom: a unit put in is switched on
    // and found by its boot output, and the fewer probes go out, the fewer can meet a
    // boot ROM just starting to speak.
    const uint32_t every = firmwareUp || unanswered_ < kUnansweredProbes ? kProbeEveryMs
                                                                         : kIdleProbeMs;
    if (TickDiff(now, lastByte) >= quietNeeded &&
        (!probed_ || TickDiff(now, lastProbe_) >= every)) {
      // Still quiet right now: a unit that has just started to speak (a boot ROM) is
      // never sent the probe.
      uint32_t queued = 0;
      if (console_.port()->QueuedBytes(&queued) == 0 && queued == 0) Probe(now);
    }
  }
  return WatchEnd::Stopped;
}
