// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QWidget>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "operations/LoaderService.h"
#include "ports/Ports.h"
#include "presenter/WindowPresenter.h"
#include "protocol/CommandCode.h"

class QCheckBox;
class QComboBox;
class QFileDialog;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QTimer;

namespace uvq::link {
class UdpLink;
}  // namespace uvq::link

namespace uvq::recording {
class WindowRecording;
}  // namespace uvq::recording

namespace uvq::window {

class MemoLog;
class TCRecvThread;
class QtSharedTimer;
class WindowUnitGuard;
class WidgetControls;

// What the window would otherwise take from the machine. Tests inject a loopback target, a
// silent tone and a file chooser; the tool itself uses the defaults.
struct FormOptions {
  // Target address; when set, no settings file is read.
  std::optional<std::string> targetHost;
  // Executable whose settings file names the target (default: the running executable).
  std::optional<std::string> executablePath;
  uvq::Tone* tone = nullptr;         // default: the sound output
  uvq::Clock* clock = nullptr;       // default: the system clock
  uvq::FileSystem* files = nullptr;  // default: the local file system
  // Chooses the programming file; default: the open dialog. nullopt when cancelled.
  std::function<std::optional<std::string>()> chooseFile;
  // Opens the UDP endpoint; default: a UdpLink. May throw, as a socket that cannot be had.
  std::function<std::unique_ptr<uvq::link::UdpLink>()> openLink;
  // The history database; default: the settings file's [History] Db=, else UVQ_DB, else the
  // SQLite default.
  std::optional<std::string> historyDb;
};

// The operator window: widgets bound to the window presenter, which holds the window's rules on
// the loader service. Every click, timer tick and received datagram becomes one presenter call;
// dialogs are shown first and their answer handed over. Any failure of such a call is shown in
// an error box; the window carries on.
class TForm1 : public QWidget {
  Q_OBJECT

 public:
  static constexpr uint16_t kUnitPort = uvq::protocol::kUnitPort;
  static constexpr int kReceiveTimeoutMs = 1000;
  // Room for the replies of a run behind a burst of other datagrams.
  static constexpr int kReceiveBufferBytes = 4 * 1024 * 1024;
  static constexpr const char* kCaption = "Ethernet Loader Utility 20161107";

  explicit TForm1(FormOptions options = {}, QWidget* parent = nullptr);
  ~TForm1() override;

  uvq::LoaderService& service() { return *service_; }
  uvq::presenter::WindowPresenter& presenter() { return *presenter_; }
  uvq::link::UdpLink& link() { return *link_; }
  bool hasLink() const { return link_ != nullptr; }
  uint16_t localPort() const;
  MemoLog& memoLog() { return *log_; }
  QtSharedTimer& sharedTimer() { return *sharedTimer_; }
  QTimer& timer1() { return *Timer1; }
  QFileDialog& openDialog() { return *OpenDialog1; }

 signals:
  // Raised with the text of every error box as it opens (the box itself does not block).
  void errorShown(const QString& text);

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void CreateControls();
  void ChainTabOrder();
  void PlaceWindow();
  void BindPorts();
  void ConnectHandlers();
  void FormCreate();

  // Runs one handler; a failure goes to the error box instead of the event loop.
  void Guarded(const std::function<void()>& handler);
  void ShowError(const std::string& message);

  std::optional<std::string> ChooseSourceFile();
  void OpenLink();
  std::optional<uvq::DatagramOrigin> OriginOf(
      const std::optional<uvq::protocol::Ipv4Bytes>& sender) const;
  void StartRecording();
  void MirrorSelector();
  void SelectorPicked(int index);
  void SelectorEdited(const QString& text);
  void StepTargetPart(QLineEdit* part, bool up);
  void ApplyTargetAddress();

  FormOptions options_;

  // Widgets, owned by their parents; named as the controls are named.
  QWidget* Panel2 = nullptr;
  QWidget* Panel3 = nullptr;
  QLineEdit* ESource = nullptr;
  QPushButton* BSource = nullptr;
  QPushButton* BProgram = nullptr;
  QPushButton* BErase = nullptr;
  QPushButton* BEraseEE = nullptr;
  QPushButton* BErasePRG = nullptr;
  QPlainTextEdit* Memo1 = nullptr;
  QWidget* GroupBox1 = nullptr;
  QCheckBox* CBIPaddr = nullptr;
  QPushButton* BUpdateUVQ = nullptr;
  QComboBox* CUVQselect = nullptr;
  QPushButton* BLDR_Mode = nullptr;
  QPushButton* StopCapture = nullptr;
  QPushButton* BResetUVQ = nullptr;
  QCheckBox* CheckBox1 = nullptr;
  QCheckBox* CheckBox2 = nullptr;
  QPushButton* CapturewCode = nullptr;
  QLineEdit* Edit1 = nullptr;
  QPushButton* Button1 = nullptr;
  QPushButton* Button2 = nullptr;
  QPushButton* Locate = nullptr;
  QLineEdit* EdIP[4] = {};
  QPushButton* PlusButtons[4] = {};   // Button3..Button6
  QPushButton* MinusButtons[4] = {};  // Button7..Button10
  QPushButton* Button11 = nullptr;
  QLineEdit* Edit3 = nullptr;
  QCheckBox* CheckBox3 = nullptr;
  QLineEdit* EIPAddr = nullptr;
  QTimer* Timer1 = nullptr;
  QFileDialog* OpenDialog1 = nullptr;

  // Ports, service and presenter. Declared in dependency order: the receive thread goes first
  // on destruction, then the presenter and the service, then what they used.
  std::unique_ptr<uvq::link::UdpLink> link_;  // IdUDPControl; none when no socket could be had
  std::unique_ptr<uvq::Link> sendSide_;       // sends through link_, or fails without it
  std::string noLinkReason_;
  std::unique_ptr<WidgetControls> controls_;
  std::unique_ptr<MemoLog> log_;
  std::unique_ptr<QtSharedTimer> sharedTimer_;
  std::unique_ptr<uvq::Tone> ownTone_;
  std::unique_ptr<uvq::Clock> ownClock_;
  std::unique_ptr<uvq::FileSystem> ownFiles_;
  std::unique_ptr<WindowUnitGuard> unitGuard_;  // outlives the presenter that uses it
  std::unique_ptr<uvq::LoaderService> service_;
  std::unique_ptr<uvq::presenter::WindowPresenter> presenter_;
  std::unique_ptr<uvq::recording::WindowRecording> recording_;  // listens to the service
  std::unique_ptr<TCRecvThread> receiveThread_;
};

}  // namespace uvq::window
