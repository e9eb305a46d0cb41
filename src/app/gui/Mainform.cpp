#include "app/gui/Mainform.h"

#include <QApplication>
#include <QBitmap>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QFont>
#include <QHeaderView>
#include <QImage>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPolygonF>
#include <QPushButton>
#include <QResizeEvent>
#include <QStyle>
#include <QStyleOptionViewItem>
#include <QStyledItemDelegate>
#include <QTableWidget>
#include <QThread>
#include <QTimer>
#include <QToolButton>
#include <algorithm>
#include <exception>

#include "app/Startthread.h"
#include "gui/QtMessageBoxes.h"
#include "gui/QtUiThread.h"
#include "platform/Clock.h"
#include "platform/Network.h"
#include "platform/SerialPort.h"

namespace {

constexpr char kCaption[] = "Production Tool V2.12WS(02:5C:3A:04:21:0F~02:5C:3A:04:22:D0)";
constexpr int kStatusRows = 8;
constexpr int kStatusColumns = 2;
constexpr int kStatusColumnWidth = 240;
constexpr int kMacColumn0Width = 300;
constexpr int kMacColumn1Width = 180;
constexpr int kRowHeight = 24;
// The form's font size at the start size; the grids and the log grow from it.
constexpr double kFontPoints = 8.0;
// The log keeps this many lines at most; a long shift's log stays far below it, and
// memory stays bounded however long the program runs without a new job.
constexpr int kMemoMaxLines = 100000;

QString Latin1(const std::string& text) {
  return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

// How often the window follows a live run's stage table (cell colours, controls).
constexpr int kRunTickMs = 250;
// How often the mode label looks at the station's mode (engineer mode ends by itself).
constexpr int kModeTickMs = 1000;

// The mode label reads at a glance, and not by its colour alone: its text names the
// mode, production mode has a solid heavy frame, engineer mode a dashed one.
constexpr char kProductionStyle[] =
    "QLabel { background: #1C3F8C; color: white; font-weight: bold;"
    " border: 3px solid black; padding: 2px; }";
constexpr char kEngineerStyle[] =
    "QLabel { background: #FFD34D; color: black; font-weight: bold;"
    " border: 3px dashed #8C0000; padding: 2px; }";

// A grid text as one line: trailing line ends are not drawn, other control bytes show
// as blanks.
QString OneLine(QString text) {
  while (!text.isEmpty() && (text.back() == QLatin1Char('\r') || text.back() == QLatin1Char('\n')))
    text.chop(1);
  for (QChar& c : text) {
    if (c.unicode() < 0x20 || c.unicode() == 0x7F) c = QLatin1Char(' ');
  }
  return text;
}

// Grid cells keep their text exactly as given (line ends included); on screen a cell
// is one line, fitted into its column (TmainFrm::FitCellText), after the mark of its
// verdict when it has one.
class OneLineCellDelegate final : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;
  QString displayText(const QVariant& value, const QLocale& locale) const override {
    if (value.typeId() != QMetaType::QString)
      return QStyledItemDelegate::displayText(value, locale);
    return OneLine(value.toString());
  }
  void paint(QPainter* painter, const QStyleOptionViewItem& option,
             const QModelIndex& index) const override {
    QStyleOptionViewItem opt(option);
    initStyleOption(&opt, index);
    const QVariant verdict = index.data(TmainFrm::kVerdictRole);
    if (verdict.isValid()) {
      // The mark grows with the row; the style draws it in front of the text.
      const int side = std::max(8, opt.rect.height() * 2 / 3);
      const QPixmap mark = TmainFrm::VerdictMark(static_cast<PortVerdict>(verdict.toInt()), side);
      if (!mark.isNull()) {
        opt.features |= QStyleOptionViewItem::HasDecoration;
        opt.icon = QIcon(mark);
        opt.decorationSize = QSize(side, side);
        opt.decorationPosition = QStyleOptionViewItem::Left;
        opt.decorationAlignment = Qt::AlignCenter;
      }
    }
    const QWidget* widget = opt.widget;
    QStyle* style = widget != nullptr ? widget->style() : QApplication::style();
    // The style keeps this margin on both sides of an item's text.
    const int margin = style->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, widget) + 1;
    const int width =
        style->subElementRect(QStyle::SE_ItemViewItemText, &opt, widget).width() - 2 * margin - 1;
    QFont font;
    opt.text = TmainFrm::FitCellText(opt.font, width, opt.text, &font);
    opt.font = font;
    opt.fontMetrics = QFontMetrics(font);
    style->drawControl(QStyle::CE_ItemViewItem, &opt, painter, widget);
  }
};

QTableWidget* NewGrid(QWidget* parent, const char* name, int rows, int columns) {
  auto* grid = new QTableWidget(rows, columns, parent);
  grid->setObjectName(QLatin1String(name));
  grid->horizontalHeader()->hide();
  grid->verticalHeader()->hide();
  grid->setShowGrid(false);
  // Display only: no editing, no selection, no focus; the text keeps its normal colour.
  grid->setEditTriggers(QAbstractItemView::NoEditTriggers);
  grid->setSelectionMode(QAbstractItemView::NoSelection);
  grid->setFocusPolicy(Qt::NoFocus);
  grid->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  grid->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  grid->setWordWrap(false);
  grid->setTextElideMode(Qt::ElideRight);
  grid->setItemDelegate(new OneLineCellDelegate(grid));
  grid->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  grid->verticalHeader()->setDefaultSectionSize(kRowHeight);
  grid->horizontalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  for (int r = 0; r < rows; ++r) {
    grid->setRowHeight(r, kRowHeight);
    for (int c = 0; c < columns; ++c) {
      auto* item = new QTableWidgetItem(QString());
      item->setFlags(Qt::ItemIsEnabled);
      item->setTextAlignment(Qt::AlignLeft | Qt::AlignVCenter);
      grid->setItem(r, c, item);
    }
  }
  return grid;
}

// Sizes a grid to exactly its cells plus its frame.
void FitGrid(QTableWidget* grid) {
  int w = 0;
  for (int c = 0; c < grid->columnCount(); ++c) w += grid->columnWidth(c);
  int h = 0;
  for (int r = 0; r < grid->rowCount(); ++r) h += grid->rowHeight(r);
  const int frame = 2 * grid->frameWidth();
  grid->setFixedSize(w + frame, h + frame);
}

void SetCell(QTableWidget* grid, int row, int column, const std::string& text) {
  if (row < 0 || row >= grid->rowCount() || column < 0 || column >= grid->columnCount()) return;
  QTableWidgetItem* item = grid->item(row, column);
  if (item == nullptr) {
    item = new QTableWidgetItem;
    item->setFlags(Qt::ItemIsEnabled);
    grid->setItem(row, column, item);
  }
  const QString shown = Latin1(text);
  item->setText(shown);
  // The whole text, also when the cell can show it only in part.
  item->setToolTip(OneLine(shown));
}

// A 24-bit picture: drawn on an RGB888 image whose background colour (the bottom-left
// pixel) is the transparent colour, as picture buttons take it.
QPixmap FinishPicture(const QImage& image) {
  const QColor key = image.pixelColor(0, image.height() - 1);
  QPixmap pixmap = QPixmap::fromImage(image);
  pixmap.setMask(pixmap.createMaskFromColor(key, Qt::MaskInColor));
  return pixmap;
}

QImage NewPictureImage(int size) {
  QImage image(size, size, QImage::Format_RGB888);
  image.fill(QColor(0xC0, 0xC0, 0xC0));
  return image;
}

}  // namespace

// ---- pictures ----

QPixmap TmainFrm::StartPicture() {
  QImage image = NewPictureImage(40);
  {
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    QRadialGradient fill(QPointF(15, 13), 24);
    fill.setColorAt(0, QColor(0x7C, 0xE0, 0x6A));
    fill.setColorAt(1, QColor(0x1E, 0x8C, 0x2A));
    p.setPen(QPen(QColor(0x10, 0x5A, 0x18), 1.5));
    p.setBrush(fill);
    p.drawEllipse(QRectF(2.5, 2.5, 35, 35));
    const QPolygonF play{QPointF(15, 10.5), QPointF(30, 20), QPointF(15, 29.5)};
    p.setPen(QPen(QColor(0xF4, 0xFF, 0xF0), 1.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(QColor(0xFF, 0xFF, 0xFF));
    p.drawPolygon(play);
  }
  return FinishPicture(image);
}

QPixmap TmainFrm::StopPicture() {
  QImage image = NewPictureImage(32);
  {
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    QPolygonF octagon;
    const double a = 9.0, b = 29.5, c = 2.5;
    octagon << QPointF(a, c) << QPointF(32 - a, c) << QPointF(b, a) << QPointF(b, 32 - a)
            << QPointF(32 - a, b) << QPointF(a, b) << QPointF(c, 32 - a) << QPointF(c, a);
    QLinearGradient fill(QPointF(0, 0), QPointF(0, 32));
    fill.setColorAt(0, QColor(0xF0, 0x50, 0x40));
    fill.setColorAt(1, QColor(0xB0, 0x10, 0x10));
    p.setPen(QPen(QColor(0x70, 0x08, 0x08), 1.2));
    p.setBrush(fill);
    p.drawPolygon(octagon);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0xFF, 0xFF, 0xFF));
    p.drawRoundedRect(QRectF(10.5, 10.5, 11, 11), 1.5, 1.5);
  }
  return FinishPicture(image);
}

QPixmap TmainFrm::SelectFilesPicture() {
  QImage image = NewPictureImage(16);
  {
    QPainter p(&image);
    // A folder with a sheet of paper in it.
    p.setPen(QColor(0x80, 0x60, 0x10));
    p.setBrush(QColor(0xE8, 0xC0, 0x48));
    p.drawRect(1, 4, 13, 10);
    p.drawRect(1, 2, 5, 2);
    p.setPen(QColor(0x60, 0x60, 0x60));
    p.setBrush(QColor(0xFF, 0xFF, 0xFF));
    p.drawRect(4, 1, 8, 9);
    p.setPen(QColor(0x30, 0x60, 0xC0));
    p.drawLine(6, 4, 10, 4);
    p.drawLine(6, 6, 10, 6);
    p.setPen(QColor(0x80, 0x60, 0x10));
    p.setBrush(QColor(0xF8, 0xD8, 0x68));
    p.drawRect(1, 8, 13, 6);
  }
  return FinishPicture(image);
}

QPixmap TmainFrm::EditorPicture() {
  QImage image = NewPictureImage(16);
  {
    QPainter p(&image);
    // A memory chip with its pins.
    p.setPen(QColor(0x20, 0x20, 0x20));
    p.setBrush(QColor(0x40, 0x40, 0x48));
    p.drawRect(4, 2, 8, 12);
    p.setPen(QColor(0xB0, 0xB0, 0xB8));
    for (int y = 3; y <= 12; y += 3) {
      p.drawLine(1, y, 3, y);
      p.drawLine(13, y, 15, y);
    }
    p.setPen(QColor(0xF0, 0xF0, 0xF0));
    p.drawPoint(6, 4);
  }
  return FinishPicture(image);
}

// ---- the status cells ----

QColor TmainFrm::VerdictColour(PortVerdict verdict) {
  switch (verdict) {
    // Told apart by lightness as well (grey values 223 and 140), for eyes that do not
    // tell red from green; black text reads on both.
    case PortVerdict::Passed:
      return QColor(0xCC, 0xF5, 0xC4);  // light green
    case PortVerdict::Failed:
      return QColor(0xE0, 0x60, 0x60);  // red, much darker than the green
    case PortVerdict::Unfinished:
    case PortVerdict::TemporaryMac:
      return QColor(0xFF, 0xDC, 0x80);  // amber
    case PortVerdict::Running:
      break;
  }
  return QColor();
}

QPixmap TmainFrm::VerdictMark(PortVerdict verdict, int size) {
  if (verdict == PortVerdict::Running || size <= 0) return QPixmap();
  QPixmap pixmap(size, size);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  p.scale(size / 24.0, size / 24.0);  // drawn on a 24 x 24 grid
  switch (verdict) {
    case PortVerdict::Passed:
      p.setPen(QPen(QColor(0x0A, 0x50, 0x16), 3.6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
      p.drawPolyline(QPolygonF{QPointF(4, 13), QPointF(9.5, 18.5), QPointF(20, 5.5)});
      break;
    case PortVerdict::Failed:
      p.setPen(QPen(QColor(0x50, 0x00, 0x00), 3.6, Qt::SolidLine, Qt::RoundCap));
      p.drawLine(QPointF(5, 5), QPointF(19, 19));
      p.drawLine(QPointF(19, 5), QPointF(5, 19));
      break;
    case PortVerdict::Unfinished:
      p.setPen(Qt::NoPen);
      p.setBrush(QColor(0x4A, 0x34, 0x00));
      p.drawRect(QRectF(6, 4, 4, 16));
      p.drawRect(QRectF(14, 4, 4, 16));
      break;
    case PortVerdict::TemporaryMac:  // "!": went through, but with no address of its own
      p.setPen(Qt::NoPen);
      p.setBrush(QColor(0x4A, 0x34, 0x00));
      p.drawRect(QRectF(10, 3, 4, 12));
      p.drawEllipse(QRectF(10, 17, 4, 4));
      break;
    case PortVerdict::Running:
      break;
  }
  return pixmap;
}

QString TmainFrm::FitCellText(const QFont& font, int width, const QString& text, QFont* fitted) {
  QFont f = font;
  // From the font as it is down to a condensed cut that still reads well.
  for (int stretch : {100, 90, 80, 72}) {
    f.setStretch(stretch);
    if (QFontMetrics(f).horizontalAdvance(text) <= width) {
      *fitted = f;
      return text;
    }
  }
  *fitted = f;
  return QFontMetrics(f).elidedText(text, Qt::ElideMiddle, width);
}

void TmainFrm::RefreshVerdict(int portIndex) {
  QTableWidgetItem* item = StatusGrid->item(portIndex / kStatusColumns, portIndex % kStatusColumns);
  if (item == nullptr) return;
  const PortVerdict verdict = logic_->Verdict(portIndex);
  const QColor colour = item->text().isEmpty() ? QColor() : VerdictColour(verdict);
  const QVariant now = item->data(Qt::BackgroundRole);
  if (!colour.isValid()) {
    if (now.isValid()) item->setData(Qt::BackgroundRole, QVariant());
    if (item->data(kVerdictRole).isValid()) item->setData(kVerdictRole, QVariant());
    return;
  }
  if (!now.isValid() || now.value<QBrush>().color() != colour) item->setBackground(colour);
  // Unchanged data are not stored again (no repaint).
  item->setData(kVerdictRole, static_cast<int>(verdict));
}

void TmainFrm::RefreshVerdicts() {
  if (!logic_) return;
  for (int k = 0; k < kStatusRows * kStatusColumns; ++k) RefreshVerdict(k);
}

void TmainFrm::UpdateControls() {
  if (!logic_) return;
  // Nothing to set up while a run is live (a stopped run included, until it has ended).
  selectFileBtn->setEnabled(!waitingForRun_ && !logic_->RunLive());
  // Serials are scanned while the run goes on (not once Stop was confirmed).
  const bool scanning =
      !waitingForRun_ && logic_->StartCaptionIsStop() && logic_->runJob().scanSerial;
  SetSerialScanning(scanning);
  if (scanning && logic_->dispatcher()) {
    // The run's ports, once its scan has found them.
    std::vector<std::string> names;
    for (int n : logic_->dispatcher()->PortNumbers()) names.push_back("COM" + std::to_string(n));
    SetSerialPorts(names);
  }
}

void TmainFrm::UpdateMode() {
  if (!logic_) return;
  StationMode mode = StationMode::Open;
  std::string text;
  Guarded([&] {
    mode = logic_->Mode();
    text = logic_->ModeText();
  });
  const QString shown = QString::fromStdString(text);
  if (Label_mode->text() != shown) {
    Label_mode->setText(shown);
    Label_mode->setToolTip(shown);  // whole, also when a long package name overflows
  }
  if (mode != shownMode_ || Label_mode->styleSheet().isEmpty()) {
    Label_mode->setStyleSheet(
        QLatin1String(mode == StationMode::Engineer ? kEngineerStyle : kProductionStyle));
  }
  shownMode_ = mode;
  Label_mode->setVisible(!shown.isEmpty());
  Btn_engineer->setText(
      QLatin1String(mode == StationMode::Engineer ? kLeaveEngineerText : kEnterEngineerText));
  Btn_engineer->setVisible(mode != StationMode::Open);
  Btn_engineer->setEnabled(!waitingForRun_);
}

void TmainFrm::RunTick() {
  RefreshVerdicts();
  UpdateControls();
  if (!logic_->RunLive()) runTimer_->stop();
}

// ---- creation ----

TmainFrm::TmainFrm(const std::string& dataDir, QWidget* parent)
    : TmainFrm(std::make_unique<QtUiThread>(), std::make_unique<QtMessageBoxes>(),
               PlatformServices{nullptr, &SystemClock(), &SystemSerialPorts(), &SystemNetwork()},
               nullptr, dataDir, nullptr, parent) {}

TmainFrm::TmainFrm(const PlatformServices& services, MessageBoxes& boxes,
                   const std::string& dataDir, WorkerFactory* workers, QWidget* parent)
    : TmainFrm(nullptr, nullptr, services, &boxes, dataDir, workers, parent) {}

TmainFrm::TmainFrm(std::unique_ptr<QtUiThread> ownUi, std::unique_ptr<QtMessageBoxes> ownBoxes,
                   PlatformServices services, MessageBoxes* boxes, const std::string& dataDir,
                   WorkerFactory* workers, QWidget* parent)
    : QWidget(parent),
      ownUi_(std::move(ownUi)),
      ownBoxes_(std::move(ownBoxes)),
      boxes_(boxes != nullptr ? *boxes : *ownBoxes_) {
  if (ownBoxes_) ownBoxes_->SetParent(this);
  if (services.ui == nullptr) services.ui = ownUi_.get();
  CreateControls();
  // The service reports what the window shows, and its commands take the window's path.
  service_ = std::make_unique<StationService>(*this, boxes_, *services.ui);
  logic_ = std::make_unique<MainLogic>(services, *service_, service_->Boxes(), dataDir);
  service_->Attach(*logic_, dataDir);
  if (workers != nullptr) logic_->SetWorkerFactory(workers);
  msgMemo->clear();
  ServiceConfig config;
  std::string error;
  if (!ServiceConfigFrom(logic_->settings(), dataDir, &config, &error)) {
    msgMemo->appendPlainText(QString::fromStdString(error));
  } else if (config.enabled && !service_->Start(config, &error)) {
    msgMemo->appendPlainText(QString::fromStdString(error));
  } else if (config.enabled) {
    msgMemo->appendPlainText(QString::fromStdString("Service: " + service_->Url()));
  }
  runTimer_ = new QTimer(this);
  runTimer_->setInterval(kRunTickMs);
  connect(runTimer_, &QTimer::timeout, this, &TmainFrm::RunTick);
  modeTimer_ = new QTimer(this);
  modeTimer_->setInterval(kModeTickMs);
  connect(modeTimer_, &QTimer::timeout, this, &TmainFrm::UpdateMode);
  modeTimer_->start();
  UpdateMode();
}

void TmainFrm::CreateControls() {
  setObjectName(QStringLiteral("mainFrm"));
  setWindowTitle(QLatin1String(kCaption));
  // The form's font; where it is not installed the nearest sans serif stands in.
  QFont font(QStringLiteral("MS Sans Serif"));
  font.setStyleHint(QFont::SansSerif);
  font.setPointSizeF(kFontPoints);
  setFont(font);

  startImageBtn = new QToolButton(this);
  startImageBtn->setObjectName(QStringLiteral("startImageBtn"));
  startImageBtn->setIcon(QIcon(StartPicture()));
  startImageBtn->setIconSize(QSize(40, 40));
  startImageBtn->hide();
  stopImageBtn = new QToolButton(this);
  stopImageBtn->setObjectName(QStringLiteral("stopImageBtn"));
  stopImageBtn->setIcon(QIcon(StopPicture()));
  stopImageBtn->setIconSize(QSize(32, 32));
  stopImageBtn->hide();

  StatusGrid = NewGrid(this, "StatusGrid", kStatusRows, kStatusColumns);
  MACGrid = NewGrid(this, "MACGrid", 2, 2);

  Btn_Start = new QToolButton(this);
  Btn_Start->setObjectName(QStringLiteral("Btn_Start"));
  Btn_Start->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
  SetStartButton(false);
  connect(Btn_Start, &QToolButton::clicked, this, &TmainFrm::Btn_StartClick);

  selectFileBtn =
      new QPushButton(QIcon(SelectFilesPicture()), QStringLiteral("Select Files"), this);
  selectFileBtn->setObjectName(QStringLiteral("selectFileBtn"));
  selectFileBtn->setIconSize(QSize(16, 16));
  connect(selectFileBtn, &QPushButton::clicked, this, &TmainFrm::selectFileBtnClick);

  EditorBtn = new QPushButton(QIcon(EditorPicture()), QStringLiteral("EEPROM Editor"), this);
  EditorBtn->setObjectName(QStringLiteral("EditorBtn"));
  EditorBtn->setIconSize(QSize(16, 16));
  EditorBtn->hide();
  connect(EditorBtn, &QPushButton::clicked, this, &TmainFrm::EditorBtnClick);

  msgMemo = new QPlainTextEdit(this);
  msgMemo->setObjectName(QStringLiteral("msgMemo"));
  msgMemo->setReadOnly(true);
  msgMemo->setLineWrapMode(QPlainTextEdit::NoWrap);
  msgMemo->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  msgMemo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  msgMemo->setMaximumBlockCount(kMemoMaxLines);

  // The scan field, under the buttons.
  Label_unitSerial = new QLabel(QStringLiteral("unit serial"), this);
  Label_unitSerial->setObjectName(QStringLiteral("Label_unitSerial"));
  Edit_serial = new QLineEdit(this);
  Edit_serial->setObjectName(QStringLiteral("Edit_serial"));
  // Long enough that an overlong scan reaches the check whole instead of being cut.
  Edit_serial->setMaxLength(256);
  Label_unitSerial->setBuddy(Edit_serial);
  connect(Edit_serial, &QLineEdit::returnPressed, this, &TmainFrm::Edit_serialReturnPressed);
  CmbBox_serialPort = new QComboBox(this);
  CmbBox_serialPort->setObjectName(QStringLiteral("CmbBox_serialPort"));
  CmbBox_serialPort->addItem(QLatin1String(kNextWaitingPort));
  CmbBox_serialPort->setFocusPolicy(Qt::ClickFocus);
  ChkBox_rework = new QCheckBox(QStringLiteral("rework"), this);
  ChkBox_rework->setObjectName(QStringLiteral("ChkBox_rework"));
  ChkBox_rework->setFocusPolicy(Qt::ClickFocus);
  Label_serial = new QLabel(this);
  Label_serial->setObjectName(QStringLiteral("Label_serial"));
  Label_serial->setWordWrap(true);
  Label_serial->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  Label_serial->setTextFormat(Qt::PlainText);
  SetSerialScanning(false);

  // The station's mode, beside Start; the engineer's button beside "Select Files".
  Label_mode = new QLabel(this);
  Label_mode->setObjectName(QStringLiteral("Label_mode"));
  Label_mode->setTextFormat(Qt::PlainText);
  Label_mode->setWordWrap(true);
  Label_mode->setAlignment(Qt::AlignCenter);
  Label_mode->hide();
  Btn_engineer = new QPushButton(QLatin1String(kEnterEngineerText), this);
  Btn_engineer->setObjectName(QStringLiteral("Btn_engineer"));
  Btn_engineer->hide();
  connect(Btn_engineer, &QPushButton::clicked, this, &TmainFrm::Btn_engineerClick);

  // The form fits its contents at 777 x 568, its size at start and its least; it may
  // grow (a maximised board on a bench monitor).
  setMinimumSize(kFormWidth, kFormHeight);
  resize(kFormWidth, kFormHeight);
  LayOut();
}

void TmainFrm::LayOut() {
  // Lengths across scale with the width, lengths down with the height, both rounded
  // from the start layout, which they give back exactly at the start size. Texts grow
  // with the smaller of the two, so that they still fit their cells.
  const double sx = std::max(1.0, width() / static_cast<double>(kFormWidth));
  const double sy = std::max(1.0, height() / static_cast<double>(kFormHeight));
  const auto x = [sx](int v) { return qRound(v * sx); };
  const auto y = [sy](int v) { return qRound(v * sy); };
  QFont scaled = font();
  scaled.setPointSizeF(kFontPoints * std::min(sx, sy));

  const auto size = [&](QTableWidget* grid, std::initializer_list<int> columnWidths) {
    grid->setFont(scaled);
    int c = 0;
    for (int w : columnWidths) grid->setColumnWidth(c++, x(w));
    grid->verticalHeader()->setDefaultSectionSize(y(kRowHeight));
    for (int r = 0; r < grid->rowCount(); ++r) grid->setRowHeight(r, y(kRowHeight));
    FitGrid(grid);
  };
  size(StatusGrid, {kStatusColumnWidth, kStatusColumnWidth});
  StatusGrid->move(x(8), y(8));
  size(MACGrid, {kMacColumn0Width, kMacColumn1Width});
  MACGrid->move(x(8), StatusGrid->geometry().bottom() + y(9));

  // The buttons keep their size and spacing and stay beside the port grid.
  const int right = StatusGrid->geometry().right() + x(17);
  Btn_Start->setGeometry(right, y(8), 100, 90);
  selectFileBtn->setGeometry(right, Btn_Start->geometry().bottom() + 13, 120, 30);
  EditorBtn->setGeometry(right, selectFileBtn->geometry().bottom() + 9, 120, 30);

  // The scan field fills the rest of the column down to the log; its texts grow with
  // the grids', so that a refusal reads from afar too.
  for (QWidget* c : std::initializer_list<QWidget*>{Label_unitSerial, Edit_serial,
                                                    CmbBox_serialPort, ChkBox_rework, Label_serial})
    c->setFont(scaled);
  const int fieldWidth = width() - x(8) - right;
  const int rowHeight = y(22);
  const int labelWidth = Label_unitSerial->sizeHint().width() + 6;
  int top = EditorBtn->geometry().bottom() + 9;
  Label_unitSerial->setGeometry(right, top, labelWidth, rowHeight);
  Edit_serial->setGeometry(right + labelWidth, top, fieldWidth - labelWidth, rowHeight);
  top += rowHeight + 4;
  const int reworkWidth = ChkBox_rework->sizeHint().width();
  CmbBox_serialPort->setGeometry(right, top, fieldWidth - reworkWidth - 8, rowHeight);
  ChkBox_rework->setGeometry(right + fieldWidth - reworkWidth, top, reworkWidth, rowHeight);
  top += rowHeight + 4;

  // The mode label fills the column beside Start; its text grows as the grids' does.
  Label_mode->setFont(scaled);
  Btn_engineer->setFont(scaled);
  const int besideStart = Btn_Start->geometry().right() + 9;
  Label_mode->setGeometry(besideStart, Btn_Start->y(), right + fieldWidth - besideStart,
                          Btn_Start->height());
  const int besideSelect = selectFileBtn->geometry().right() + 9;
  Btn_engineer->setGeometry(besideSelect, selectFileBtn->y(), right + fieldWidth - besideSelect,
                            selectFileBtn->height());

  msgMemo->setFont(scaled);
  const int memoTop = MACGrid->geometry().bottom() + y(9);
  msgMemo->setGeometry(x(8), memoTop, width() - 2 * x(8), height() - y(8) - memoTop);
  Label_serial->setGeometry(right, top, fieldWidth, std::max(16, memoTop - 4 - top));
}

void TmainFrm::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  LayOut();
}

TmainFrm::~TmainFrm() {
  // A window that goes without being closed still never leaves threads behind.
  if (!formClosed_ && logic_) {
    WaitForRunToEnd();
    service_->Stop();
    Guarded([this] { logic_->FormClose(); });
    formClosed_ = true;
  }
  service_->Stop();
  logic_.reset();
}

// ---- Board ----

void TmainFrm::ShowPortStatus(int portIndex, const std::string& text) {
  if (portIndex < 0 || portIndex >= kStatusRows * kStatusColumns) return;
  SetCell(StatusGrid, portIndex / kStatusColumns, portIndex % kStatusColumns, text);
  if (logic_) RefreshVerdict(portIndex);
}

void TmainFrm::SetMacGridCell(int row, int column, const std::string& text) {
  SetCell(MACGrid, row, column, text);
}

void TmainFrm::AppendMessage(const std::string& text) {
  msgMemo->appendPlainText(BoxText(text));
}

void TmainFrm::ClearMessages() {
  msgMemo->clear();
}

void TmainFrm::ClearStatusGrid() {
  for (int r = 0; r < StatusGrid->rowCount(); ++r)
    for (int c = 0; c < StatusGrid->columnCount(); ++c) {
      SetCell(StatusGrid, r, c, std::string());
      StatusGrid->item(r, c)->setData(Qt::BackgroundRole, QVariant());
      StatusGrid->item(r, c)->setData(kVerdictRole, QVariant());
    }
}

void TmainFrm::ShowException(const std::string& message) {
  // The standard exception box: the program's name as caption, the fault's text.
  const QByteArray name = QCoreApplication::applicationName().toLatin1();
  boxes_.Show(name.isEmpty() ? std::string("Production Tool") : name.toStdString(), message,
              BoxButtons::Ok, BoxIcon::Stop);
}

void TmainFrm::SetStartButton(bool running) {
  const QToolButton* source = running ? stopImageBtn : startImageBtn;
  Btn_Start->setText(running ? QStringLiteral("Stop") : QStringLiteral("Start"));
  Btn_Start->setIcon(source->icon());
  Btn_Start->setIconSize(source->iconSize());
  if (!logic_) return;  // while the window is being created
  // The cells' colours and "Select Files" follow the run until it has ended.
  if (logic_->RunLive()) runTimer_->start();
  RefreshVerdicts();
  UpdateControls();
}

void TmainFrm::DispatcherEnded() {
  // The dispatcher's thread is still inside this call: release it later, from the
  // event loop, once the call has returned.
  QTimer::singleShot(0, this, [this] {
    if (!logic_) return;
    logic_->ReleaseEndedDispatcher();
    RefreshVerdicts();
    UpdateControls();
  });
}

// ---- event handlers ----

void TmainFrm::Guarded(const std::function<void()>& handler) {
  try {
    handler();
  } catch (const std::exception& e) {
    ShowException(e.what());
  }
}

void TmainFrm::selectFileBtnClick() {
  if (jobDialog_ == nullptr || waitingForRun_) return;
  Guarded([this] { logic_->selectFileBtnClick(*jobDialog_); });
  UpdateMode();
}

void TmainFrm::Btn_StartClick() {
  if (waitingForRun_) return;
  Guarded([this] { logic_->Btn_StartClick(); });
  UpdateMode();
}

void TmainFrm::Btn_engineerClick() {
  if (waitingForRun_ || !logic_) return;
  StationMode mode = StationMode::Open;
  Guarded([&] { mode = logic_->Mode(); });
  // What the button said when it was clicked counts: "Leave engineer mode" clicked just
  // as the time ran out asks for no password.
  if (shownMode_ == StationMode::Engineer) {
    if (mode == StationMode::Engineer) Guarded([this] { logic_->LeaveEngineerMode("window"); });
  } else if (mode == StationMode::Production) {
    QInputDialog prompt(this);
    prompt.setObjectName(QStringLiteral("passwordPrompt"));
    prompt.setWindowTitle(QLatin1String(kEnterEngineerText).chopped(3));
    prompt.setLabelText(QStringLiteral("Engineer's password:"));
    prompt.setTextEchoMode(QLineEdit::Password);
    prompt.setInputMethodHints(Qt::ImhHiddenText | Qt::ImhSensitiveData | Qt::ImhNoPredictiveText);
    if (prompt.exec() == QDialog::Accepted) {
      std::string password = prompt.textValue().toUtf8().toStdString();
      prompt.setTextValue(QString());
      bool entered = false;
      std::string text;
      // The password's check takes a noticeable moment of processor time.
      QApplication::setOverrideCursor(Qt::WaitCursor);
      Guarded([&] { entered = logic_->EnterEngineerMode(password, "window", &text); });
      QApplication::restoreOverrideCursor();
      std::fill(password.begin(), password.end(), '\0');
      if (!entered) ShowError(logic_->boxes(), text);
    }
  }
  UpdateMode();
}

void TmainFrm::EditorBtnClick() {
  if (!editorHook_ || waitingForRun_) return;
  Guarded([this] { editorHook_(); });
}

// ---- the scan field ----

void TmainFrm::SetSerialPorts(const std::vector<std::string>& ports) {
  // Unchanged: left alone (the operator may have the list open).
  bool same = CmbBox_serialPort->count() == static_cast<int>(ports.size()) + 1;
  for (size_t i = 0; same && i < ports.size(); i++) {
    same = CmbBox_serialPort->itemText(static_cast<int>(i) + 1) == Latin1(ports[i]);
  }
  if (same) return;
  const QString chosen = CmbBox_serialPort->currentText();
  CmbBox_serialPort->clear();
  CmbBox_serialPort->addItem(QLatin1String(kNextWaitingPort));
  for (const std::string& p : ports) CmbBox_serialPort->addItem(Latin1(p));
  const int keep = CmbBox_serialPort->findText(chosen, Qt::MatchExactly);
  CmbBox_serialPort->setCurrentIndex(keep > 0 ? keep : 0);
}

void TmainFrm::SetSerialScanning(bool on) {
  if (Edit_serial->isEnabled() == on && CmbBox_serialPort->isEnabled() == on) return;
  for (QWidget* w : std::initializer_list<QWidget*>{Label_unitSerial, Edit_serial,
                                                    CmbBox_serialPort, ChkBox_rework})
    w->setEnabled(on);
  if (!on) {
    Edit_serial->clear();
    ChkBox_rework->setChecked(false);
    Label_serial->clear();
  } else {
    Edit_serial->setFocus();  // ready for the first scan
  }
}

void TmainFrm::Edit_serialReturnPressed() {
  if (!Edit_serial->isEnabled() || !logic_) return;
  const std::string serial = Edit_serial->text().toUtf8().toStdString();
  if (serial.empty()) return;  // an Enter alone is no scan
  const std::string port = CmbBox_serialPort->currentIndex() > 0
                               ? CmbBox_serialPort->currentText().toStdString()
                               : std::string();
  bool ok = false;
  std::string answer;
  Guarded([&] { answer = logic_->BindSerial(port, serial, ChkBox_rework->isChecked(), &ok); });
  Label_serial->setText(QString::fromStdString(answer));
  Label_serial->setStyleSheet(ok ? QString()
                                 : QStringLiteral("color: #B00000; font-weight: bold;"));
  if (ok) {
    // Ready for the next unit: rework is asked for each unit anew.
    Edit_serial->clear();
    ChkBox_rework->setChecked(false);
  } else {
    // The refused scan stays selected, so the next scan replaces it.
    Edit_serial->selectAll();
  }
}

bool TmainFrm::WaitForRunToEnd() {
  if (waitingForRun_) return false;
  if (logic_->CanClose() && !logic_->DispatcherBusy()) return true;
  waitingForRun_ = true;
  Btn_Start->setEnabled(false);
  selectFileBtn->setEnabled(false);
  EditorBtn->setEnabled(false);
  Btn_engineer->setEnabled(false);
  logic_->RequestClose();
  // The workers and the dispatcher report to this window through the event loop while
  // they wind down, so it keeps running until they are gone.
  RefreshVerdicts();
  while (!logic_->CanClose()) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    QThread::msleep(2);
  }
  QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  waitingForRun_ = false;
  return true;
}

void TmainFrm::closeEvent(QCloseEvent* event) {
  if (formClosed_) {
    event->accept();
    return;
  }
  if (waitingForRun_ || askingClose_) {
    event->ignore();  // already closing or asking; the first close finishes the job
    return;
  }
  if (!closeConfirmed_) {
    // During a run the operator is asked first, as by Stop; No keeps the run going.
    askingClose_ = true;
    bool close = false;
    Guarded([&] { close = logic_->ConfirmClose(); });
    askingClose_ = false;
    if (!close && !closeConfirmed_) {
      event->ignore();
      return;
    }
  }
  WaitForRunToEnd();
  service_->Stop();
  Guarded([this] { logic_->FormClose(); });
  formClosed_ = true;
  event->accept();
  emit formClosed();
}
