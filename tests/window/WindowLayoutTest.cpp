// SPDX-License-Identifier: Apache-2.0
// The window as the operator first sees it: controls, their places and states, stacking, the
// keyboard order and the start-up texts.

#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QTemporaryDir>

#include "WindowTestSupport.h"
#include "link/UdpLink.h"
#include "window/QtSharedTimer.h"

using namespace uvq::window;
using namespace uvq::window::test;

namespace {

QString CaptionOf(QWidget* w) {
  if (auto* b = qobject_cast<QAbstractButton*>(w)) return b->text();
  if (auto* e = qobject_cast<QLineEdit*>(w)) return e->text();
  if (auto* g = qobject_cast<QGroupBox*>(w)) return g->title();
  if (auto* l = qobject_cast<QLabel*>(w)) return l->text();
  if (auto* c = qobject_cast<QComboBox*>(w)) return c->currentText();
  return {};
}

// The named control a focused widget belongs to (a combo box focuses its edit field).
QString NamedOwner(QWidget* w) {
  for (; w; w = w->parentWidget())
    if (!w->objectName().isEmpty() && !w->objectName().startsWith(QLatin1String("qt_")))
      return w->objectName();
  return {};
}

const QStringList kTabOrder = {
    "ESource",   "BSource",   "BProgram",   "BErase",       "BEraseEE",  "BErasePRG",
    "Memo1",     "CBIPaddr",  "BUpdateUVQ", "CUVQselect",   "BLDR_Mode", "StopCapture",
    "BResetUVQ", "CheckBox1", "CheckBox2",  "CapturewCode", "Edit1",     "Button1",
    "Button2",   "Locate",    "EdIP1",      "EdIP2",        "EdIP3",     "EdIP4",
    "Button3",   "Button4",   "Button5",    "Button6",      "Button7",   "Button8",
    "Button9",   "Button10",  "Button11",   "Edit3",        "CheckBox3", "EIPAddr"};

}  // namespace

class WindowLayoutTest : public QObject {
  Q_OBJECT

 private slots:
  void controlAsDesigned_data();
  void controlAsDesigned();
  void windowFrameAndCaption();
  void logCoversTheEraseButtons();
  void keyboardOrderKeepsCoveredAndHiddenControls();
  void spacePressesAFocusedCoveredButton();
  void openDialogTakesAnyTypedCryName();
  void aSocketThatCannotBeHadLeavesTheWindowOpen();
  void startUpReadsTheSettingsFileBesideTheExecutable();
  void startUpWithInjectedHostLeavesEverythingQuiet();
};

void WindowLayoutTest::controlAsDesigned_data() {
  QTest::addColumn<QString>("parent");
  QTest::addColumn<QString>("caption");
  QTest::addColumn<QRect>("geometry");
  QTest::addColumn<bool>("enabled");
  QTest::addColumn<int>("checked");  // -1: not a check box

  auto row = [](const char* name, const char* parent, const char* caption, int x, int y, int w,
                int h, bool enabled, int checked = -1) {
    QTest::newRow(name) << QString::fromLatin1(parent) << QString::fromLatin1(caption)
                        << QRect(x, y, w, h) << enabled << checked;
  };
  row("Panel2", "Form1", "", 6, 6, 385, 515, true);
  row("EIPAddr", "Form1", "", 152, 624, 129, 21, false);
  row("Panel3", "Panel2", "", 8, 8, 369, 41, true);
  row("ESource", "Panel3", "", 40, 8, 321, 21, true);
  row("BSource", "Panel3", "File", 7, 10, 26, 17, true);
  row("BProgram", "Panel2", "Program", 108, 322, 84, 25, false);
  row("BErase", "Panel2", "Erase", 8, 56, 80, 25, false);
  row("BEraseEE", "Panel2", "Erase Data", 104, 56, 80, 25, false);
  row("BErasePRG", "Panel2", "Erase Program", 200, 56, 80, 25, false);
  row("Memo1", "Panel2", "", 8, 56, 369, 257, true);
  row("GroupBox1", "Panel2", " Configure UVQ ", 8, 576, 369, 73, true);
  row("CBIPaddr", "GroupBox1", "Modify IP Address", 8, 50, 113, 17, false, 0);
  row("BUpdateUVQ", "GroupBox1", "Update", 304, 48, 49, 21, false);
  row("CUVQselect", "GroupBox1", "", 120, 14, 225, 21, true);
  row("BLDR_Mode", "Panel2", "Capture", 16, 322, 84, 25, true);
  row("StopCapture", "Panel2", "Stop Capture", 16, 354, 84, 25, false);
  row("BResetUVQ", "Panel2", "Reset UVQ", 197, 320, 84, 25, false);
  row("CheckBox1", "Panel2", "Beep ", 208, 376, 57, 17, true, 1);
  row("CheckBox2", "Panel2", "Auto Reset", 208, 352, 81, 17, true, 1);
  row("CapturewCode", "Panel2", "Live Reboot", 16, 416, 84, 25, true);
  row("Edit1", "Panel2", "", 112, 417, 177, 21, true);
  row("Button1", "Panel2", "Clear  Window", 108, 354, 84, 25, true);
  row("Button2", "Panel2", "Clear UVQ", 288, 320, 84, 25, true);
  row("Locate", "Panel2", "Locate New", 293, 378, 84, 25, true);
  row("Button3", "Panel2", "+", 24, 480, 25, 25, true);
  row("Button4", "Panel2", "+", 88, 480, 25, 25, true);
  row("Button5", "Panel2", "+", 152, 480, 25, 25, true);
  row("Button6", "Panel2", "+", 216, 480, 25, 25, true);
  row("Button7", "Panel2", "-", 56, 480, 25, 25, true);
  row("Button8", "Panel2", "-", 120, 480, 25, 25, true);
  row("Button9", "Panel2", "-", 184, 480, 25, 25, true);
  row("Button10", "Panel2", "-", 248, 480, 25, 25, true);
  row("Button11", "Panel2", "Update", 280, 480, 49, 25, true);
  row("EdIP1", "Panel2", "127", 24, 456, 57, 21, true);
  row("EdIP2", "Panel2", "0", 88, 456, 57, 21, true);
  row("EdIP3", "Panel2", "4", 152, 456, 57, 21, true);
  row("EdIP4", "Panel2", "1", 216, 456, 57, 21, true);
  row("Edit3", "Panel2", "127.0.4.1", 280, 456, 89, 21, false);
  row("CheckBox3", "Panel2", "Auto Clear", 296, 352, 81, 17, true, 1);
  row("Label3", "Panel2", "Target address", 280, 440, 71, 13, true);
  row("Label4", "Panel2", "If Unit  Supports  Live Reboot to Loader with Access Code ", 16, 400,
      279, 13, true);
}

void WindowLayoutTest::controlAsDesigned() {
  QFETCH(QString, parent);
  QFETCH(QString, caption);
  QFETCH(QRect, geometry);
  QFETCH(bool, enabled);
  QFETCH(int, checked);
  SilentTone tone;
  auto form = MakeForm(QStringLiteral("127.0.4.1"), tone);
  form->show();

  auto* w = Child<QWidget>(*form, QTest::currentDataTag());
  QVERIFY(w);
  QCOMPARE(w->parentWidget()->objectName(), parent);
  QCOMPARE(CaptionOf(w), caption);
  QCOMPARE(w->geometry(), geometry);
  QCOMPARE(w->isEnabled(), enabled);
  if (checked >= 0) QCOMPARE(qobject_cast<QCheckBox*>(w)->isChecked(), checked == 1);
  // Labels never take focus; Locate is never shown; everything else is shown with its parent.
  if (qobject_cast<QLabel*>(w)) QCOMPARE(w->focusPolicy(), Qt::NoFocus);
  QCOMPARE(w->isVisible(), w->objectName() != QLatin1String("Locate"));
}

void WindowLayoutTest::windowFrameAndCaption() {
  SilentTone tone;
  auto form = MakeForm(QStringLiteral("127.0.4.2"), tone);
  form->show();
  QCOMPARE(form->objectName(), QStringLiteral("Form1"));
  QCOMPARE(form->windowTitle(), QStringLiteral("Ethernet Loader Utility 20161107"));
  QCOMPARE(form->size(), QSize(399, 527));
  QCOMPARE(form->font().family(), QStringLiteral("MS Sans Serif"));
  // Placed at 961,91 unless that would leave part of it off the desktop.
  const QRect desk = form->screen()->availableGeometry();
  const QRect designed(961, 91, 399, 527);
  if (desk.contains(designed))
    QCOMPARE(form->pos(), QPoint(961, 91));
  else
    QVERIFY2(desk.contains(QRect(form->pos(), form->size())), "window clamped onto the desktop");
  // The group box lies below the panel's bottom edge and is clipped away.
  auto* panel = Child<QWidget>(*form, "Panel2");
  QVERIFY(!panel->rect().intersects(Child<QWidget>(*form, "GroupBox1")->geometry()));
  auto* memo = Child<QPlainTextEdit>(*form, "Memo1");
  QVERIFY(memo->isReadOnly());
  QCOMPARE(memo->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
  QCOMPARE(memo->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
  QCOMPARE(memo->font().pixelSize(), 11);
  QCOMPARE(Child<QPushButton>(*form, "Button9")->font().pixelSize(), 13);
}

void WindowLayoutTest::logCoversTheEraseButtons() {
  SilentTone tone;
  auto form = MakeForm(QStringLiteral("127.0.4.3"), tone);
  form->show();
  auto* panel = Child<QWidget>(*form, "Panel2");
  auto* memo = Child<QWidget>(*form, "Memo1");
  for (const char* name : {"BErase", "BEraseEE", "BErasePRG"}) {
    auto* button = Child<QWidget>(*form, name);
    button->setEnabled(true);  // covered whatever its state
    QWidget* top = panel->childAt(button->geometry().center());
    QVERIFY2(top == memo || memo->isAncestorOf(top), name);
  }
}

void WindowLayoutTest::keyboardOrderKeepsCoveredAndHiddenControls() {
  SilentTone tone;
  auto form = MakeForm(QStringLiteral("127.0.4.4"), tone);
  form->show();
  QApplication::setActiveWindow(form.get());
  QVERIFY(QTest::qWaitForWindowActive(form.get()));

  // The designed chain, hidden and covered controls included.
  QStringList chain;
  QWidget* w = Child<QWidget>(*form, "ESource");
  for (int guard = 0; guard < 200 && chain.size() < kTabOrder.size(); ++guard) {
    const QString name = w->objectName();
    if (kTabOrder.contains(name) && !chain.contains(name)) chain << name;
    w = w->nextInFocusChain();
  }
  QCOMPARE(chain, kTabOrder);

  // With every control enabled, Tab walks them in that order, skipping only the hidden Locate
  // and the address field that lies outside the window.
  for (const QString& name : kTabOrder)
    Child<QWidget>(*form, name.toLatin1().constData())->setEnabled(true);
  QStringList expected = kTabOrder;
  expected.removeAll(QStringLiteral("Locate"));
  Child<QWidget>(*form, "ESource")->setFocus();
  QStringList visited{NamedOwner(QApplication::focusWidget())};
  for (int i = 1; i < expected.size(); ++i) {
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    visited << NamedOwner(QApplication::focusWidget());
  }
  QCOMPARE(visited, expected);
  QVERIFY(!Child<QWidget>(*form, "Locate")->isVisible());
}

void WindowLayoutTest::spacePressesAFocusedCoveredButton() {
  SilentTone tone;
  auto form = MakeForm(QStringLiteral("127.0.4.5"), tone);
  form->show();
  QApplication::setActiveWindow(form.get());
  QVERIFY(QTest::qWaitForWindowActive(form.get()));
  auto* erase = Child<QPushButton>(*form, "BEraseEE");
  erase->setEnabled(true);
  QSignalSpy clicks(erase, &QPushButton::clicked);
  Child<QWidget>(*form, "BErase")->setEnabled(true);
  Child<QWidget>(*form, "BErase")->setFocus();
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
  QCOMPARE(QApplication::focusWidget(), erase);
  QTest::keyClick(erase, Qt::Key_Space);
  QCOMPARE(clicks.count(), 1);
}

void WindowLayoutTest::openDialogTakesAnyTypedCryName() {
  SilentTone tone;
  auto form = MakeForm(QStringLiteral("127.0.4.6"), tone);
  QFileDialog& dialog = form->openDialog();
  QCOMPARE(dialog.objectName(), QStringLiteral("OpenDialog1"));
  QCOMPARE(dialog.fileMode(), QFileDialog::AnyFile);
  QCOMPARE(dialog.acceptMode(), QFileDialog::AcceptOpen);
  QCOMPARE(dialog.nameFilters(), QStringList{QStringLiteral("*.cry")});
  QCOMPARE(dialog.defaultSuffix(), QStringLiteral("cry"));
}

void WindowLayoutTest::startUpReadsTheSettingsFileBesideTheExecutable() {
  QTemporaryDir dir;
  QVERIFY(dir.isValid());
  QFile ini(dir.filePath(QStringLiteral("uvq-loader.INI")));
  QVERIFY(ini.open(QIODevice::WriteOnly));
  ini.write("[Net]\r\nAddress=127.0.4.70\r\n");
  ini.close();

  SilentTone tone;
  FormOptions options;
  options.executablePath = dir.filePath(QStringLiteral("uvq-loader")).toStdString();
  options.tone = &tone;
  TForm1 form(std::move(options));
  QSignalSpy errors(&form, &TForm1::errorShown);

  QCOMPARE(form.link().host(), std::string("127.0.4.70"));
  QCOMPARE(form.link().port(), uint16_t{16388});
  QCOMPARE(form.link().receiveTimeout(), 1000);
  QCOMPARE(Child<QLineEdit>(form, "Edit3")->text(), QStringLiteral("127.0.4.70"));
  const char* parts[] = {"EdIP1", "EdIP2", "EdIP3", "EdIP4"};
  const QStringList expected{"127", "0", "4", "70"};
  for (int i = 0; i < 4; ++i) QCOMPARE(Child<QLineEdit>(form, parts[i])->text(), expected[i]);
  QCOMPARE(errors.count(), 0);
}

void WindowLayoutTest::startUpWithInjectedHostLeavesEverythingQuiet() {
  UnitSocket unit;
  QVERIFY(unit.bind(QStringLiteral("127.0.4.7")));
  SilentTone tone;
  auto form = MakeForm(QStringLiteral("127.0.4.7"), tone);
  QSignalSpy errors(form.get(), &TForm1::errorShown);
  form->show();
  QVERIFY(QTest::qWaitForWindowExposed(form.get()));

  QCOMPARE(form->windowTitle(), QStringLiteral("Ethernet Loader Utility 20161107"));
  QVERIFY(LogLines(*form).isEmpty());
  QCOMPARE(form->memoLog().rowCount(), 0);
  QVERIFY(Child<QLineEdit>(*form, "EIPAddr")->text().isEmpty());
  QCOMPARE(Child<QComboBox>(*form, "CUVQselect")->count(), 0);
  QVERIFY(Child<QComboBox>(*form, "CUVQselect")->currentText().isEmpty());
  QCOMPARE(form->service().pdus().counter(), uint16_t{0});
  QVERIFY(!form->service().loaderMode());
  QVERIFY(!form->timer1().isActive());
  QVERIFY(form->localPort() != 0);
  QVERIFY2(!unit.hasPending(), "nothing is sent at start-up");
  QCOMPARE(errors.count(), 0);
  QCOMPARE(tone.beeps, 0);
}

void WindowLayoutTest::aSocketThatCannotBeHadLeavesTheWindowOpen() {
  SilentTone tone;
  FormOptions options;
  options.targetHost = "127.0.4.71";
  options.tone = &tone;
  options.openLink = []() -> std::unique_ptr<uvq::link::UdpLink> {
    throw uvq::PlatformError("Socket Error # 24\nToo many open files");
  };
  TForm1 form(std::move(options));
  form.show();
  // Shown as the other start-up failures are; the window opens with the address it read.
  auto* box = form.findChild<QMessageBox*>(QStringLiteral("ErrorBox"));
  QVERIFY(box);
  QVERIFY(box->text().contains(QStringLiteral("Too many open files")));
  QVERIFY(!form.hasLink());
  QCOMPARE(Child<QLineEdit>(form, "Edit3")->text(), QStringLiteral("127.0.4.71"));
  QCOMPARE(form.windowTitle(), QStringLiteral("Ethernet Loader Utility 20161107"));

  // What needs the network says why it cannot be done.
  QSignalSpy errors(&form, &TForm1::errorShown);
  Child<QPushButton>(form, "BLDR_Mode")->click();
  QCOMPARE(errors.count(), 1);
  QVERIFY(errors.at(0).at(0).toString().startsWith(QStringLiteral("No socket: Socket Error # 24")));
}

QTEST_MAIN(WindowLayoutTest)
#include "WindowLayoutTest.moc"
