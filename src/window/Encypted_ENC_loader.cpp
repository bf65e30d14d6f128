// SPDX-License-Identifier: Apache-2.0
#include "window/Encypted_ENC_loader.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFile>
#include <QFileDialog>
#include <QFrame>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QSignalBlocker>
#include <QTimer>
#include <algorithm>
#include <exception>
#include <vector>

#include "link/ReceiveBuffer.h"
#include "link/UdpLink.h"
#include "platform/AlsaTone.h"
#include "platform/PosixFileSystem.h"
#include "platform/SystemClock.h"
#include "recording/WindowRecording.h"
#include "settings/HistorySetting.h"
#include "settings/SettingsFile.h"
#include "settings/TargetAddress.h"
#include "uvq/Version.h"
#include "window/ErrorText.h"
#include "window/MemoLog.h"
#include "window/QtSharedTimer.h"
#include "window/TCRecvThread.h"
#include "window/WidgetControls.h"
#include "window/WindowUnitGuard.h"

namespace uvq::window {
namespace {

constexpr QSize kClientSize(399, 527);
constexpr QPoint kDesignedPosition(961, 91);

template <class W>
W* Place(QWidget* parent, const char* name, int left, int top, int width, int height) {
  auto* widget = new W(parent);
  widget->setObjectName(QString::fromLatin1(name));
  widget->setGeometry(left, top, width, height);
  return widget;
}

QPushButton* Button(QWidget* parent, const char* name, const char* caption, int left, int top,
                    int width, int height) {
  auto* button = Place<QPushButton>(parent, name, left, top, width, height);
  button->setText(QString::fromLatin1(caption));
  button->setAutoDefault(false);
  return button;
}

QCheckBox* CheckBox(QWidget* parent, const char* name, const char* caption, int left, int top,
                    int width, int height) {
  auto* box = Place<QCheckBox>(parent, name, left, top, width, height);
  box->setText(QString::fromLatin1(caption));
  return box;
}

QString FromUtf8(const std::string& text) {
  return QString::fromUtf8(text.data(), text.size());
}

// The service's way out: the UDP link once it is open. Without a socket (none could be had at
// start-up, which was shown then) every send fails with the reason.
class SendSide final : public uvq::Link {
 public:
  SendSide(std::unique_ptr<uvq::link::UdpLink>& link, std::string& whyNone)
      : link_(link), whyNone_(whyNone) {}
  void sendDatagram(std::span<const uint8_t> bytes) override {
    if (!link_) throw uvq::PlatformError("No socket: " + whyNone_);
    link_->sendDatagram(bytes);
  }

 private:
  std::unique_ptr<uvq::link::UdpLink>& link_;
  std::string& whyNone_;
};

}  // namespace

TForm1::TForm1(FormOptions options, QWidget* parent)
    : QWidget(parent), options_(std::move(options)) {
  setObjectName(QStringLiteral("Form1"));
  setWindowTitle(QStringLiteral("Encrypted Ethernet Loader Utility"));
  QFont font(QStringLiteral("MS Sans Serif"), 8);
  font.setStyleHint(QFont::SansSerif);
  setFont(font);

  CreateControls();
  ChainTabOrder();
  PlaceWindow();
  BindPorts();
  ConnectHandlers();
  FormCreate();
}

TForm1::~TForm1() {
  if (receiveThread_) receiveThread_->stopAndWait();
  Timer1->stop();
  // The widgets outlive the service: they go with the QWidget base, and closing it moves the
  // focus, which makes the selector report a pick. Nothing they signal may reach the service now.
  for (QObject* child : findChildren<QObject*>()) disconnect(child, nullptr, this, nullptr);
  if (service_) service_->registry().selector().onChanged = nullptr;
}

uint16_t TForm1::localPort() const {
  return link_ ? link_->localPort() : 0;
}

void TForm1::CreateControls() {
  auto* panel2 = Place<QFrame>(this, "Panel2", 6, 6, 385, 515);
  panel2->setFrameStyle(QFrame::Panel | QFrame::Raised);
  Panel2 = panel2;
  EIPAddr = Place<QLineEdit>(this, "EIPAddr", 152, 624, 129, 21);

  auto* panel3 = Place<QFrame>(Panel2, "Panel3", 8, 8, 369, 41);
  panel3->setFrameStyle(QFrame::Box | QFrame::Raised);  // raised outside, sunken inside
  Panel3 = panel3;
  ESource = Place<QLineEdit>(Panel3, "ESource", 40, 8, 321, 21);
  BSource = Button(Panel3, "BSource", "File", 7, 10, 26, 17);

  BProgram = Button(Panel2, "BProgram", "Program", 108, 322, 84, 25);
  BErase = Button(Panel2, "BErase", "Erase", 8, 56, 80, 25);
  BEraseEE = Button(Panel2, "BEraseEE", "Erase Data", 104, 56, 80, 25);
  BErasePRG = Button(Panel2, "BErasePRG", "Erase Program", 200, 56, 80, 25);

  Memo1 = Place<QPlainTextEdit>(Panel2, "Memo1", 8, 56, 369, 257);
  Memo1->setReadOnly(true);
  Memo1->setFocusPolicy(Qt::StrongFocus);
  Memo1->setTabChangesFocus(true);
  Memo1->setUndoRedoEnabled(false);  // lines removed from the top must not pile up as undo data
  Memo1->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  Memo1->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
  Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  Memo1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  QFont memoFont(QStringLiteral("Courier"));
  memoFont.setStyleHint(QFont::TypeWriter);
  memoFont.setPixelSize(11);
  Memo1->setFont(memoFont);

  auto* groupBox1 = Place<QGroupBox>(Panel2, "GroupBox1", 8, 576, 369, 73);
  groupBox1->setTitle(QStringLiteral(" Configure UVQ "));
  GroupBox1 = groupBox1;
  CBIPaddr = CheckBox(GroupBox1, "CBIPaddr", "Modify IP Address", 8, 50, 113, 17);
  BUpdateUVQ = Button(GroupBox1, "BUpdateUVQ", "Update", 304, 48, 49, 21);
  CUVQselect = Place<QComboBox>(GroupBox1, "CUVQselect", 120, 14, 225, 21);
  CUVQselect->setEditable(true);
  // Items come from the service's selector, which keeps them sorted; typing never adds one.
  CUVQselect->setInsertPolicy(QComboBox::NoInsert);
  // What the operator types is the selection as it stands: an inline completion would show one
  // unit's ID while the service holds the typed text, and select it on leaving the field.
  CUVQselect->setCompleter(nullptr);

  BLDR_Mode = Button(Panel2, "BLDR_Mode", "Capture", 16, 322, 84, 25);
  StopCapture = Button(Panel2, "StopCapture", "Stop Capture", 16, 354, 84, 25);
  BResetUVQ = Button(Panel2, "BResetUVQ", "Reset UVQ", 197, 320, 84, 25);
  CheckBox1 = CheckBox(Panel2, "CheckBox1", "Beep ", 208, 376, 57, 17);
  CheckBox2 = CheckBox(Panel2, "CheckBox2", "Auto Reset", 208, 352, 81, 17);
  CapturewCode = Button(Panel2, "CapturewCode", "Live Reboot", 16, 416, 84, 25);
  Edit1 = Place<QLineEdit>(Panel2, "Edit1", 112, 417, 177, 21);
  Button1 = Button(Panel2, "Button1", "Clear  Window", 108, 354, 84, 25);
  Button2 = Button(Panel2, "Button2", "Clear UVQ", 288, 320, 84, 25);
  Locate = Button(Panel2, "Locate", "Locate New", 293, 378, 84, 25);

  static const char* const kPartNames[4] = {"EdIP1", "EdIP2", "EdIP3", "EdIP4"};
  static const char* const kPlusNames[4] = {"Button3", "Button4", "Button5", "Button6"};
  static const char* const kMinusNames[4] = {"Button7", "Button8", "Button9", "Button10"};
  for (int i = 0; i < 4; ++i)
    EdIP[i] = Place<QLineEdit>(Panel2, kPartNames[i], 24 + 64 * i, 456, 57, 21);
  for (int i = 0; i < 4; ++i)
    PlusButtons[i] = Button(Panel2, kPlusNames[i], "+", 24 + 64 * i, 480, 25, 25);
  QFont minusFont = font();
  minusFont.setPixelSize(13);
  for (int i = 0; i < 4; ++i) {
    MinusButtons[i] = Button(Panel2, kMinusNames[i], "-", 56 + 64 * i, 480, 25, 25);
    MinusButtons[i]->setFont(minusFont);
  }
  Button11 = Button(Panel2, "Button11", "Update", 280, 480, 49, 25);
  Edit3 = Place<QLineEdit>(Panel2, "Edit3", 280, 456, 89, 21);
  QPalette light = Edit3->palette();
  for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
    light.setColor(group, QPalette::Base, light.color(QPalette::Active, QPalette::Midlight));
  Edit3->setPalette(light);
  CheckBox3 = CheckBox(Panel2, "CheckBox3", "Auto Clear", 296, 352, 81, 17);

  auto* label3 = Place<QLabel>(Panel2, "Label3", 280, 440, 71, 13);
  label3->setText(QStringLiteral("Target address"));
  auto* label4 = Place<QLabel>(Panel2, "Label4", 16, 400, 279, 13);
  label4->setText(QStringLiteral("If Unit  Supports  Live Reboot to Loader with Access Code "));
  label4->setWordWrap(true);
  label4->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  label3->setAlignment(Qt::AlignLeft | Qt::AlignTop);

  // States at start. The erase buttons sit behind the log and are reached by keyboard only.
  for (QWidget* w :
       std::initializer_list<QWidget*>{BProgram, BErase, BEraseEE, BErasePRG, CBIPaddr, BUpdateUVQ,
                                       StopCapture, BResetUVQ, Edit3, EIPAddr})
    w->setEnabled(false);
  CheckBox1->setChecked(true);
  CheckBox2->setChecked(true);
  CheckBox3->setChecked(true);
  Locate->setVisible(false);

  Timer1 = new QTimer(this);
  Timer1->setObjectName(QStringLiteral("Timer1"));

  OpenDialog1 = new QFileDialog(this);
  OpenDialog1->setObjectName(QStringLiteral("OpenDialog1"));
  OpenDialog1->setAcceptMode(QFileDialog::AcceptOpen);
  // A typed name of a file that does not exist is accepted; opening it is the service's business.
  OpenDialog1->setFileMode(QFileDialog::AnyFile);
  OpenDialog1->setNameFilter(QStringLiteral("*.cry"));
  OpenDialog1->setDefaultSuffix(QStringLiteral("cry"));
}

void TForm1::ChainTabOrder() {
  std::vector<QWidget*> order{ESource,      BSource,     BProgram,  BErase,     BEraseEE,
                              BErasePRG,    Memo1,       CBIPaddr,  BUpdateUVQ, CUVQselect,
                              BLDR_Mode,    StopCapture, BResetUVQ, CheckBox1,  CheckBox2,
                              CapturewCode, Edit1,       Button1,   Button2,    Locate};
  order.insert(order.end(), std::begin(EdIP), std::end(EdIP));
  order.insert(order.end(), std::begin(PlusButtons), std::end(PlusButtons));
  order.insert(order.end(), std::begin(MinusButtons), std::end(MinusButtons));
  order.insert(order.end(), {Button11, Edit3, CheckBox3, EIPAddr});
  for (size_t i = 1; i < order.size(); ++i) QWidget::setTabOrder(order[i - 1], order[i]);
}

void TForm1::PlaceWindow() {
  resize(kClientSize);
  QRect wanted(kDesignedPosition, kClientSize);
  QScreen* screen = QGuiApplication::screenAt(kDesignedPosition);
  if (!screen) screen = QGuiApplication::primaryScreen();
  if (screen) {
    // A smaller or differently arranged desktop must not leave the window out of reach.
    const QRect desk = screen->availableGeometry();
    if (!desk.contains(wanted)) {
      wanted.moveLeft(std::clamp(wanted.left(), desk.left(),
                                 std::max(desk.left(), desk.right() + 1 - wanted.width())));
      wanted.moveTop(std::clamp(wanted.top(), desk.top(),
                                std::max(desk.top(), desk.bottom() + 1 - wanted.height())));
    }
  }
  move(wanted.topLeft());
}

void TForm1::BindPorts() {
  sendSide_ = std::make_unique<SendSide>(link_, noLinkReason_);

  controls_ = std::make_unique<WidgetControls>();
  using uvq::presenter::ControlId;
  const std::pair<ControlId, QWidget*> bindings[] = {
      {ControlId::Locate, Locate},
      {ControlId::BLDR_Mode, BLDR_Mode},
      {ControlId::StopCapture, StopCapture},
      {ControlId::CapturewCode, CapturewCode},
      {ControlId::BResetUVQ, BResetUVQ},
      {ControlId::BProgram, BProgram},
      {ControlId::CBIPaddr, CBIPaddr},
      {ControlId::EIPAddr, EIPAddr},
      {ControlId::BUpdateUVQ, BUpdateUVQ},
      {ControlId::BErase, BErase},
      {ControlId::BEraseEE, BEraseEE},
      {ControlId::BErasePRG, BErasePRG},
      {ControlId::CheckBox1, CheckBox1},
      {ControlId::CheckBox2, CheckBox2},
      {ControlId::CheckBox3, CheckBox3},
      {ControlId::ESource, ESource},
      {ControlId::Form, this},
  };
  for (const auto& [id, widget] : bindings) controls_->bind(id, widget);

  log_ = std::make_unique<MemoLog>(*Memo1);
  sharedTimer_ = std::make_unique<QtSharedTimer>(*Timer1, [this](uvq::TimerRole role) {
    Guarded([this, role] { presenter_->TimerTick(role); });
  });

  uvq::Tone* tone = options_.tone;
  if (!tone) tone = (ownTone_ = std::make_unique<uvq::platform::AlsaTone>()).get();
  uvq::Clock* clock = options_.clock;
  if (!clock) clock = (ownClock_ = std::make_unique<uvq::platform::SystemClock>()).get();
  uvq::FileSystem* files = options_.files;
  if (!files) files = (ownFiles_ = std::make_unique<uvq::platform::PosixFileSystem>()).get();

  service_ = std::make_unique<uvq::LoaderService>(
      uvq::ServicePorts{*sendSide_, *log_, *sharedTimer_, *clock, *tone, *files});
  presenter_ = std::make_unique<uvq::presenter::WindowPresenter>(*service_, *controls_, *log_);
  unitGuard_ = std::make_unique<WindowUnitGuard>([this] { return link_ ? link_->host() : ""; });
  presenter_->setUnitGuard(unitGuard_.get());
  service_->registry().selector().onChanged = [this] { MirrorSelector(); };
}

void TForm1::ConnectHandlers() {
  auto onClick = [this](QAbstractButton* button, auto handler) {
    connect(button, &QAbstractButton::clicked, this, [this, handler] { Guarded(handler); });
  };
  uvq::presenter::WindowPresenter& p = *presenter_;
  // The dialog is shown before the presenter hears of the click, so no reply or timer tick is
  // handled half-way through it.
  onClick(BSource, [this, &p] { p.BSourceClick(ChooseSourceFile()); });
  onClick(BProgram, [&p] { p.BProgramClick(); });
  onClick(BErase, [&p] { p.BEraseClick(); });
  onClick(BEraseEE, [&p] { p.BEraseEEClick(); });
  onClick(BErasePRG, [&p] { p.BErasePRGClick(); });
  onClick(BResetUVQ, [&p] { p.BResetUVQClick(); });
  onClick(Button2, [&p] { p.Button2Click(); });
  onClick(CBIPaddr, [&p] { p.CBIPaddrClick(); });
  onClick(BUpdateUVQ, [&p] { p.BUpdateUVQClick(); });
  onClick(BLDR_Mode, [&p] { p.BLDR_ModeClick(); });
  onClick(StopCapture, [&p] { p.StopCaptureClick(); });
  onClick(CapturewCode, [this, &p] { p.CapturewCodeClick(Edit1->text().toStdString()); });
  onClick(Locate, [&p] { p.LocateClick(); });
  onClick(Button1, [this] { log_->clear(); });  // Button1Click: the log only
  for (int i = 0; i < 4; ++i) {
    QLineEdit* part = EdIP[i];
    onClick(PlusButtons[i], [this, part] { StepTargetPart(part, true); });
    onClick(MinusButtons[i], [this, part] { StepTargetPart(part, false); });
  }
  onClick(Button11, [this] { ApplyTargetAddress(); });

  // Arrow keys raise `activated` too, so keyboard picks count like mouse picks.
  connect(CUVQselect, &QComboBox::activated, this,
          [this](int index) { Guarded([this, index] { SelectorPicked(index); }); });
  connect(CUVQselect->lineEdit(), &QLineEdit::textEdited, this,
          [this](const QString& text) { Guarded([this, text] { SelectorEdited(text); }); });
}

void TForm1::FormCreate() {
  // Each step runs on its own, so one failing step is reported and the window still comes up
  // whole: above all, the receive thread still starts. The service starts outside loader mode.
  std::string address;
  std::optional<std::string> settingsNotice;
  Guarded([&] {
    if (options_.targetHost) {
      address = *options_.targetHost;
      return;
    }
    const uvq::settings::TargetSetting setting = uvq::settings::ReadTargetSetting(
        options_.executablePath.value_or(uvq::settings::ExecutablePath()));
    address = setting.address;
    // A file that names no address (unreadable, not text) leaves the default: said once.
    settingsNotice = uvq::settings::TargetSettingNotice(setting);
  });
  Guarded([&] { OpenLink(); });
  Guarded([&] {
    if (!link_) return;
    link_->setHost(address);
    link_->setPort(kUnitPort);
    link_->setReceiveTimeout(kReceiveTimeoutMs);
    uvq::link::EnlargeReceiveBuffer(link_->socketHandle(), kReceiveBufferBytes);
  });
  Guarded([&] {
    log_->clear();
    if (settingsNotice) log_->addLogLine(*settingsNotice);
  });
  Guarded([&] { StartRecording(); });
  Guarded([&] { setWindowTitle(QString::fromLatin1(kCaption)); });
  Guarded([&] { Edit3->setText(FromUtf8(link_ ? link_->host() : address)); });
  Guarded([&] {
    const uvq::settings::AddressParts parts = uvq::settings::SplitAddress(address);
    for (int i = 0; i < 4; ++i)
      if (parts[static_cast<size_t>(i)]) EdIP[i]->setText(FromUtf8(*parts[static_cast<size_t>(i)]));
  });
  // The service's start-up empties the selector and the IP display and applies the busy state.
  Guarded([&] { presenter_->FormCreate(); });
  Guarded([&] {
    if (!link_) return;  // nothing to receive from
    receiveThread_ = std::make_unique<TCRecvThread>(
        *link_, this,
        // A failure while a reply is handled goes back to the receive thread, which logs it
        // in one line and keeps receiving: no error box for what arrives from the network.
        [this](std::span<const uint8_t> datagram, std::optional<uvq::protocol::Ipv4Bytes> from) {
          presenter_->ProcessStatusReply(datagram, OriginOf(from));
        },
        [this](const std::string& line) { log_->addLogLine(line); });
    receiveThread_->start();
  });
}

// Where a reply came from beside where the records go, for the service's rule during a run.
std::optional<uvq::DatagramOrigin> TForm1::OriginOf(
    const std::optional<uvq::protocol::Ipv4Bytes>& sender) const {
  if (!sender || !link_) return std::nullopt;
  const std::optional<uvq::protocol::Ipv4Bytes> target = link_->lastDestination();
  if (!target) return std::nullopt;
  return uvq::DatagramOrigin{*sender, *target};
}

// A socket that cannot be had is a start-up failure like any other: shown, and the window still
// opens; sends then fail with the reason.
void TForm1::OpenLink() {
  try {
    link_ = options_.openLink ? options_.openLink() : std::make_unique<uvq::link::UdpLink>();
  } catch (const std::exception& error) {
    noLinkReason_ = error.what();
    throw;
  }
}

// The history listens to the service; the log hears of it only when recording fails.
void TForm1::StartRecording() {
  const std::string db =
      options_.historyDb ? *options_.historyDb
                         : uvq::recording::WindowHistorySetting(uvq::settings::ReadHistoryDbSetting(
                               options_.executablePath.value_or(uvq::settings::ExecutablePath())));
  recording_ =
      std::make_unique<uvq::recording::WindowRecording>(uvq::recording::WindowRecording::Setup{
          db, *service_, [this] { return link_ ? link_->host() : std::string(); },
          [this](const std::string& line) { log_->addLogLine(line); }, uvq::kVersion});
}

void TForm1::closeEvent(QCloseEvent* event) {
  // FormClose: end reception first; a reply already handed over is still dealt with.
  if (receiveThread_) receiveThread_->stopAndWait();
  event->accept();
}

void TForm1::Guarded(const std::function<void()>& handler) {
  try {
    handler();
  } catch (const std::exception& error) {
    ShowError(error.what());
  } catch (...) {
    ShowError("Unknown error");
  }
}

void TForm1::ShowError(const std::string& message) {
  const QString text = FromUtf8(WithFullStop(message));
  // Opened, not executed: the box is modal to the operator but does not hold up the service's
  // thread, so replies and ticks keep being handled while it is shown.
  auto* box = new QMessageBox(QMessageBox::Critical, QString::fromLatin1(kApplicationTitle), text,
                              QMessageBox::Ok, this);
  box->setObjectName(QStringLiteral("ErrorBox"));
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setWindowModality(Qt::ApplicationModal);
  box->open();
  emit errorShown(text);
}

std::optional<std::string> TForm1::ChooseSourceFile() {
  if (options_.chooseFile) return options_.chooseFile();
  const int answer = OpenDialog1->exec();
  // The name field's completion list can outlive the dialog when the name was typed and
  // confirmed with Enter; open, it would swallow the operator's next click in the window.
  if (QWidget* popup = QApplication::activePopupWidget()) popup->close();
  if (answer != QDialog::Accepted) return std::nullopt;
  const QStringList chosen = OpenDialog1->selectedFiles();
  if (chosen.isEmpty()) return std::nullopt;
  // The service opens the name with the system's calls: hand it over in the file-name encoding.
  return QFile::encodeName(chosen.first()).toStdString();
}

void TForm1::MirrorSelector() {
  const uvq::units::Selector& selector = service_->registry().selector();
  const QSignalBlocker block(CUVQselect);
  QStringList items;
  for (const std::string& item : selector.items()) items << FromUtf8(item);
  bool same = CUVQselect->count() == items.size();
  for (int i = 0; same && i < items.size(); ++i) same = CUVQselect->itemText(i) == items[i];
  if (!same) {
    CUVQselect->clear();
    CUVQselect->addItems(items);
  }
  if (CUVQselect->currentIndex() != selector.currentIndex())
    CUVQselect->setCurrentIndex(selector.currentIndex());
  // Left alone when unchanged, so the operator's cursor does not jump while typing.
  const QString text = FromUtf8(selector.text());
  if (CUVQselect->currentText() != text) CUVQselect->setEditText(text);
}

void TForm1::SelectorPicked(int index) {
  presenter_->CUVQselectPick(index);
}

void TForm1::SelectorEdited(const QString& text) {
  presenter_->CUVQselectChange(text.toStdString());
}

void TForm1::StepTargetPart(QLineEdit* part, bool up) {
  const uvq::settings::PartStep step = uvq::settings::StepPart(part->text().toStdString(), up);
  if (!step.value) {
    ShowError(step.error);  // the part keeps its text; nothing is applied
    return;
  }
  part->setText(FromUtf8(*step.value));
  ApplyTargetAddress();
}

void TForm1::ApplyTargetAddress() {
  const std::string address =
      uvq::settings::JoinAddress(EdIP[0]->text().toStdString(), EdIP[1]->text().toStdString(),
                                 EdIP[2]->text().toStdString(), EdIP[3]->text().toStdString());
  log_->addLogLine(address);
  if (link_) link_->setHost(address);
  Edit3->setText(FromUtf8(link_ ? link_->host() : address));
}

}  // namespace uvq::window
