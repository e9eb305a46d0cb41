#include "job/RunJobSetup.h"

#include "job/Logcfg.h"
#include "platform/Files.h"
#include "platform/SerialPort.h"

RunImage ReadRunImage(const std::string& path, uint64_t maxBytes) {
  RunImage image;
  image.path = path;
  InputFile file;
  if (file.Open(path) != 0) {
    image.read = ImageRead::OpenFailed;
    return image;
  }
  if (file.Size() == 0 || file.Size() > maxBytes) {
    image.read = ImageRead::BadSize;
    return image;
  }
  if (file.ReadAll(static_cast<size_t>(maxBytes), &image.bytes) != 0 ||
      image.bytes.size() != file.Size()) {
    image.bytes.clear();
    image.read = ImageRead::ReadFailed;
    return image;
  }
  image.read = ImageRead::Ok;
  return image;
}

RunJob MakeRunJob(const JobState& job, const StoredConfig& cfg, const TestInterfaces& interfaces,
                  const std::string& sharedTestInterface) {
  RunJob run;
  run.steps = job;
  run.firmware.path = cfg.firmwarePath;
  run.eeprom.path = cfg.eepromPath;
  if (job.jobFlags & kJobFirmware)
    run.firmware = ReadRunImage(cfg.firmwarePath, kMaxFirmwareImageSize);
  if (job.jobFlags & kJobEeprom) run.eeprom = ReadRunImage(cfg.eepromPath, kMaxEepromImageSize);
  run.consoleBaud = BaudFromIndex(cfg.consoleBaudIndex);
  run.fastDownload = cfg.fastDownload;
  run.continuous = cfg.continuous;
  run.scanSerial = cfg.scanSerial;
  run.serialPattern = cfg.serialPattern;
  run.labelTemplate = cfg.labelTemplate;
  if (job.assignMac) {
    const std::string& t = job.assignedMacText;
    MacAddress mac{};
    if (MacPool::ParseMac(t.data(), t.size(), &mac) == 0) run.assignedMac = mac;
  }
  run.interfaces = interfaces;
  run.sharedTestInterface = sharedTestInterface;
  return run;
}
