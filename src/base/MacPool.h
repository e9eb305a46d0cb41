#pragma once
// The MAC address pool as the station sees it: the next address to hand out and the
// last address of the pool, both inside the permitted block fixed at build time.
// Implementations: the file pool storedMAC.txt (job/Logmac.h) and the factory-wide
// database pool. The MAC workers take and settle addresses on their own threads, the
// UI thread loads the pool, reads its range and closes it: every routine is called
// with the pool's Mutex() held, so pool operations never run concurrently (and a slow
// pool never holds up the window).
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

#ifndef PT_MAC_BLOCK_FIRST
#define PT_MAC_BLOCK_FIRST 271057
#endif
#ifndef PT_MAC_BLOCK_LAST
#define PT_MAC_BLOCK_LAST 271057
#endif

using MacAddress = std::array<uint8_t, 6>;

// How a device given a pool address ended.
enum class MacOutcome {
  Programmed,  // the device restarted and reported the address written
  Failed,      // the device never accepted the address ("$SYCXXMAC" not answered OK)
  // The device accepted "$SYCXXMAC" but did not confirm the address afterwards (no
  // "%GLM" after the reboot, another address reported, the run stopped): the device
  // may hold it, so it is the device's, never handed out again and never counted as
  // failed-and-free.
  Unverified,
};
// The outcome's name as the factory database records it.
const char* MacOutcomeName(MacOutcome outcome);
// The outcome a name of MacOutcomeName stands for; false for any other text.
bool MacOutcomeFromName(const std::string& name, MacOutcome* outcome);

// The permitted block: last three bytes as one 24-bit number.
constexpr uint32_t MacBlockFirst = PT_MAC_BLOCK_FIRST;
constexpr uint32_t MacBlockLast = PT_MAC_BLOCK_LAST;

// Last three bytes as one big-endian 24-bit number.
inline uint32_t Low24(const MacAddress& a) {
  return (uint32_t{a[3]} << 16) | (uint32_t{a[4]} << 8) | uint32_t{a[5]};
}
// "HH:HH:HH:HH:HH:HH", upper-case hex.
std::string FormatMac(const MacAddress& a);

class MacPool {
 public:
  virtual ~MacPool() = default;

  // 0 or -1 (or another failure code, shown as "MAC initialize failed: %d"). A loaded
  // pool is held for this station until Close.
  virtual int Load() = 0;
  virtual void Close() = 0;
  virtual bool IsLoaded() const = 0;
  // The next address and the last one are set and inside the permitted block, and
  // the next is not past the last.
  virtual bool IsAvailable() const = 0;
  // The free range as MAC texts; false when !IsAvailable().
  virtual bool GetRange(std::string* nextText, std::string* lastText) const = 0;
  // Hands out the next address once it is durably recorded as taken: 0, -1 (none
  // left), -2 (the pool's store is no longer the one loaded) or a positive error
  // number. On failure address[0] == 0xFF.
  virtual int TakeNext(MacAddress* address) = 0;
  // 0 addresses left, 1 used up (text := last address), -1 not usable.
  virtual int GetAssignState(std::string* text) const = 0;
  // Where the pool lives, for the operator ("storedMAC.txt" path, database name).
  virtual std::string Describe() const = 0;

  // ---- for a pool that several stations share and that keeps who took what ----
  // Other stations take from the same pool, so it is read again at every job set-up
  // (Load on a loaded pool refreshes it). The file pool is this station's alone.
  virtual bool IsShared() const { return false; }
  // TakeNext, recording which port of which run takes the address.
  virtual int TakeNextFor(const std::string& port, const std::string& run, MacAddress* address) {
    (void)port;
    (void)run;
    return TakeNext(address);
  }
  // How the device given `address` ended. Called once per address handed out, after
  // the MAC worker's last step; 0 or an error number (the outcome is then kept and
  // recorded later). The file pool keeps no outcomes.
  virtual int Settle(const MacAddress& address, MacOutcome outcome) {
    (void)address;
    (void)outcome;
    return 0;
  }

  // Outcomes handed to Settle that are not recorded yet.
  virtual size_t WaitingOutcomes() const { return 0; }
  // At the end of a run: tries for a few seconds (reconnecting) to record the outcomes
  // that wait; what is still waiting then is kept for later and reported.
  virtual void FinishRun() {}

  // "text" at 3i, 3i+1 hex digits for i = 0..5; 0 or -1.
  static int ParseMac(const char* text, size_t len, MacAddress* address);

  // ---- across threads ----
  // Held around every call of the routines above.
  std::mutex& Mutex() const { return mutex_; }
  // The stop gate, read and changed with Mutex() held: closed by a confirmed Stop (and
  // by closing the program), opened by Start. No address is taken while it is closed.
  bool GateOpen() const { return gateOpen_; }
  void SetGateOpen(bool open) { gateOpen_ = open; }
  // The MAC line after a take is worked out under Mutex(), in the order of the takes,
  // but reaches the window through each worker's own Synchronize, in any order. Each
  // text gets the next number (with Mutex() held); the UI thread shows a text only
  // when its number is newer than the last one shown, so the line never goes back to
  // an older range.
  uint64_t NextLineNumber() { return ++lineNumber_; }
  bool IsNewerLine(uint64_t number) {  // UI thread
    if (number <= shownLine_.load()) return false;
    shownLine_.store(number);
    return true;
  }

 private:
  mutable std::mutex mutex_;
  bool gateOpen_ = true;
  uint64_t lineNumber_ = 0;
  std::atomic<uint64_t> shownLine_{0};
};
