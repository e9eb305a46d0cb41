#pragma once
// A job dialog over real files in a temporary directory: storedCfg.txt, a pool
// file and a few image files, with recorded message boxes and exception boxes.
#include <filesystem>
#include <string>
#include <vector>

#include "base/fake/TestBoard.h"
#include "job/SelectFilesLogic.h"
#include "platform/fake/TempDir.h"

struct JobDialogRig {
  TempDir dir;
  JobState job;
  StoredConfig cfg{dir.path(), "storedCfg.txt"};
  FileMacPool pool{dir.path(), "storedMAC.txt"};
  RecordingBoxes boxes;
  std::vector<std::string> exceptions;
  std::vector<std::string> log;
  SelectFilesLogic dlg{job, cfg, pool, boxes,
                       [this](const std::string& m) { exceptions.push_back(m); }};

  JobDialogRig() {
    cfg.SetMessageSink([this](const std::string& m) { log.push_back(m); });
    dir.Write("a.vef", "eeprom");
    dir.Write("b.vff", "firmware");
    std::filesystem::create_directory(std::filesystem::u8path(dir.File("logs")));
  }
  std::string Vef() const { return dir.File("a.vef"); }
  std::string Vff() const { return dir.File("b.vff"); }
  std::string Logs() const { return dir.File("logs"); }
  // Writes and loads a pool "02:5C:3A:<next>\r\n02:5C:3A:<last>\r\n".
  int LoadPool(const std::string& next, const std::string& last) {
    pool.Close();
    dir.Write("storedMAC.txt", "02:5C:3A:" + next + "\r\n02:5C:3A:" + last + "\r\n");
    return pool.Load();
  }
  void Tick(CheckBoxState& box, bool on, void (SelectFilesLogic::*handler)()) {
    box.checked = on;
    (dlg.*handler)();
  }
  std::vector<std::string> Texts() const { return boxes.Texts(); }
};
