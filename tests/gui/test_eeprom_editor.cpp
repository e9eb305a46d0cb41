// The EEPROM editor window, driven offscreen.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFrame>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTabWidget>
#include <QtTest>
#include <memory>

#include "base/fake/TestBoard.h"
#include "eeprom/EepromImage.h"
#include "eeprom/gui/Eeeditorform.h"
#include "eeprom/gui/IpAddressEdit.h"
#include "gui/EepromGuiFakes.h"

class TestEepromEditor : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<RecordingBoxes> boxes;
  std::unique_ptr<FakeFileDialogs> dialogs;
  std::unique_ptr<TeepromEditorForm> form;
  std::unique_ptr<QTemporaryDir> dir;

  QLineEdit* Edit(const char* name) { return form->findChild<QLineEdit*>(name); }
  QString File(const char* name) { return dir->filePath(name); }
  // A valid image with recognisable custom and default values.
  QString WriteSample(const char* name) {
    RecordingBoxes b;
    EepromImage img(b);
    EepromFields f;
    f.custom.deviceName = "DEV-C";
    f.custom.modelName = "MOD-C";
    f.custom.password = "pw";
    f.custom.ipConfig = 1;
    f.custom.ipAddress = 0x0A000005;
    f.custom.netMask = 0xFFFF0000;
    f.custom.gateway = 0x0A000001;
    f.custom.pingConfig = true;
    f.custom.tcpListenPort = "4001";
    f.defaults.deviceName = "DEV-D";
    f.defaults.modelName = "MOD-D";
    f.defaults.ipConfig = 7;  // neither item
    f.defaults.tcpListenPort = "65535";
    img.BuildImage(f);
    QByteArray bytes(reinterpret_cast<const char*>(img.buffer().data()), 1024);
    bytes[256 + 150] = 7;
    WriteAll(File(name), bytes);
    return File(name);
  }

 private slots:
  void init() {
    boxes = std::make_unique<RecordingBoxes>();
    dialogs = std::make_unique<FakeFileDialogs>();
    form = std::make_unique<TeepromEditorForm>(*boxes, *dialogs);
    form->SetApplicationTitle("Production Tool");
    dir = std::make_unique<QTemporaryDir>();
  }
  void cleanup() {
    form.reset();
    dialogs.reset();
    boxes.reset();
    dir.reset();
  }

  void initialContentsAndTabs() {
    const char* shown[] = {"TabSheet_SysInfo", "TabSheet_NetSet", "TabSheet_OpSet"};
    const char* hidden[] = {"TabSheet_SerSet", "TabSheet_DP", "TabSheet_IPFilter", "TabSheet_DIO",
                            "TabSheet_consoleBaud"};
    form->show();
    QCOMPARE(form->windowHandle()->title(), QString("EEPROM Editor"));
    QStringList captions;
    for (int i = 0; i < form->PageControl->count(); i++) captions << form->PageControl->tabText(i);
    QCOMPARE(captions, QStringList({"System Information", "Network Settings", "Serial Settings",
                                    "Operation Settings", "Data Packing", "IP Filtering",
                                    "DIO Settings", "Serial console baudrate"}));
    for (const char* n : shown) QVERIFY2(form->TabShown(form->findChild<QWidget*>(n)), n);
    for (const char* n : hidden) QVERIFY2(!form->TabShown(form->findChild<QWidget*>(n)), n);
    // A tab made visible is hidden again at the next showing.
    form->PageControl->setTabVisible(form->PageControl->indexOf(form->TabSheet_DP), true);
    form->hide();
    form->show();
    QVERIFY(!form->TabShown(form->TabSheet_DP));

    struct EditCase {
      const char* name;
      int maxLength;
      const char* text;
    } edits[] = {
        {"c_deviceName", 16, "SX-4210QB"},
        {"d_modelName", 16, "SX-4210QB"},
        {"c_passwd", 8, ""},
        {"d_tsport", 5, "9100"},
        {"c_cnntmout", 5, "10000"},
        {"d_aliveItv", 2, "7"},
        {"c_tcport", 5, "4000"},
        {"remoteHost_d", 24, ""},
        {"d_udp_lport", 5, "0"},
        {"c_dp_dlm1", 2, "00"},
        {"d_dp_length", 4, "0"},
        {"c_dp_tmout", 5, "0"},
    };
    for (const EditCase& e : edits) {
      QLineEdit* w = Edit(e.name);
      QVERIFY2(w, e.name);
      QCOMPARE(w->maxLength(), e.maxLength);
      QCOMPARE(w->text(), QString(e.text));
    }
    // The passwords are masked until their box shows them.
    QCOMPARE(Edit("c_passwd")->echoMode(), QLineEdit::Password);
    form->findChild<QCheckBox*>("ChkBox_showPasswd_d")->setChecked(true);
    QCOMPARE(Edit("d_passwd")->echoMode(), QLineEdit::Normal);
    QCOMPARE(Edit("c_passwd")->echoMode(), QLineEdit::Password);
    auto* ipConfig = form->findChild<QComboBox*>("d_ipConfig");
    QCOMPARE(ipConfig->currentText(), QString("Static"));
    QCOMPARE(ipConfig->count(), 2);
    auto* baud = form->findChild<QComboBox*>("c_baudrate");
    QCOMPARE(baud->currentText(), QString("38400"));
    QCOMPARE(form->findChild<QComboBox*>("d_dataformat")->currentText(), QString("N,8,1"));
    QCOMPARE(form->findChild<QComboBox*>("c_flowctrl")->currentText(), QString("RTS/CTS"));
    QCOMPARE(form->findChild<QComboBox*>("f_sc_baud")->currentText(), QString("19200"));
    auto* opmode = form->findChild<QComboBox*>("c_opmode");
    QVERIFY(!opmode->isEnabled());
    QCOMPARE(opmode->currentText(), QString("TCP Server"));
    QVERIFY(form->findChild<QComboBox*>("c_cnn")->isHidden());
    QVERIFY(form->findChild<QWidget*>("GB_udp_d")->isHidden());
    QVERIFY(!form->findChild<QCheckBox*>("ChkBox_pingcfg_d")->isChecked());
    QCOMPARE(form->findChild<QCheckBox*>("ChkBox_pingcfg")->text(),
             QString("Ping Configurate Enable"));
    QVERIFY(form->findChild<QWidget*>("c_diomode8"));
    QVERIFY(form->findChild<QWidget*>("d_diodata0"));
    QVERIFY(form->SaveBtn->isDefault());
    QCOMPARE(form->SaveAsBtn->text(), QString("Save as..."));

    // The 18 IP address controls on their panels, in the table's order.
    const char* panels[] = {
        "ip_Panel",    "ip_Panel",     "ip_Panel",  "cip_Panel",  "cip_Panel",   "cip_Panel",
        "rip_Panel",   "DNS_Panel",    "DNS_Panel", "urip_Panel", "rip_d_Panel", "DNS_d_Panel",
        "DNS_d_Panel", "urip_d_Panel", "flt_Panel", "flt_Panel",  "flt_d_Panel", "flt_d_Panel"};
    const int tops[] = {2, 28, 54, 2, 28, 54, 8, 2, 28, 8, 8, 2, 28, 8, 2, 28, 2, 28};
    for (int i = 1; i <= 18; i++) {
      IpAddressEdit* ip = form->IpControl(i);
      QVERIFY(ip);
      QCOMPARE(ip->parentWidget()->objectName(), QString(panels[i - 1]));
      QCOMPARE(ip->geometry(), QRect(2, tops[i - 1], 125, 21));
    }
    QCOMPARE(form->IpControl(1)->value(), 0xC0A8C0A8u);
    QCOMPARE(form->IpControl(5)->value(), 0xFFFFFF00u);
    QCOMPARE(form->IpControl(6)->value(), 0u);
    QVERIFY(!form->IpControl(0) && !form->IpControl(19));

    // Saving the untouched window gives the built-in default image.
    dialogs->nextSave = File("default.vef");
    form->SaveBtn->click();
    RecordingBoxes b;
    EepromImage ref(b);
    ref.BuildImage(EepromFields{});
    QCOMPARE(ReadAll(File("default.vef")),
             QByteArray(reinterpret_cast<const char*>(ref.buffer().data()), 1024));
    QVERIFY(boxes->Boxes().empty());
  }

  void ipAddressControl() {
    IpAddressEdit* ip = form->IpControl(1);
    ip->setValue(0x0A000105);
    QCOMPARE(ip->fieldEdit(0)->text(), QString("10"));
    QCOMPARE(ip->fieldEdit(3)->text(), QString("5"));
    ip->fieldEdit(2)->clear();  // blank counts as 0
    QCOMPARE(ip->value(), 0x0A000005u);
    ip->clear();
    QCOMPARE(ip->value(), 0u);
    QTest::keyClicks(ip->fieldEdit(0), "300");
    QCOMPARE(ip->field(0), 255);
    QTest::keyClicks(ip->fieldEdit(1), "1x2");  // letters never enter a field
    QCOMPARE(ip->fieldEdit(1)->text(), QString("12"));
  }

  void numericEditsCheckAsTyped() {
    form->show();
    QLineEdit* c = Edit("c_tsport");
    QLineEdit* d = Edit("d_tsport");
    c->clear();
    boxes->Clear();
    // Pasted from elsewhere: the refused edit comes forward with the focus.
    Edit("c_deviceName")->setFocus();
    c->setText("70000");
    QCOMPARE(c->text(), QString(""));
    QCOMPARE(form->PageControl->currentWidget(), form->TabSheet_OpSet);
    QCOMPARE(form->focusWidget(), c);
    QCOMPARE(boxes->Texts(), std::vector<std::string>{"0~65535 is valid"});
    QCOMPARE(boxes->Boxes()[0].caption, std::string("Error"));
    boxes->Clear();
    QTest::keyClicks(c, "65535");
    QCOMPARE(c->text(), QString("65535"));
    // The whole text at once (pasted): every change is checked, and a lone "x" is not a number.
    c->clear();
    c->insert("x10");
    QCOMPARE(c->text(), QString("x10"));
    QVERIFY(boxes->Boxes().empty());
    // x10 is saved as 16.
    dialogs->nextSave = File("x10.vef");
    form->SaveBtn->click();
    QByteArray bytes = ReadAll(File("x10.vef"));
    QCOMPARE(bytes.size(), 1024);
    QCOMPARE(static_cast<uint8_t>(bytes[144]), 0x00);
    QCOMPARE(static_cast<uint8_t>(bytes[145]), 0x10);

    // A rejected text in d_tsport empties d_tsport only.
    d->setText("91");
    QTest::keyClicks(d, "a");
    QCOMPARE(d->text(), QString(""));
    QCOMPARE(c->text(), QString("x10"));
    auto b = boxes->Boxes();
    QCOMPARE(b.size(), size_t(1));
    QCOMPARE(b[0].text, std::string("'91a' is not a valid integer value."));
    QCOMPARE(b[0].caption, std::string("Production Tool"));
    QCOMPARE(b[0].icon, BoxIcon::Stop);

    // The data-packing length allows 0..1024.
    boxes->Clear();
    Edit("c_dp_length")->setText("1025");
    QCOMPARE(Edit("c_dp_length")->text(), QString(""));
    QCOMPARE(boxes->Texts(), std::vector<std::string>{"0~1024 is valid"});
  }

  void delimiterEdits() {
    form->show();
    form->PageControl->setTabVisible(form->PageControl->indexOf(form->TabSheet_DP), true);
    form->PageControl->setCurrentWidget(form->TabSheet_DP);
    QVERIFY(QTest::qWaitForWindowActive(form.get()));
    QLineEdit* dlm0 = Edit("c_dp_dlm0");
    QLineEdit* dlm1 = Edit("c_dp_dlm1");
    dlm0->setText("1F");
    dlm0->setText("ff");
    QVERIFY(boxes->Boxes().empty());
    dlm1->setText("G1");
    QCOMPARE(dlm1->text(), QString(""));
    QCOMPARE(boxes->Texts(), std::vector<std::string>{"'0xG1' is not a valid integer value."});

    // The second character typed into the first delimiter moves on to the second.
    dlm0->clear();
    dlm0->setFocus();
    QTest::keyClick(dlm0, Qt::Key_A);
    QCOMPARE(QApplication::focusWidget(), dlm0);
    QTest::keyClick(dlm0, Qt::Key_B);
    QCOMPARE(dlm0->text(), QString("ab"));
    QCOMPARE(QApplication::focusWidget(), dlm1);
    QLineEdit* d0 = Edit("d_dp_dlm0");
    d0->clear();
    d0->setFocus();
    QTest::keyClicks(d0, "0A");
    QCOMPARE(QApplication::focusWidget(), Edit("d_dp_dlm1"));
  }

  void validateFieldsMessages_data() {
    QTest::addColumn<QString>("control");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("message");
    QTest::newRow("custom device name") << "c_deviceName"
                                        << ""
                                        << "Device Name can't be blank";
    QTest::newRow("default device name") << "d_deviceName"
                                         << ""
                                         << "Device Name can't be blank";
    QTest::newRow("default model name") << "d_modelName"
                                        << ""
                                        << "Model Name can't be blank";
    QTest::newRow("custom ip 0.1.2.3") << "ip1"
                                       << "0.1.2.3"
                                       << "invalid IP address";
    QTest::newRow("default ip blank") << "ip4"
                                      << ".1.2.3"
                                      << "invalid IP address";
    QTest::newRow("custom netmask") << "ip2"
                                    << "0.0.0.0"
                                    << "invalid netmask";
    QTest::newRow("default netmask") << "ip5"
                                     << "0.255.255.0"
                                     << "invalid netmask";
    QTest::newRow("ip 10.0.0.0 passes") << "ip1"
                                        << "10.0.0.0"
                                        << "";
    QTest::newRow("gateway 0.0.0.0 passes") << "ip3"
                                            << "0.0.0.0"
                                            << "";
    QTest::newRow("gateway 0.1.1.1 passes") << "ip6"
                                            << "0.1.1.1"
                                            << "";
  }
  void validateFieldsMessages() {
    QFETCH(QString, control);
    QFETCH(QString, value);
    QFETCH(QString, message);
    QLineEdit* field = nullptr;
    if (control.startsWith("ip")) {
      IpAddressEdit* ip = form->IpControl(control.mid(2).toInt());
      QStringList parts = value.split('.');
      for (int i = 0; i < 4; i++) ip->fieldEdit(i)->setText(parts[i]);
      field = ip->fieldEdit(0);
    } else {
      field = Edit(control.toLatin1().constData());
      field->setText(value);
    }
    form->show();
    form->PageControl->setCurrentWidget(form->TabSheet_OpSet);
    dialogs->nextSave = File("v.vef");
    form->SaveBtn->click();
    if (message.isEmpty()) {
      QVERIFY(boxes->Boxes().empty());
      QCOMPARE(ReadAll(File("v.vef")).size(), 1024);
    } else {
      QCOMPARE(boxes->Texts(), std::vector<std::string>{message.toStdString()});
      QCOMPARE(boxes->Boxes()[0].caption, std::string("Error"));
      // The field in question is in front, focused and selected.
      QVERIFY(form->PageControl->currentWidget()->isAncestorOf(field));
      QCOMPARE(form->focusWidget(), field);
      QCOMPARE(field->selectedText(), field->text());
      QVERIFY(dialogs->titles.isEmpty());  // nothing asked, nothing saved
      QVERIFY(!QFile::exists(File("v.vef")));
      // "Save as..." makes the same checks.
      boxes->Clear();
      form->SaveAsBtn->click();
      QCOMPARE(boxes->Texts(), std::vector<std::string>{message.toStdString()});
      QVERIFY(dialogs->titles.isEmpty());
    }
  }

  void firstFailingCheckWins() {
    Edit("d_modelName")->clear();
    form->IpControl(1)->setValue(0);
    Edit("d_deviceName")->clear();
    QCOMPARE(form->ValidateFields(), -1);
    QCOMPARE(boxes->Texts(), std::vector<std::string>{"Device Name can't be blank"});

    // The connect time-out is checked last, and only with "connect timeout(ms)" chosen.
    Edit("d_modelName")->setText("M");
    Edit("d_deviceName")->setText("D");
    form->IpControl(1)->setValue(0x0A000001);
    Edit("c_cnntmout")->setText("0");
    QCOMPARE(form->ValidateFields(), 0);
    form->findChild<QComboBox*>("c_cnn")->setCurrentIndex(1);
    boxes->Clear();
    QCOMPARE(form->ValidateFields(), -1);
    QCOMPARE(boxes->Texts(), std::vector<std::string>{"invalid connect timeout"});
    Edit("c_cnntmout")->setText("10");
    QCOMPARE(form->ValidateFields(), 0);
  }

  void loadImageFillsVisibleTabsOnly() {
    QString path = WriteSample("s.vef");
    Edit("c_tcport")->setText("1234");
    form->IpControl(7)->setValue(0x01020304);
    Edit("c_dp_length")->setText("77");
    QCOMPARE(form->LoadImage(path.toStdString()), 0);
    QCOMPARE(Edit("c_deviceName")->text(), QString("DEV-C"));
    QCOMPARE(Edit("d_deviceName")->text(), QString("DEV-D"));
    QCOMPARE(Edit("c_modelName")->text(), QString("MOD-C"));
    QCOMPARE(Edit("c_passwd")->text(), QString("pw"));
    QCOMPARE(Edit("d_passwd")->text(), QString(""));
    QCOMPARE(form->findChild<QComboBox*>("c_ipConfig")->currentText(), QString("DHCP"));
    QCOMPARE(form->findChild<QComboBox*>("d_ipConfig")->currentIndex(), -1);
    QCOMPARE(form->IpControl(1)->value(), 0x0A000005u);
    QCOMPARE(form->IpControl(2)->value(), 0xFFFF0000u);
    QCOMPARE(form->IpControl(3)->value(), 0x0A000001u);
    QCOMPARE(form->IpControl(4)->value(), 0xC0A8C0A8u);
    QVERIFY(form->findChild<QCheckBox*>("ChkBox_pingcfg")->isChecked());
    QCOMPARE(Edit("c_tsport")->text(), QString("4001"));
    QCOMPARE(Edit("d_tsport")->text(), QString("65535"));
    // Hidden tabs' controls and controls 7 to 18 keep what they held.
    QCOMPARE(Edit("c_tcport")->text(), QString("1234"));
    QCOMPARE(form->IpControl(7)->value(), 0x01020304u);
    QCOMPARE(Edit("c_dp_length")->text(), QString("77"));
    QVERIFY(boxes->Boxes().empty());

    // Saving writes 0xFF for the unselected IP configuration.
    dialogs->nextSave = File("out.vef");
    form->SaveAsBtn->click();
    QByteArray out = ReadAll(File("out.vef"));
    QCOMPARE(out.size(), 1024);
    QCOMPARE(static_cast<uint8_t>(out[406]), 0xFF);
    QCOMPARE(static_cast<uint8_t>(out[150]), 0x01);
    QCOMPARE(out.mid(25, 4), QByteArray("\x05\x00\x00\x0A", 4));

    // Single-byte texts come back byte for byte, whatever their code.
    QByteArray raw = ReadAll(path);
    raw.replace(128, 4, QByteArray("\xE9t\xE9\x01", 4));
    WriteAll(File("latin.vef"), raw);
    QCOMPARE(form->LoadImage(File("latin.vef").toStdString()), 0);
    dialogs->nextSave = File("latin_out.vef");
    form->SaveAsBtn->click();
    QCOMPARE(ReadAll(File("latin_out.vef")).mid(128, 16), raw.mid(128, 16));

    // A model name longer than the 14 characters read is cut, and the load says so.
    boxes->Clear();
    raw.replace(256 + 162, 17, QByteArray("MODEL-NAME-16CHR\0", 17));
    WriteAll(File("long.vef"), raw);
    QCOMPARE(form->LoadImage(File("long.vef").toStdString()), 0);
    QCOMPARE(boxes->Texts(),
             std::vector<std::string>{"Model Name of Default settings cut to 14 characters"});
    QCOMPARE(Edit("d_modelName")->text(), QString("MODEL-NAME-16C"));
    QCOMPARE(form->focusWidget(), Edit("d_modelName"));
    boxes->Clear();

    // A refused file leaves the controls as they are.
    WriteAll(File("big.vef"), QByteArray(2000, 'x'));
    QCOMPARE(form->LoadImage(File("big.vef").toStdString()), -1);
    QCOMPARE(boxes->Texts(), std::vector<std::string>{"File can't be recognized."});
    QCOMPARE(Edit("c_deviceName")->text(), QString::fromLatin1("\xE9t\xE9\x01"
                                                               "C"));
    boxes->Clear();
    QCOMPARE(form->LoadImage(File("missing.vef").toStdString()), -1);
    QVERIFY(boxes->Boxes().empty());
  }

  void saveAfterImportAsksFirst() {
    QString path = WriteSample("imp.vef");
    QByteArray before = ReadAll(path);
    bool imported = true;
    std::string importPath = path.toStdString();
    form->BindImportState(&imported, &importPath);
    QCOMPARE(form->LoadImage(importPath), 0);
    QCOMPARE(form->windowTitle(), "EEPROM Editor - " + QDir::toNativeSeparators(path) + "[*]");
    QVERIFY(!form->isWindowModified());
    Edit("c_deviceName")->setText("CHANGED");
    QVERIFY(form->isWindowModified());

    boxes->QueueAnswer(BoxResult::No);
    form->SaveBtn->click();
    auto b = boxes->Boxes();
    QCOMPARE(b.size(), size_t(1));
    QCOMPARE(b[0].caption, std::string("Confirm"));
    QCOMPARE(b[0].text, "Are you sure to overwrite " + importPath);
    QCOMPARE(b[0].buttons, BoxButtons::YesNo);
    QCOMPARE(ReadAll(path), before);
    QVERIFY(dialogs->titles.isEmpty());

    // "Save as..." replaces an existing file without a question.
    boxes->Clear();
    WriteAll(File("other.vef"), QByteArray(3000, 'z'));
    dialogs->nextSave = File("other.vef");
    form->SaveAsBtn->click();
    QVERIFY(boxes->Boxes().empty());
    QCOMPARE(dialogs->titles, QStringList({"Save EEPROM file as..."}));
    QCOMPARE(dialogs->filters, QStringList({"*.vef (*.vef)"}));
    QCOMPARE(dialogs->suffixes, QStringList({"vef"}));
    QByteArray other = ReadAll(File("other.vef"));
    QCOMPARE(other.size(), 1024);
    QCOMPARE(other.mid(128, 8), QByteArray("CHANGED\0", 8));

    // "Save" still means the imported file; Yes overwrites it.
    boxes->QueueAnswer(BoxResult::Yes);
    form->SaveBtn->click();
    QCOMPARE(boxes->Boxes().size(), size_t(1));
    QCOMPARE(ReadAll(path), other);
    // Saved: closing asks nothing.
    form->show();
    QVERIFY(form->close());
    QCOMPARE(boxes->Boxes().size(), size_t(1));
  }

  void saveWithoutImportUsesTheDialog() {
    dialogs->nextSave = QString();  // cancelled
    form->SaveBtn->click();
    QCOMPARE(dialogs->titles, QStringList({"Save EEPROM file..."}));
    QCOMPARE(form->SaveAsDlgTitle(), QString("Save EEPROM file..."));
    QVERIFY(boxes->Boxes().empty());
    QCOMPARE(QDir(dir->path()).entryList(QDir::Files).size(), 0);

    // A file that cannot be created reports it.
    dialogs->nextSave = File("no/such/dir/x.vef");
    form->SaveBtn->click();
    QCOMPARE(boxes->Texts(), std::vector<std::string>{"create file failed"});
  }

  void closeEnablesEditorButtonAndKeepsContents() {
    QPushButton editorBtn("EEPROM Editor");
    form->SetEditorButton(&editorBtn);
    editorBtn.setEnabled(false);
    form->show();
    Edit("c_deviceName")->setText("KEPT");
    form->IpControl(2)->setValue(0xFFFFFFF0u);
    // Unsaved changes: the question first, and No keeps the editor.
    boxes->QueueAnswer(BoxResult::No);
    QVERIFY(!form->close());
    QVERIFY(form->isVisible());
    QVERIFY(!editorBtn.isEnabled());
    auto b = boxes->Boxes();
    QCOMPARE(b.size(), size_t(1));
    QCOMPARE(b[0].caption, std::string("Confirm"));
    QCOMPARE(b[0].text, std::string("Are you sure to close without saving ?"));
    QCOMPARE(b[0].buttons, BoxButtons::YesNo);
    QVERIFY(form->close());
    QVERIFY(!form->isVisible());
    QVERIFY(editorBtn.isEnabled());
    form->findChild<QCheckBox*>("ChkBox_showPasswd")->setChecked(true);
    form->show();
    QCOMPARE(Edit("c_deviceName")->text(), QString("KEPT"));
    QCOMPARE(Edit("c_passwd")->echoMode(), QLineEdit::Password);  // masked again
    QCOMPARE(form->IpControl(2)->value(), 0xFFFFFFF0u);
    // The close button and Esc close it the same way.
    editorBtn.setEnabled(false);
    form->CancelBtn->click();
    QVERIFY(!form->isVisible());
    QVERIFY(editorBtn.isEnabled());
  }

  // eeprom-tool writes the bytes the editor writes for the same values.
  void sameBytesAsEepromTool() {
    QString tool = QString(PT_BINARY_DIR) + "/eeprom-tool";
    if (!QFileInfo(tool).isExecutable()) QSKIP("eeprom-tool not built");
    Edit("c_deviceName")->setText("LINE-7");
    Edit("d_passwd")->setText("secret");
    form->findChild<QComboBox*>("d_ipConfig")->setCurrentIndex(1);
    form->IpControl(3)->setValue(0x0A000001);
    form->IpControl(4)->setValue(0xAC100001);
    form->findChild<QCheckBox*>("ChkBox_pingcfg_d")->setChecked(true);
    Edit("c_tsport")->setText("4001");
    dialogs->nextSave = File("editor.vef");
    form->SaveBtn->click();
    QProcess p;
    p.start(tool, {"new", File("tool.vef"), "--c-device-name", "LINE-7", "--d-password", "secret",
                   "--d-ip-config", "DHCP", "--c-gateway", "10.0.0.1", "--d-ip-address",
                   "172.16.0.1", "--d-ping", "on", "--c-tcp-listen-port", "4001"});
    QVERIFY(p.waitForFinished(10000));
    QCOMPARE(p.exitCode(), 0);
    QCOMPARE(ReadAll(File("tool.vef")), ReadAll(File("editor.vef")));
    QCOMPARE(ReadAll(File("tool.vef")).size(), 1024);
  }

  // Pictures of the three visible tabs, when PT_SCREENSHOT_DIR names a directory.
  void screenshots() {
    QString out = qEnvironmentVariable("PT_SCREENSHOT_DIR");
    if (out.isEmpty()) QSKIP("PT_SCREENSHOT_DIR not set");
    form->show();
    QVERIFY(QTest::qWaitForWindowExposed(form.get()));
    struct Shot {
      QWidget* tab;
      const char* file;
    } shots[] = {{form->TabSheet_SysInfo, "editor_sysinfo.png"},
                 {form->TabSheet_NetSet, "editor_network.png"},
                 {form->TabSheet_OpSet, "editor_operation.png"}};
    for (const Shot& s : shots) {
      form->PageControl->setCurrentWidget(s.tab);
      QTest::qWait(50);
      QVERIFY(form->grab().save(out + "/" + s.file));
    }
  }
};

QTEST_MAIN(TestEepromEditor)
#include "test_eeprom_editor.moc"
