// SPDX-License-Identifier: Apache-2.0
// The target address fields: "+"/"-" step a part and apply the address, "Update" applies what
// was typed, and a part that is not a number is refused with an error box.

#include <QMessageBox>

#include "WindowTestSupport.h"
#include "link/UdpLink.h"

using namespace uvq::window;
using namespace uvq::window::test;

namespace {

QStringList Parts(TForm1& form) {
  QStringList parts;
  for (const char* name : {"EdIP1", "EdIP2", "EdIP3", "EdIP4"})
    parts << Child<QLineEdit>(form, name)->text();
  return parts;
}

void Click(TForm1& form, const char* name) {
  QTest::mouseClick(Child<QPushButton>(form, name), Qt::LeftButton);
}

}  // namespace

class WindowAddressTest : public QObject {
  Q_OBJECT

 private slots:
  void stepsMoveTheTargetAndTrafficFollows();
  void eachButtonStepsItsOwnPart();
  void updateAppliesTypedParts();
  void badPartIsRefusedAndNothingApplied();
};

void WindowAddressTest::stepsMoveTheTargetAndTrafficFollows() {
  UnitSocket moved;
  QVERIFY(moved.bind(QStringLiteral("127.0.4.42")));
  SilentTone tone;
  auto form = MakeForm(QStringLiteral("127.0.4.41"), tone);
  form->show();
  QCOMPARE(Parts(*form), (QStringList{"127", "0", "4", "41"}));

  Click(*form, "Button6");  // "+" of the fourth part
  QCOMPARE(Parts(*form), (QStringList{"127", "0", "4", "42"}));
  QCOMPARE(LogLines(*form), QStringList{"127.0.4.42"});
  QCOMPARE(form->link().host(), std::string("127.0.4.42"));
  QCOMPARE(Child<QLineEdit>(*form, "Edit3")->text(), QStringLiteral("127.0.4.42"));

  // The next exchange goes to the new address.
  Click(*form, "BLDR_Mode");
  QCOMPARE(moved.next().data().size(), 7);
  Click(*form, "StopCapture");

  Click(*form, "Button10");  // "-" of the fourth part
  QCOMPARE(Parts(*form).last(), QStringLiteral("41"));
  QCOMPARE(Child<QLineEdit>(*form, "Edit3")->text(), QStringLiteral("127.0.4.41"));
  QCOMPARE(LogLines(*form).last(), QStringLiteral("127.0.4.41"));
}

void WindowAddressTest::eachButtonStepsItsOwnPart() {
  SilentTone tone;
  auto form = MakeForm(QStringLiteral("127.0.4.43"), tone);
  form->show();
  Click(*form, "Button3");
  Click(*form, "Button4");
  Click(*form, "Button5");
  QCOMPARE(Parts(*form), (QStringList{"128", "1", "5", "43"}));
  Click(*form, "Button7");
  Click(*form, "Button8");
  Click(*form, "Button9");
  Click(*form, "Button9");
  QCOMPARE(Parts(*form), (QStringList{"127", "0", "3", "43"}));
  QCOMPARE(Child<QLineEdit>(*form, "Edit3")->text(), QStringLiteral("127.0.3.43"));
  QCOMPARE(LogLines(*form).size(), 7);  // one line per step
  // Stepping stops at the ends of a part's range.
  Click(*form, "Button8");
  QCOMPARE(Parts(*form).at(1), QStringLiteral("0"));
}

void WindowAddressTest::updateAppliesTypedParts() {
  UnitSocket typed;
  QVERIFY(typed.bind(QStringLiteral("127.0.5.44")));
  SilentTone tone;
  auto form = MakeForm(QStringLiteral("127.0.4.44"), tone);
  form->show();
  auto* third = Child<QLineEdit>(*form, "EdIP3");
  third->selectAll();
  QTest::keyClicks(third, QStringLiteral("5"));
  QCOMPARE(form->link().host(), std::string("127.0.4.44"));  // typing alone applies nothing

  Click(*form, "Button11");
  QCOMPARE(form->link().host(), std::string("127.0.5.44"));
  QCOMPARE(Child<QLineEdit>(*form, "Edit3")->text(), QStringLiteral("127.0.5.44"));
  QCOMPARE(LogLines(*form), QStringList{"127.0.5.44"});
  Click(*form, "BLDR_Mode");
  QCOMPARE(typed.next().data().size(), 7);
}

void WindowAddressTest::badPartIsRefusedAndNothingApplied() {
  SilentTone tone;
  auto form = MakeForm(QStringLiteral("127.0.4.45"), tone);
  form->show();
  QSignalSpy errors(form.get(), &TForm1::errorShown);
  auto* second = Child<QLineEdit>(*form, "EdIP2");
  second->setText(QStringLiteral("0x"));

  Click(*form, "Button8");
  QCOMPARE(errors.count(), 1);
  QCOMPARE(errors.at(0).at(0).toString(), QStringLiteral("'0x' is not a valid integer value."));
  auto* box = form->findChild<QMessageBox*>(QStringLiteral("ErrorBox"));
  QVERIFY(box && box->isVisible());
  QCOMPARE(box->windowTitle(), QStringLiteral("Ethernet Bootloader"));
  box->accept();

  QCOMPARE(second->text(), QStringLiteral("0x"));
  QVERIFY(LogLines(*form).isEmpty());
  QCOMPARE(form->link().host(), std::string("127.0.4.45"));
  QCOMPARE(Child<QLineEdit>(*form, "Edit3")->text(), QStringLiteral("127.0.4.45"));
}

QTEST_MAIN(WindowAddressTest)
#include "WindowAddressTest.moc"
