// The real main window and job dialog, offscreen, running the whole three-step job
// (firmware and EEPROM download, loopback test, MAC programming) against one device of
// the device simulator, driven as an operator would: Select Files, tick "Program MAC
// address", OK, Start. The status cell must end with the MAC worker's success text,
// the MAC line must show the pool used up, the pool file must have advanced and the
// device must hold the images and the address.
//
// The device's loopback echo lives at 192.168.1.127, so this program only runs inside
// a private network namespace: tests/e2e/test_gui_pipeline.sh starts it there through
// scripts/netns.sh. Anywhere else it skips and says why.
#include <sys/prctl.h>

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTimer>
#include <QToolButton>
#include <QtTest/QtTest>
#include <csignal>
#include <fstream>
#include <map>
#include <set>
#include <string>

#include "app/gui/Mainform.h"
#include "base/JobState.h"
#include "job/gui/TselectFilesDlg.h"

namespace {

std::string ReadFile(const QString& path) {
  std::ifstream f(path.toStdString(), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

bool WriteFile(const QString& path, const std::string& data) {
  std::ofstream f(path.toStdString(), std::ios::binary | std::ios::trunc);
  f << data;
  return static_cast<bool>(f);
}

// True inside a network namespace of our own: the PT_IN_NETNS mark of scripts/netns.sh
// and no interface but the loopback one.
bool InPrivateNetworkNamespace() {
  if (qgetenv("PT_IN_NETNS") != "1") return false;
  std::ifstream f("/proc/self/net/dev");
  std::string line;
  std::set<std::string> names;
  while (std::getline(f, line)) {
    const size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    const size_t first = line.find_first_not_of(' ');
    names.insert(line.substr(first, colon - first));
  }
  return names == std::set<std::string>{"lo"};
}

// The lines of one device's block of the simulator's report.
std::map<std::string, std::string> ReportBlock(const std::string& report, const std::string& com) {
  std::map<std::string, std::string> out;
  const std::string head = "device " + com + "\n";
  size_t at = report.find(head);
  if (at == std::string::npos) return out;
  at += head.size();
  while (at < report.size()) {
    const size_t end = report.find('\n', at);
    const std::string line = report.substr(at, end == std::string::npos ? end : end - at);
    if (line == "end" || end == std::string::npos) break;
    const size_t sp = line.find(' ');
    if (sp != std::string::npos && line.compare(0, sp, "command") != 0)
      out[line.substr(0, sp)] = line.substr(sp + 1);
    at = end + 1;
  }
  return out;
}

}  // namespace

class TestGuiPipeline : public QObject {
  Q_OBJECT
 private slots:
  void wholeJobOnOneDevice();
};

void TestGuiPipeline::wholeJobOnOneDevice() {
  if (!InPrivateNetworkNamespace())
    QSKIP(
        "talks to 192.168.1.127: runs only inside a private network namespace "
        "(tests/e2e/test_gui_pipeline.sh runs it there)");

  QTemporaryDir tmp;
  QVERIFY(tmp.isValid());
  const QString dir = tmp.path();
  std::string eeprom(1024, '\0'), firmware(3000, '\0');
  for (size_t i = 0; i < eeprom.size(); ++i) eeprom[i] = static_cast<char>(i * 13 + 5);
  for (size_t i = 0; i < firmware.size(); ++i) firmware[i] = static_cast<char>(i * 31 + 7);
  QVERIFY(WriteFile(dir + "/sample.vef", eeprom));
  QVERIFY(WriteFile(dir + "/sample.vff", firmware));
  // The product's permitted block holds the single address 04:22:D1.
  QVERIFY(WriteFile(dir + "/storedMAC.txt", "02:5C:3A:04:22:D1\r\n02:5C:3A:04:22:D1\r\n"));
  QVERIFY(WriteFile(dir + "/storedCfg.txt",
                    "EEPROM: " + (dir + "/sample.vef").toStdString() + "\r\nFirmware: " +
                        (dir + "/sample.vff").toStdString() + "\r\nConsole: 0\r\n"));

  QProcess sim;
  sim.setProgram(QStringLiteral(PT_BINARY_DIR "/devicesim"));
  sim.setArguments(
      {"--dir", dir, "--count", "1", "--ip", "192.168.1.127", "--report", dir + "/report.txt"});
  sim.setProcessChannelMode(QProcess::ForwardedErrorChannel);
  // Should this program be killed, the simulator ends with it.
  sim.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
  sim.start();
  QVERIFY2(sim.waitForStarted(10000), "devicesim did not start");
  QByteArray simOut;
  for (int i = 0; i < 200 && !simOut.startsWith("ready"); ++i) {
    sim.waitForReadyRead(100);
    simOut += sim.readAllStandardOutput();
  }
  QVERIFY2(simOut.startsWith("ready"), simOut.constData());
  // However the test ends, the simulator is stopped and waited for.
  struct StopSim {
    QProcess& p;
    ~StopSim() {
      if (p.state() == QProcess::NotRunning) return;
      p.terminate();
      if (!p.waitForFinished(20000)) {
        p.kill();
        p.waitForFinished(5000);
      }
    }
  } stopSim{sim};

  TmainFrm frm(dir.toStdString());
  TselectFilesDlg dlg(frm.logic().NewJobDialogLogic(), &frm);
  frm.SetJobDialog(&dlg);
  frm.show();
  QVERIFY(QTest::qWaitForWindowExposed(&frm));

  // A message box during the run would wait for an operator: note it and close it.
  QStringList boxes;
  bool inDialog = false;
  QTimer boxWatch;
  connect(&boxWatch, &QTimer::timeout, &frm, [&] {
    QWidget* modal = QApplication::activeModalWidget();
    if (modal == nullptr || inDialog) return;
    boxes << modal->windowTitle();
    modal->close();
  });
  boxWatch.start(200);

  // Select Files: the stored paths tick both images; tick "Program MAC address", OK.
  bool dialogSeen = false;
  QTimer::singleShot(0, &dlg, [&] {
    dialogSeen = true;
    if (!dlg.ChkBox_EE->isChecked()) dlg.ChkBox_EE->click();
    if (!dlg.ChkBox_FW->isChecked()) dlg.ChkBox_FW->click();
    if (!dlg.ChkBox_Ltest->isChecked()) dlg.ChkBox_Ltest->click();
    if (!dlg.ChkBox_pMAC->isChecked()) dlg.ChkBox_pMAC->click();
    dlg.OKBtn->click();
  });
  inDialog = true;
  frm.selectFileBtn->click();
  inDialog = false;
  QVERIFY(dialogSeen);
  QVERIFY(frm.logic().job.filesSelected);
  QCOMPARE(frm.logic().job.jobFlags, 3);
  QVERIFY(frm.logic().job.loopbackTest);
  QVERIFY(frm.logic().job.programMac);
  QCOMPARE(frm.MACGrid->item(0, 0)->text(),
           QStringLiteral("available 02:5C:3A:04:22:D1 ~ 02:5C:3A:04:22:D1"));

  frm.Btn_Start->click();
  QTRY_VERIFY_WITH_TIMEOUT(frm.logic().StartCaptionIsStop() || !boxes.isEmpty(), 10000);
  QVERIFY2(boxes.isEmpty(), qPrintable(boxes.join("; ")));
  // The run: about 15 s; generous for the sanitizer build.
  QTRY_VERIFY_WITH_TIMEOUT(!frm.logic().StartCaptionIsStop(), 240000);
  QTRY_VERIFY_WITH_TIMEOUT(!frm.logic().DispatcherBusy(), 30000);
  QVERIFY2(boxes.isEmpty(), qPrintable(boxes.join("; ")));

  const QString status = frm.StatusGrid->item(0, 0)->text();
  if (qEnvironmentVariableIsSet("PT_SCREENS_DIR"))
    frm.grab().save(qEnvironmentVariable("PT_SCREENS_DIR") + "/gui_pipeline_end.png");
  QCOMPARE(status, QStringLiteral("COM1: %GLM 02:5C:3A:04:22:D1\r OK"));
  QCOMPARE(frm.logic().stages.Get(0), StageProgrammed);
  QCOMPARE(frm.MACGrid->item(0, 0)->text(), QStringLiteral("MAC used up"));
  QCOMPARE(frm.MACGrid->item(1, 0)->text(), QStringLiteral("1 COM Port detected\r\n"));
  // Column 1 counts the units; the run's record is in the data directory.
  QCOMPARE(frm.MACGrid->item(0, 1)->text(), QStringLiteral("this run: 1 passed, 0 failed"));
  QCOMPARE(frm.MACGrid->item(1, 1)->text(), QStringLiteral("today: 1 passed, 0 failed"));
  // The pool's next address was written back at once: 17 characters and a zero byte
  // in place of the first line; the last address is untouched.
  QCOMPARE(ReadFile(dir + "/storedMAC.txt"),
           std::string("02:5C:3A:04:22:D2\0\n02:5C:3A:04:22:D1\r\n", 38));

  sim.terminate();
  QVERIFY(sim.waitForFinished(20000));
  QCOMPARE(sim.exitCode(), 0);
  const auto dev = ReportBlock(ReadFile(dir + "/report.txt"), "COM1");
  QCOMPARE(dev.count("violation"), size_t{0});
  QCOMPARE(dev.at("mac-programmed"), std::string("02:5C:3A:04:22:D1"));
  QCOMPARE(dev.at("mac-in-use"), std::string("02:5C:3A:04:22:D1"));
  QCOMPARE(dev.at("eeprom-mac"), std::string("02:5C:3A:FF:FF:FF"));
  QCOMPARE(dev.at("firmware-writes"), std::string("1"));
  QCOMPARE(dev.at("eeprom-writes"), std::string("1"));
  QVERIFY(dev.at("firmware").rfind("3072 ", 0) == 0);
  QVERIFY(dev.at("eeprom").rfind("1024 ", 0) == 0);
}

QTEST_MAIN(TestGuiPipeline)
#include "test_gui_pipeline.moc"
