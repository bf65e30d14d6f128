// SPDX-License-Identifier: Apache-2.0
// The log's row bound, "Clear  Window", the error box text and the adapters the engine drives.

#include <QCheckBox>
#include <QMessageBox>
#include <QPushButton>
#include <QTextBlock>
#include <QTextLayout>

#include "WindowTestSupport.h"
#include "window/ErrorText.h"
#include "window/QtSharedTimer.h"
#include "window/WidgetControls.h"

using namespace uvq::window;
using namespace uvq::window::test;

namespace {

// Rows the first line of the log takes on screen.
int FirstLineRows(TForm1& form) {
  auto* memo = Child<QPlainTextEdit>(form, "Memo1");
  const QTextBlock first = memo->document()->begin();
  return first.layout() ? first.layout()->lineCount() : 0;
}

QString FirstLine(TForm1& form) {
  return Child<QPlainTextEdit>(form, "Memo1")->document()->begin().text();
}

}  // namespace

class WindowLogTest : public QObject {
  Q_OBJECT

 private slots:
  void fullStopRule_data();
  void fullStopRule();
  void logKeepsAHundredAndOneRows();
  void wrappedTopLineLosesOneRowAtATime();
  void emptyLinesCountAsRows();
  void clearWindowEmptiesOnlyTheLog();
  void errorBoxIsCaptionedAndDoesNotBlock();
  void engineChangesToCheckBoxesRunNoHandler();
  void sharedTimerTicksOnlyWhenArmed();
};

void WindowLogTest::fullStopRule_data() {
  QTest::addColumn<QString>("message");
  QTest::addColumn<QString>("shown");
  QTest::newRow("plain") << "Socket Error # 10065"
                         << "Socket Error # 10065.";
  QTest::newRow("has stop") << "Done."
                            << "Done.";
  QTest::newRow("exclamation") << "Stop!"
                               << "Stop!";
  QTest::newRow("comma") << "a,"
                         << "a,";
  QTest::newRow("dash") << "a-"
                        << "a-";
  QTest::newRow("blank") << "a "
                         << "a ";
  QTest::newRow("line break") << "a\n"
                              << "a\n";
  QTest::newRow("slash sorts after") << "a/"
                                     << "a/.";
  QTest::newRow("digit") << "'x1' is not a valid integer value"
                         << "'x1' is not a valid integer value.";
  QTest::newRow("non-ASCII") << QString::fromUtf8("Größe ä") << QString::fromUtf8("Größe ä.");
  QTest::newRow("empty") << ""
                         << ".";
}

void WindowLogTest::fullStopRule() {
  QFETCH(QString, message);
  QFETCH(QString, shown);
  QCOMPARE(QString::fromStdString(WithFullStop(message.toStdString())), shown);
}

void WindowLogTest::logKeepsAHundredAndOneRows() {
  SilentTone tone;
  auto form = MakeForm(QStringLiteral("127.0.4.11"), tone);
  form->show();
  MemoLog& log = form->memoLog();
  for (int i = 0; i < 100; ++i) log.addLogLine("line " + std::to_string(i));
  QCOMPARE(log.rowCount(), 100);

  log.addLogLine("line 100");  // 100 rows is not more than 100: nothing goes
  QCOMPARE(log.rowCount(), 101);
  QCOMPARE(FirstLine(*form), QStringLiteral("line 0"));

  log.addLogLine("line 101");  // 101 rows: the top one goes first
  QCOMPARE(log.rowCount(), 101);
  QCOMPARE(FirstLine(*form), QStringLiteral("line 1"));
  QCOMPARE(LogLines(*form).last(), QStringLiteral("line 101"));

  for (int i = 102; i < 400; ++i) log.addLogLine("line " + std::to_string(i));
  QCOMPARE(log.rowCount(), 101);
  QCOMPARE(FirstLine(*form), QStringLiteral("line 299"));
}

void WindowLogTest::wrappedTopLineLosesOneRowAtATime() {
  SilentTone tone;
  auto form = MakeForm(QStringLiteral("127.0.4.12"), tone);
  form->show();
  MemoLog& log = form->memoLog();

  // Find how many characters fill one row, then log a line of two and a half rows.
  log.addLogLine(std::string(400, 'x'));
  auto* memo = Child<QPlainTextEdit>(*form, "Memo1");
  const int perRow = memo->document()->begin().layout()->lineAt(0).textLength();
  QVERIFY(perRow > 10 && perRow < 200);
  Child<QPushButton>(*form, "Button1")->click();

  QString wrapped;
  for (int i = 0; i < perRow * 5 / 2; ++i) wrapped += QChar(u'a' + i % 26);
  log.addLogLine(wrapped.toStdString());
  QCOMPARE(FirstLineRows(*form), 3);
  for (int i = 0; i < 98; ++i) log.addLogLine("short " + std::to_string(i));
  QCOMPARE(log.rowCount(), 101);

  log.addLogLine("next 1");  // 101 rows: the first row of the wrapped line goes
  QCOMPARE(log.rowCount(), 101);
  QCOMPARE(FirstLine(*form), wrapped.mid(perRow));
  QCOMPARE(FirstLineRows(*form), 2);

  log.addLogLine("next 2");
  QCOMPARE(FirstLine(*form), wrapped.mid(2 * perRow));
  QCOMPARE(FirstLineRows(*form), 1);

  log.addLogLine("next 3");  // now a one-row line: it goes whole
  QCOMPARE(FirstLine(*form), QStringLiteral("short 0"));
  QCOMPARE(log.rowCount(), 101);
}

void WindowLogTest::emptyLinesCountAsRows() {
  SilentTone tone;
  auto form = MakeForm(QStringLiteral("127.0.4.13"), tone);
  form->show();
  MemoLog& log = form->memoLog();
  log.addLogLine("first");
  for (int i = 0; i < 100; ++i) log.addLogLine("");
  QCOMPARE(log.rowCount(), 101);
  QCOMPARE(log.lineCount(), 101);
  log.addLogLine("");
  QCOMPARE(log.rowCount(), 101);
  QCOMPARE(FirstLine(*form), QString());
  QVERIFY(!Child<QPlainTextEdit>(*form, "Memo1")->toPlainText().contains(QLatin1String("first")));
}

void WindowLogTest::clearWindowEmptiesOnlyTheLog() {
  UnitSocket unit;
  QVERIFY(unit.bind(QStringLiteral("127.0.4.14")));
  SilentTone tone;
  auto form = MakeForm(QStringLiteral("127.0.4.14"), tone);
  form->show();
  form->service().registry().selector().add("12AB");
  form->service().registry().selector().setCurrentIndex(0);
  for (int i = 0; i < 5; ++i) form->memoLog().addLogLine("old");

  QTest::mouseClick(Child<QPushButton>(*form, "Button1"), Qt::LeftButton);
  QVERIFY(LogLines(*form).isEmpty());
  QCOMPARE(form->memoLog().rowCount(), 0);
  QCOMPARE(Child<QComboBox>(*form, "CUVQselect")->currentText(), QStringLiteral("12AB"));
  QCOMPARE(form->windowTitle(), QStringLiteral("Ethernet Loader Utility 20161107"));
  QVERIFY(!unit.hasPending());

  // An empty first line after clearing stays a line of its own.
  form->memoLog().addLogLine("");
  form->memoLog().addLogLine("after");
  QCOMPARE(LogLines(*form), (QStringList{"", "after"}));
}

void WindowLogTest::errorBoxIsCaptionedAndDoesNotBlock() {
  SilentTone tone;
  auto form = MakeForm(QStringLiteral("127.0.4.15"), tone);
  form->show();
  QSignalSpy shown(form.get(), &TForm1::errorShown);
  auto* part = Child<QLineEdit>(*form, "EdIP2");
  part->setText(QStringLiteral("x"));
  QTest::mouseClick(Child<QPushButton>(*form, "Button4"), Qt::LeftButton);  // returns: no block

  QCOMPARE(shown.count(), 1);
  QCOMPARE(shown.at(0).at(0).toString(), QStringLiteral("'x' is not a valid integer value."));
  auto* box = form->findChild<QMessageBox*>(QStringLiteral("ErrorBox"));
  QVERIFY(box);
  QVERIFY(box->isVisible());
  QCOMPARE(box->windowTitle(), QStringLiteral("Ethernet Bootloader"));
  QCOMPARE(box->icon(), QMessageBox::Critical);
  QCOMPARE(box->text(), QStringLiteral("'x' is not a valid integer value."));
  box->accept();
}

void WindowLogTest::engineChangesToCheckBoxesRunNoHandler() {
  UnitSocket unit;
  QVERIFY(unit.bind(QStringLiteral("127.0.4.16")));
  SilentTone tone;
  auto form = MakeForm(QStringLiteral("127.0.4.16"), tone);
  form->show();
  // A unit is selected, so a click of the IP box would enable the address field.
  form->service().registry().selector().add("12AB");
  form->service().registry().selector().setCurrentIndex(0);
  auto* ipBox = Child<QCheckBox>(*form, "CBIPaddr");
  auto* address = Child<QLineEdit>(*form, "EIPAddr");
  ipBox->setEnabled(true);

  WidgetControls controls;
  controls.bind(uvq::presenter::ControlId::CBIPaddr, ipBox);
  controls.bind(uvq::presenter::ControlId::Form, form.get());
  controls.setChecked(uvq::presenter::ControlId::CBIPaddr, true);
  QVERIFY(controls.isChecked(uvq::presenter::ControlId::CBIPaddr));
  QVERIFY2(!address->isEnabled(), "a programmatic check ran the click handler");

  QTest::mouseClick(ipBox, Qt::LeftButton);  // the operator's click does run it
  QVERIFY(!ipBox->isChecked());
  QVERIFY(!address->isEnabled());
  QTest::mouseClick(ipBox, Qt::LeftButton);
  QVERIFY(address->isEnabled());

  controls.setText(uvq::presenter::ControlId::Form, "caption");
  QCOMPARE(form->windowTitle(), QStringLiteral("caption"));
  // Its own setting counts, not whether it is shown.
  form->hide();
  QVERIFY(controls.isEnabled(uvq::presenter::ControlId::CBIPaddr));
}

void WindowLogTest::sharedTimerTicksOnlyWhenArmed() {
  QTimer timer;
  QList<uvq::TimerRole> ticks;
  QtSharedTimer shared(timer, [&](uvq::TimerRole role) { ticks << role; });
  shared.setInterval(0);
  shared.enable();
  QVERIFY2(!timer.isActive(), "a zero interval would fire on every loop pass");

  shared.tick();  // no role yet
  QVERIFY(ticks.isEmpty());

  shared.disable();
  shared.setHandler(uvq::TimerRole::CatchEraseError);
  shared.setInterval(10);
  QVERIFY(!timer.isActive());
  shared.enable();
  QVERIFY(timer.isActive());
  QCOMPARE(shared.interval(), 10);
  QTRY_VERIFY(!ticks.isEmpty());
  QCOMPARE(ticks.first(), uvq::TimerRole::CatchEraseError);
  shared.disable();
  QVERIFY(!timer.isActive());
}

QTEST_MAIN(WindowLogTest)
#include "WindowLogTest.moc"
