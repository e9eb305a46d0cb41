// Image loading and decoding on arbitrary bytes: the size rule, the same result from a
// file and from memory, bounded texts, and a decode / build / decode round trip that
// gives the same fields. The input's text also goes through the editor's number and
// address parsers.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/MessageBoxes.h"
#include "eeprom/EepromChecks.h"
#include "eeprom/EepromImage.h"

namespace {

class CountingBoxes final : public MessageBoxes {
 public:
  BoxResult Show(const std::string&, const std::string&, BoxButtons, BoxIcon) override {
    shown++;
    return BoxResult::Ok;
  }
  int shown = 0;
};

void Check(bool ok) {
  if (!ok) std::abort();
}

bool SameRecord(const EepromRecord& a, const EepromRecord& b) {
  return a.deviceName == b.deviceName && a.modelName == b.modelName && a.password == b.password &&
         a.ipConfig == b.ipConfig && a.ipAddress == b.ipAddress && a.netMask == b.netMask &&
         a.gateway == b.gateway && a.pingConfig == b.pingConfig &&
         a.tcpListenPort == b.tcpListenPort;
}

void CheckRecord(const EepromRecord& r) {
  Check(r.deviceName.size() <= 16 && r.deviceName.find('\0') == std::string::npos);
  Check(r.modelName.size() <= 14 && r.modelName.find('\0') == std::string::npos);
  Check(r.password.size() <= 8 && r.password.find('\0') == std::string::npos);
  Check(r.ipConfig >= -1 && r.ipConfig <= 1);
  long long port = -1;
  Check(ConvertInteger(r.tcpListenPort, &port) && port >= 0 && port <= 65535);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CountingBoxes boxes;
  EepromImage mem(boxes);
  int rc = mem.LoadImageBytes(data, static_cast<long long>(size));
  Check(rc == 0 || rc == -2 || rc == -4);
  Check((rc == 0) == (size >= 1 && size <= EepromImage::kMaxFileSize));
  Check((rc != 0) == (boxes.shown == 1));

  // The same bytes through a file give the same result and buffer.
  int fd = ::memfd_create("fuzz_eeprom", MFD_CLOEXEC);
  if (fd >= 0) {
    size_t done = 0;
    while (done < size) {
      ssize_t n = ::write(fd, data + done, size - done);
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    if (done == size) {
      CountingBoxes fileBoxes;
      EepromImage file(fileBoxes);
      std::string path = "/proc/self/fd/" + std::to_string(fd);
      int frc = file.LoadImageFile(path);
      Check(frc == rc);
      if (rc == 0) Check(file.buffer() == mem.buffer());
    }
    ::close(fd);
  }

  if (rc == 0) {
    for (size_t i = size; i < EepromImage::kBufferSize; i++) Check(mem.buffer()[i] == 0);
    EepromFields fields = mem.Decode();
    CheckRecord(fields.custom);
    CheckRecord(fields.defaults);
    EepromImage rebuilt(boxes);
    rebuilt.BuildImage(fields);
    for (size_t i = EepromImage::kFileSize; i < EepromImage::kBufferSize; i++)
      Check(rebuilt.buffer()[i] == 0);
    EepromFields again = rebuilt.Decode();
    Check(SameRecord(fields.custom, again.custom));
    Check(SameRecord(fields.defaults, again.defaults));
    (void)ValidateFieldsMessage(fields);
  }

  // The input as text: the integer conversion and the address parser.
  std::string text(reinterpret_cast<const char*>(data), std::min<size_t>(size, 64));
  long long v = 0;
  if (ConvertInteger(text, &v)) Check(v >= -2147483648LL && v <= 0xFFFFFFFFLL);
  uint32_t ip = 0;
  if (ParseIpAddress(text, &ip)) {
    uint32_t back = 0;
    Check(ParseIpAddress(FormatIpAddress(ip), &back) && back == ip);
  }
  CountingBoxes checkBoxes;
  int cr = CheckRange(checkBoxes, "t", text, 65535);
  Check((cr == 0) == (checkBoxes.shown == 0));
  return 0;
}
