#include "eeprom/gui/Eeeditorform.h"

#include <QAbstractButton>
#include <QButtonGroup>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QFormLayout>
#include <QFrame>
#include <QGridLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollArea>
#include <QTabWidget>
#include <QVBoxLayout>

#include "eeprom/EepromChecks.h"
#include "eeprom/gui/EepromDialogs.h"
#include "eeprom/gui/IpAddressEdit.h"

namespace {

const QStringList kBaudRates = {"1200", "2400", "4800", "9600", "19200", "38400"};
const QStringList kDataFormats = {"E,7,1", "O,7,1", "N,8,1", "E,8,1", "O,8,1",
                                  "N,7,2", "E,7,2", "O,7,2", "N,8,2"};

QString Prefixed(bool custom, const char* name) {
  return QString(custom ? "c_" : "d_") + QString::fromLatin1(name);
}

QLineEdit* MakeEdit(QWidget* parent, const QString& name, int maxLength, const QString& text) {
  auto* e = new QLineEdit(parent);
  e->setObjectName(name);
  if (maxLength > 0) e->setMaxLength(maxLength);
  e->setText(text);
  return e;
}

// A drop-down list (no typing) with one item selected.
QComboBox* MakeList(QWidget* parent, const QString& name, const QStringList& items, int selected) {
  auto* c = new QComboBox(parent);
  c->setObjectName(name);
  c->addItems(items);
  c->setCurrentIndex(selected);
  return c;
}

QCheckBox* MakeCheck(QWidget* parent, const QString& name, const QString& caption) {
  auto* c = new QCheckBox(caption, parent);
  c->setObjectName(name);
  return c;
}

// A panel that hosts IP address controls at fixed places.
QFrame* MakePanel(QWidget* parent, const QString& name, int height) {
  auto* p = new QFrame(parent);
  p->setObjectName(name);
  p->setFixedSize(131, height);
  return p;
}

QGroupBox* MakeGroup(QWidget* parent, const QString& name, const QString& caption) {
  auto* g = new QGroupBox(caption, parent);
  g->setObjectName(name);
  return g;
}

// Labels for the IP address controls of a panel, each beside its control's row.
QWidget* PanelWithLabels(QWidget* parent, QFrame* panel, const QStringList& labels,
                         const QList<int>& tops) {
  auto* host = new QWidget(parent);
  auto* grid = new QGridLayout(host);
  grid->setContentsMargins(0, 0, 0, 0);
  grid->setHorizontalSpacing(8);
  auto* names = new QWidget(host);
  names->setFixedHeight(panel->height());
  for (int i = 0; i < labels.size(); i++) {
    auto* l = new QLabel(labels[i], names);
    l->adjustSize();
    l->move(0, tops[i] + (21 - l->height()) / 2);
  }
  names->setMinimumWidth(80);
  grid->addWidget(names, 0, 0);
  panel->setParent(host);
  grid->addWidget(panel, 0, 1, Qt::AlignLeft);
  grid->setColumnStretch(2, 1);
  return host;
}

}  // namespace

// ---------------------------------------------------------------------------------

RadioGroup::RadioGroup(const QString& title, const QStringList& items, int selected,
                       QWidget* parent)
    : QGroupBox(title, parent) {
  auto* row = new QHBoxLayout(this);
  row->setContentsMargins(4, 2, 4, 2);
  auto* group = new QButtonGroup(this);
  for (int i = 0; i < items.size(); i++) {
    auto* b = new QRadioButton(items[i], this);
    group->addButton(b, i);
    row->addWidget(b);
  }
  setItemIndex(selected);
}

int RadioGroup::itemIndex() const {
  auto buttons = findChildren<QRadioButton*>(QString(), Qt::FindDirectChildrenOnly);
  for (int i = 0; i < buttons.size(); i++)
    if (buttons[i]->isChecked()) return i;
  return -1;
}

void RadioGroup::setItemIndex(int index) {
  auto buttons = findChildren<QRadioButton*>(QString(), Qt::FindDirectChildrenOnly);
  if (index >= 0 && index < buttons.size()) buttons[index]->setChecked(true);
}

// ---------------------------------------------------------------------------------

TeepromEditorForm::TeepromEditorForm(MessageBoxes& boxes, EepromFileDialogs& dialogs,
                                     QWidget* parent)
    : QDialog(parent), boxes_(boxes), dialogs_(dialogs), image_(boxes) {
  setObjectName("eepromEditorForm");
  setWindowTitle("EEPROM Editor");
  setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                 Qt::WindowMinimizeButtonHint);
  imported_ = &noImport_;
  importPath_ = &noPath_;

  auto* top = new QVBoxLayout(this);
  PageControl = new QTabWidget(this);
  PageControl->setObjectName("PageControl");
  top->addWidget(PageControl);

  struct TabDef {
    QWidget** tab;
    const char* name;
    const char* caption;
  };
  const TabDef tabs[] = {
      {&TabSheet_SysInfo, "TabSheet_SysInfo", "System Information"},
      {&TabSheet_NetSet, "TabSheet_NetSet", "Network Settings"},
      {&TabSheet_SerSet, "TabSheet_SerSet", "Serial Settings"},
      {&TabSheet_OpSet, "TabSheet_OpSet", "Operation Settings"},
      {&TabSheet_DP, "TabSheet_DP", "Data Packing"},
      {&TabSheet_IPFilter, "TabSheet_IPFilter", "IP Filtering"},
      {&TabSheet_DIO, "TabSheet_DIO", "DIO Settings"},
      {&TabSheet_consoleBaud, "TabSheet_consoleBaud", "Serial console baudrate"},
  };
  for (const TabDef& t : tabs) {
    *t.tab = new QWidget(PageControl);
    (*t.tab)->setObjectName(t.name);
    PageControl->addTab(*t.tab, t.caption);
  }
  BuildSysInfo(TabSheet_SysInfo);
  BuildNetSet(TabSheet_NetSet);
  BuildSerSet(TabSheet_SerSet);
  BuildOpSet(TabSheet_OpSet);
  BuildDP(TabSheet_DP);
  BuildIPFilter(TabSheet_IPFilter);
  BuildDIO(TabSheet_DIO);
  BuildConsoleBaud(TabSheet_consoleBaud);

  auto* buttons = new QHBoxLayout();
  buttons->addStretch(1);
  SaveAsBtn = new QPushButton("Save as...", this);
  SaveAsBtn->setObjectName("SaveAsBtn");
  SaveAsBtn->setAutoDefault(false);
  SaveBtn = new QPushButton("Save", this);
  SaveBtn->setObjectName("SaveBtn");
  SaveBtn->setDefault(true);
  CancelBtn = new QPushButton("Close", this);
  CancelBtn->setObjectName("CancelBtn");
  CancelBtn->setAutoDefault(false);
  buttons->addWidget(SaveAsBtn);
  buttons->addWidget(SaveBtn);
  buttons->addWidget(CancelBtn);
  top->addLayout(buttons);
  connect(SaveAsBtn, &QPushButton::clicked, this, &TeepromEditorForm::SaveAsBtnClick);
  connect(SaveBtn, &QPushButton::clicked, this, &TeepromEditorForm::SaveBtnClick);
  connect(CancelBtn, &QPushButton::clicked, this, &QWidget::close);

  FormCreate();
  resize(600, 340);
  // The tabs are as the window will show them, even before its first showing.
  FormShow();

  // The saved state follows every control that is loaded and saved.
  for (Record* r : {&c_, &d_}) {
    for (QLineEdit* e : {r->deviceName, r->modelName, r->passwd, r->tsport})
      connect(e, &QLineEdit::textChanged, this, &TeepromEditorForm::UpdateModified);
    connect(r->ipConfig, &QComboBox::currentIndexChanged, this,
            &TeepromEditorForm::UpdateModified);
    connect(r->pingcfg, &QCheckBox::toggled, this, &TeepromEditorForm::UpdateModified);
  }
  for (int i = 0; i < 6; i++)
    connect(ips_[static_cast<size_t>(i)], &IpAddressEdit::valueChanged, this,
            &TeepromEditorForm::UpdateModified);
  MarkClean();
  UpdateTitle();
}

TeepromEditorForm::~TeepromEditorForm() = default;

void TeepromEditorForm::BindImportState(const bool* imported, const std::string* importPath) {
  imported_ = imported ? imported : &noImport_;
  importPath_ = importPath ? importPath : &noPath_;
}

void TeepromEditorForm::SetEditorButton(QAbstractButton* button) {
  editorBtn_ = button;
}

void TeepromEditorForm::BuildSysInfo(QWidget* tab) {
  auto* row = new QHBoxLayout(tab);
  for (bool custom : {true, false}) {
    Record& r = custom ? c_ : d_;
    QGroupBox* g = MakeGroup(tab, custom ? "GroupBox7" : "GroupBox1",
                             custom ? "Custom settings" : "Default settings");
    auto* form = new QFormLayout(g);
    r.deviceName = MakeEdit(g, Prefixed(custom, "deviceName"), 16, "SX-4210QB");
    r.modelName = MakeEdit(g, Prefixed(custom, "modelName"), 16, "SX-4210QB");
    r.passwd = MakeEdit(g, Prefixed(custom, "passwd"), 8, "");
    // Masked while someone may look over the engineer's shoulder; the box shows it.
    r.passwd->setEchoMode(QLineEdit::Password);
    r.showPasswd =
        MakeCheck(g, custom ? "ChkBox_showPasswd" : "ChkBox_showPasswd_d", "Show password");
    QLineEdit* passwd = r.passwd;
    connect(r.showPasswd, &QCheckBox::toggled, passwd, [passwd](bool show) {
      passwd->setEchoMode(show ? QLineEdit::Normal : QLineEdit::Password);
    });
    form->addRow("Device Name", r.deviceName);
    form->addRow("Model Name", r.modelName);
    form->addRow("Password", r.passwd);
    form->addRow(QString(), r.showPasswd);
    row->addWidget(g, 1);
  }
}

void TeepromEditorForm::BuildNetSet(QWidget* tab) {
  auto* row = new QHBoxLayout(tab);
  for (bool custom : {true, false}) {
    Record& r = custom ? c_ : d_;
    QGroupBox* g =
        MakeGroup(tab, custom ? "GB_c" : "GB_d", custom ? "Custom settings" : "Default settings");
    auto* col = new QVBoxLayout(g);
    auto* form = new QFormLayout();
    r.ipConfig = MakeList(g, Prefixed(custom, "ipConfig"), {"Static", "DHCP"}, 0);
    form->addRow("IP Configuration", r.ipConfig);
    col->addLayout(form);
    r.ipPanel = MakePanel(g, custom ? "ip_Panel" : "cip_Panel", 78);
    col->addWidget(
        PanelWithLabels(g, r.ipPanel, {"IP Address", "NetMask", "Gateway"}, {2, 28, 54}));
    r.pingcfg =
        MakeCheck(g, custom ? "ChkBox_pingcfg" : "ChkBox_pingcfg_d", "Ping Configurate Enable");
    col->addWidget(r.pingcfg);
    col->addStretch(1);
    row->addWidget(g, 1);
  }
}

void TeepromEditorForm::BuildSerSet(QWidget* tab) {
  auto* row = new QHBoxLayout(tab);
  for (bool custom : {true, false}) {
    QGroupBox* g = MakeGroup(tab, custom ? "GroupBox14" : "GroupBox5",
                             custom ? "Custom settings" : "Default settings");
    auto* form = new QFormLayout(g);
    form->addRow("Baud Rate", MakeList(g, Prefixed(custom, "baudrate"), kBaudRates, 5));
    form->addRow("Data Format", MakeList(g, Prefixed(custom, "dataformat"), kDataFormats, 2));
    form->addRow("Flow Control",
                 MakeList(g, Prefixed(custom, "flowctrl"), {"NONE", "RTS/CTS", "XON/XOFF"}, 1));
    form->addRow("Interface",
                 MakeList(g, Prefixed(custom, "interface"), {"RS-232", "RS-485", "RS-422"}, 0));
    row->addWidget(g, 1);
  }
}

void TeepromEditorForm::BuildOpRecord(QWidget* page, bool custom, Record& r) {
  auto* col = new QVBoxLayout(page);
  auto* form = new QFormLayout();
  form->setFieldGrowthPolicy(QFormLayout::FieldsStayAtSizeHint);
  auto* opmode = MakeList(page, Prefixed(custom, "opmode"), {"TCP Server", "TCP Client", "UDP"}, 0);
  opmode->setEnabled(false);
  form->addRow("Operation Mode", opmode);
  r.tsport = MakeEdit(page, Prefixed(custom, "tsport"), 5, "9100");
  r.tsport->setFixedWidth(80);
  opmode->setMinimumWidth(160);
  form->addRow("TCP Listen Port", r.tsport);
  col->addLayout(form);

  // Connection options and the client and UDP modes are hidden from the start.
  auto* hidden = new QWidget(page);
  hidden->setObjectName(Prefixed(custom, "connectOptions"));
  auto* hform = new QFormLayout(hidden);
  auto* cnnWhen = MakeList(hidden, Prefixed(custom, "cnnWhen"), {"Start up", "Serial data in"}, 0);
  r.cnn = MakeList(hidden, Prefixed(custom, "cnn"), {"always connect", "connect timeout(ms)"}, 0);
  r.cnntmout = MakeEdit(hidden, Prefixed(custom, "cnntmout"), 5, "10000");
  auto* aliveItv = MakeEdit(hidden, Prefixed(custom, "aliveItv"), 2, "7");
  hform->addRow("Connect When", cnnWhen);
  auto* cnnRow = new QHBoxLayout();
  cnnRow->addWidget(r.cnn);
  cnnRow->addWidget(r.cnntmout);
  hform->addRow("Connect", cnnRow);
  hform->addRow("Alive check interval(sec.)", aliveItv);

  const char* sfx = custom ? "_c" : "_d";
  QGroupBox* client = MakeGroup(hidden, QString("GB_client") + sfx, "TCP Client mode");
  auto* cform = new QFormLayout(client);
  r.ripPanel = MakePanel(client, custom ? "rip_Panel" : "rip_d_Panel", 36);
  cform->addRow("remote IP", r.ripPanel);
  auto* tcport = MakeEdit(client, Prefixed(custom, "tcport"), 5, "4000");
  cform->addRow("remote port", tcport);
  cform->addRow(MakeCheck(client, QString("CkB_DNS") + sfx, "DNS enable"));
  cform->addRow("remote host", MakeEdit(client, QString("remoteHost") + sfx, 24, ""));
  r.dnsPanel = MakePanel(client, custom ? "DNS_Panel" : "DNS_d_Panel", 52);
  cform->addRow(PanelWithLabels(client, r.dnsPanel, {"primary DNS", "secondary DNS"}, {2, 28}));
  hform->addRow(client);

  QGroupBox* udp = MakeGroup(hidden, QString("GB_udp") + sfx, "UDP mode");
  auto* uform = new QFormLayout(udp);
  r.uripPanel = MakePanel(udp, custom ? "urip_Panel" : "urip_d_Panel", 36);
  uform->addRow("remote IP", r.uripPanel);
  auto* rport = MakeEdit(udp, Prefixed(custom, "udp_rport"), 5, "0");
  auto* lport = MakeEdit(udp, Prefixed(custom, "udp_lport"), 5, "0");
  uform->addRow("remote port", rport);
  uform->addRow("local port", lport);
  hform->addRow(udp);
  col->addWidget(hidden);
  col->addStretch(1);
  for (QWidget* w :
       std::initializer_list<QWidget*>{cnnWhen, r.cnn, r.cnntmout, aliveItv, client, udp})
    w->hide();
  hidden->hide();

  WatchNumeric(r.tsport, 65535);
  WatchNumeric(tcport, 65535);
  WatchNumeric(r.cnntmout, 65535);
  WatchNumeric(aliveItv, 99);
  WatchNumeric(lport, 65535);
  WatchNumeric(rport, 65535);
}

void TeepromEditorForm::BuildOpSet(QWidget* tab) {
  auto* col = new QVBoxLayout(tab);
  PageControl_opmode = new QTabWidget(tab);
  PageControl_opmode->setObjectName("PageControl_opmode");
  TabSheet_opmode = new QWidget(PageControl_opmode);
  TabSheet_opmode->setObjectName("TabSheet_opmode");
  auto* tab5 = new QWidget(PageControl_opmode);
  tab5->setObjectName("TabSheet5");
  PageControl_opmode->addTab(TabSheet_opmode, "Custom settings");
  PageControl_opmode->addTab(tab5, "Default settings");
  BuildOpRecord(TabSheet_opmode, true, c_);
  BuildOpRecord(tab5, false, d_);
  col->addWidget(PageControl_opmode);
}

void TeepromEditorForm::BuildDP(QWidget* tab) {
  auto* row = new QHBoxLayout(tab);
  for (bool custom : {true, false}) {
    Record& r = custom ? c_ : d_;
    QGroupBox* g = MakeGroup(tab, custom ? "GroupBox19" : "GroupBox20",
                             custom ? "Custom settings" : "Default settings");
    auto* grid = new QGridLayout(g);
    grid->addWidget(MakeCheck(g, Prefixed(custom, "dp_dlmEn"), "Delimitor Char"), 0, 0);
    r.dlm0 = MakeEdit(g, Prefixed(custom, "dp_dlm0"), 2, "00");
    r.dlm1 = MakeEdit(g, Prefixed(custom, "dp_dlm1"), 2, "00");
    for (QLineEdit* e : {r.dlm0, r.dlm1}) e->setFixedWidth(36);
    auto* dlms = new QHBoxLayout();
    dlms->addWidget(new QLabel("0x", g));
    dlms->addWidget(r.dlm0);
    dlms->addWidget(new QLabel("0x", g));
    dlms->addWidget(r.dlm1);
    dlms->addStretch(1);
    grid->addLayout(dlms, 0, 1);
    auto* length = MakeEdit(g, Prefixed(custom, "dp_length"), 4, "0");
    auto* tmout = MakeEdit(g, Prefixed(custom, "dp_tmout"), 5, "0");
    grid->addWidget(MakeCheck(g, Prefixed(custom, "dp_lengthEn"), "Length"), 1, 0);
    grid->addWidget(length, 1, 1);
    grid->addWidget(MakeCheck(g, Prefixed(custom, "dp_tmoutEn"), "Timeout"), 2, 0);
    grid->addWidget(tmout, 2, 1);
    grid->setRowStretch(3, 1);
    row->addWidget(g, 1);
    WatchNumeric(length, 1024);
    WatchNumeric(tmout, 65535);
    WatchNumeric(r.dlm0, -1);
    WatchNumeric(r.dlm1, -1);
    r.dlm0->installEventFilter(this);
  }
}

void TeepromEditorForm::BuildIPFilter(QWidget* tab) {
  auto* row = new QHBoxLayout(tab);
  for (bool custom : {true, false}) {
    Record& r = custom ? c_ : d_;
    QGroupBox* g = MakeGroup(tab, custom ? "GB_ipf_c" : "GB_ipf_d",
                             custom ? "Custom settings" : "Default settings");
    auto* col = new QVBoxLayout(g);
    col->addWidget(MakeCheck(g, Prefixed(custom, "ipfilter_en"), "Enable IP Filtering"));
    r.fltPanel = MakePanel(g, custom ? "flt_Panel" : "flt_d_Panel", 52);
    col->addWidget(PanelWithLabels(g, r.fltPanel, {"Start IP", "End IP"}, {2, 28}));
    col->addStretch(1);
    row->addWidget(g, 1);
  }
}

void TeepromEditorForm::BuildDIO(QWidget* tab) {
  auto* col = new QVBoxLayout(tab);
  auto* pages = new QTabWidget(tab);
  pages->setObjectName("PageControl1");
  for (bool custom : {true, false}) {
    // Nine lines of radio groups: the page scrolls rather than stretching the window.
    auto* scroll = new QScrollArea(pages);
    scroll->setObjectName(custom ? "TabSheet1" : "TabSheet2");
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    auto* page = new QWidget(scroll);
    auto* grid = new QGridLayout(page);
    for (int i = 0; i <= 8; i++) {
      grid->addWidget(new QLabel(QString("DIO_%1").arg(i), page), i, 0);
      auto* mode = new RadioGroup("Mode", {"Input", "Output"}, 0, page);
      mode->setObjectName(Prefixed(custom, "diomode") + QString::number(i));
      auto* level = new RadioGroup("High/Low", {"Low", "High"}, 0, page);
      level->setObjectName(Prefixed(custom, "diodata") + QString::number(i));
      grid->addWidget(mode, i, 1);
      grid->addWidget(level, i, 2);
    }
    scroll->setWidget(page);
    pages->addTab(scroll, custom ? "Custom settings" : "Default settings");
  }
  col->addWidget(pages);
}

void TeepromEditorForm::BuildConsoleBaud(QWidget* tab) {
  auto* form = new QFormLayout(tab);
  form->addRow("Serial console fixed Baudrate", MakeList(tab, "f_sc_baud", kBaudRates, 4));
}

void TeepromEditorForm::FormCreate() {
  struct Place {
    QFrame* panel;
    int top;
    uint32_t initial;
  };
  const Place places[kIpControls] = {
      {c_.ipPanel, 2, 0xC0A8C0A8u}, {c_.ipPanel, 28, 0xFFFFFF00u}, {c_.ipPanel, 54, 0},
      {d_.ipPanel, 2, 0xC0A8C0A8u}, {d_.ipPanel, 28, 0xFFFFFF00u}, {d_.ipPanel, 54, 0},
      {c_.ripPanel, 8, 0},          {c_.dnsPanel, 2, 0},           {c_.dnsPanel, 28, 0},
      {c_.uripPanel, 8, 0},         {d_.ripPanel, 8, 0},           {d_.dnsPanel, 2, 0},
      {d_.dnsPanel, 28, 0},         {d_.uripPanel, 8, 0},          {c_.fltPanel, 2, 0},
      {c_.fltPanel, 28, 0},         {d_.fltPanel, 2, 0},           {d_.fltPanel, 28, 0},
  };
  for (int i = 0; i < kIpControls; i++) {
    auto* ip = new IpAddressEdit(places[i].panel);
    ip->setObjectName(QString("ipControl%1").arg(i + 1));
    ip->setGeometry(2, places[i].top, 125, 21);
    ip->setValue(places[i].initial);
    ips_[static_cast<size_t>(i)] = ip;
  }
}

IpAddressEdit* TeepromEditorForm::IpControl(int number) const {
  if (number < 1 || number > kIpControls) return nullptr;
  return ips_[static_cast<size_t>(number - 1)];
}

void TeepromEditorForm::FormShow() {
  for (QWidget* tab : {TabSheet_SysInfo, TabSheet_NetSet, TabSheet_OpSet})
    PageControl->setTabVisible(PageControl->indexOf(tab), true);
  for (QWidget* tab :
       {TabSheet_SerSet, TabSheet_DP, TabSheet_IPFilter, TabSheet_DIO, TabSheet_consoleBaud})
    PageControl->setTabVisible(PageControl->indexOf(tab), false);
}

void TeepromEditorForm::showEvent(QShowEvent* event) {
  FormShow();
  UpdateTitle();
  // Every opening starts with the passwords masked.
  if (!event->spontaneous())
    for (Record* r : {&c_, &d_}) r->showPasswd->setChecked(false);
  QDialog::showEvent(event);
}

void TeepromEditorForm::closeEvent(QCloseEvent* event) {
  if (isVisible() && Modified() &&
      boxes_.Show("Confirm", "Are you sure to close without saving ?", BoxButtons::YesNo,
                  BoxIcon::Question) != BoxResult::Yes) {
    event->ignore();
    return;
  }
  // FormClose: the window is only hidden and keeps its contents.
  if (editorBtn_) editorBtn_->setEnabled(true);
  event->accept();
  emit formClosed();
}

void TeepromEditorForm::reject() {
  close();
}

bool TeepromEditorForm::TabShown(QWidget* tab) const {
  return PageControl->isTabVisible(PageControl->indexOf(tab));
}

unsigned TeepromEditorForm::ShownGroups() const {
  unsigned g = 0;
  if (TabShown(TabSheet_SysInfo)) g |= kGroupSysInfo;
  if (TabShown(TabSheet_NetSet)) g |= kGroupNetwork;
  if (TabShown(TabSheet_OpSet)) g |= kGroupOperation;
  return g;
}

std::string TeepromEditorForm::AppTitle() const {
  if (!appTitle_.empty()) return appTitle_;
  return QGuiApplication::applicationDisplayName().toStdString();
}

void TeepromEditorForm::WatchNumeric(QLineEdit* edit, int maximum) {
  connect(edit, &QLineEdit::textChanged, this, [this, edit, maximum](const QString& text) {
    std::string t = ToImageText(text);
    int rc = maximum >= 0 ? CheckRange(boxes_, AppTitle(), t, maximum)
                          : CheckHexByte(boxes_, AppTitle(), t);
    if (rc != 0) {
      edit->setText("");
      ShowField(edit);
    }
  });
}

void TeepromEditorForm::ShowField(QWidget* widget) {
  for (QTabWidget* pages : {PageControl, PageControl_opmode}) {
    for (int i = 0; i < pages->count(); i++) {
      if (pages->isTabVisible(i) && pages->widget(i)->isAncestorOf(widget))
        pages->setCurrentIndex(i);
    }
  }
  if (auto* ip = qobject_cast<IpAddressEdit*>(widget)) widget = ip->fieldEdit(0);
  widget->setFocus(Qt::OtherFocusReason);
  if (auto* edit = qobject_cast<QLineEdit*>(widget)) edit->selectAll();
}

void TeepromEditorForm::MarkClean() {
  clean_ = ShownFields();
  setWindowModified(false);
}

void TeepromEditorForm::UpdateModified() {
  setWindowModified(Modified());
}

void TeepromEditorForm::UpdateTitle() {
  QString title = QStringLiteral("EEPROM Editor");
  if (*imported_ && !importPath_->empty())
    title += QStringLiteral(" - ") + QDir::toNativeSeparators(FromFileName(*importPath_))
                                         .replace(QStringLiteral("[*]"), QStringLiteral("[*][*]"));
  setWindowTitle(title + QStringLiteral("[*]"));
}

bool TeepromEditorForm::eventFilter(QObject* watched, QEvent* event) {
  // c_dp_dlm0KeyUp / d_dp_dlm0KeyUp: two characters move on to the second delimiter.
  if (event->type() == QEvent::KeyRelease) {
    for (Record* r : {&c_, &d_}) {
      if (watched == r->dlm0 && r->dlm0->text().size() == 2) r->dlm1->setFocus();
    }
  }
  return QDialog::eventFilter(watched, event);
}

int TeepromEditorForm::LoadImage(const std::string& path) {
  if (image_.LoadImageFile(path) != 0) return -1;
  EepromFields f = image_.Decode();
  const EepromRecord* vals[2] = {&f.custom, &f.defaults};
  Record* recs[2] = {&c_, &d_};
  if (TabShown(TabSheet_SysInfo)) {
    for (int i = 0; i < 2; i++) {
      recs[i]->deviceName->setText(FromImageText(vals[i]->deviceName));
      recs[i]->modelName->setText(FromImageText(vals[i]->modelName));
      recs[i]->passwd->setText(FromImageText(vals[i]->password));
    }
  }
  if (TabShown(TabSheet_NetSet)) {
    for (int i = 0; i < 2; i++) {
      recs[i]->ipConfig->setCurrentIndex(vals[i]->ipConfig);
      ips_[static_cast<size_t>(3 * i)]->setValue(vals[i]->ipAddress);
      ips_[static_cast<size_t>(3 * i + 1)]->setValue(vals[i]->netMask);
      ips_[static_cast<size_t>(3 * i + 2)]->setValue(vals[i]->gateway);
      recs[i]->pingcfg->setChecked(vals[i]->pingConfig);
    }
  }
  if (TabShown(TabSheet_OpSet)) {
    for (int i = 0; i < 2; i++) recs[i]->tsport->setText(FromImageText(vals[i]->tcpListenPort));
  }
  MarkClean();
  UpdateTitle();
  // A model name longer than the part that is read loses its end: say so, and show it.
  if (TabShown(TabSheet_SysInfo)) {
    bool customCut = image_.ModelNameCut(true), defaultCut = image_.ModelNameCut(false);
    if (customCut || defaultCut) {
      boxes_.Show("Warning", ModelNameCutNote(customCut, defaultCut), BoxButtons::Ok,
                  BoxIcon::Warning);
      ShowField(customCut ? c_.modelName : d_.modelName);
    }
  }
  return 0;
}

EepromFields TeepromEditorForm::ShownFields() const {
  EepromFields f;
  EepromRecord* vals[2] = {&f.custom, &f.defaults};
  const Record* recs[2] = {&c_, &d_};
  for (int i = 0; i < 2; i++) {
    vals[i]->deviceName = ToImageText(recs[i]->deviceName->text());
    vals[i]->modelName = ToImageText(recs[i]->modelName->text());
    vals[i]->password = ToImageText(recs[i]->passwd->text());
    vals[i]->ipConfig = recs[i]->ipConfig->currentIndex();
    vals[i]->ipAddress = ips_[static_cast<size_t>(3 * i)]->value();
    vals[i]->netMask = ips_[static_cast<size_t>(3 * i + 1)]->value();
    vals[i]->gateway = ips_[static_cast<size_t>(3 * i + 2)]->value();
    vals[i]->pingConfig = recs[i]->pingcfg->isChecked();
    vals[i]->tcpListenPort = ToImageText(recs[i]->tsport->text());
  }
  return f;
}

int TeepromEditorForm::ValidateFields() {
  FieldCheck check = ValidateFieldsCheck(ShownFields(), ShownGroups());
  const Record& r = check.custom ? c_ : d_;
  const size_t ip = check.custom ? 0 : 3;
  QWidget* field = nullptr;
  switch (check.field) {
    case EepromField::DeviceName:
      field = r.deviceName;
      break;
    case EepromField::ModelName:
      field = r.modelName;
      break;
    case EepromField::IpAddress:
      field = ips_[ip];
      break;
    case EepromField::NetMask:
      field = ips_[ip + 1];
      break;
    case EepromField::None:
      break;
  }
  if (check.message.empty() && TabShown(TabSheet_OpSet) &&
      PageControl_opmode->isTabVisible(PageControl_opmode->indexOf(TabSheet_opmode)) &&
      c_.cnn->currentIndex() == 1 &&
      (c_.cnntmout->text().isEmpty() || c_.cnntmout->text() == "0")) {
    check.message = "invalid connect timeout";
    field = c_.cnntmout;
  }
  if (check.message.empty()) return 0;
  ShowError(boxes_, check.message);
  if (field) ShowField(field);
  return -1;
}

int TeepromEditorForm::Save(const std::string& path) {
  int rc = image_.SaveImageFile(path, ShownFields(), ShownGroups());
  if (rc == 0) MarkClean();
  return rc;
}

int TeepromEditorForm::SaveTo(const QString& fileName) {
  return Save(ToFileName(fileName));
}

void TeepromEditorForm::SaveBtnClick() {
  if (ValidateFields() != 0) return;
  if (*imported_) {
    BoxResult answer = boxes_.Show("Confirm", "Are you sure to overwrite " + *importPath_,
                                   BoxButtons::YesNo, BoxIcon::Question);
    if (answer != BoxResult::Yes) return;
    Save(*importPath_);
    return;
  }
  saveAsDlgTitle_ = "Save EEPROM file...";
  QString name = dialogs_.SaveFileName(this, saveAsDlgTitle_, VefFilter(), "vef");
  if (name.isEmpty()) return;
  SaveTo(name);
}

void TeepromEditorForm::SaveAsBtnClick() {
  if (ValidateFields() != 0) return;
  saveAsDlgTitle_ = "Save EEPROM file as...";
  QString name = dialogs_.SaveFileName(this, saveAsDlgTitle_, VefFilter(), "vef");
  if (name.isEmpty()) return;
  SaveTo(name);
}
