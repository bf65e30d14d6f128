// SPDX-License-Identifier: Apache-2.0
// The window's history rows as the recorder writes them from the service's outcomes.
#include <QCryptographicHash>
#include <QtTest>

#include "HistoryRowsInMemory.h"
#include "WindowHarness.h"
#include "recording/ServiceRecorder.h"
#include "store/history/HistoryStore.h"

using namespace uvq;
using namespace uvq::test;

namespace {

using RowsInMemory = HistoryRowsInMemory;

std::string Sha256Hex(const Bytes& bytes) {
  return QCryptographicHash::hash(QByteArrayView(reinterpret_cast<const char*>(bytes.data()),
                                                 static_cast<qsizetype>(bytes.size())),
                                  QCryptographicHash::Sha256)
      .toHex()
      .toStdString();
}

// A unit 0102 in loader mode, fw.cry chosen, and the recorder listening to the service.
struct RecordingHarness : Harness {
  RowsInMemory store;
  recording::ServiceRecorder recorder{
      {store, service, [] { return std::string("127.0.9.1"); }, nullptr},
      {"station", "user", "window", "test"}};
  explicit RecordingHarness(const Bytes& image) {
    service.addListener(&recorder);
    files.files["fw.cry"].data = image;
    registerUnit(0x0102, 0x4000);
    engine.BSourceClick(std::optional<std::string>("fw.cry"));
  }
  ~RecordingHarness() { service.removeListener(&recorder); }
  void finishRun() {
    while (!outcomes.run) answer(4, 0x0102, 0x4018);
  }
};

}  // namespace

class Recording : public QObject {
  Q_OBJECT
 private slots:
  // The row names the bytes the unit was sent, even when the file is overwritten in place
  // with another image of the same size during the run.
  void aProgramRowRecordsTheDigestOfTheBytesSent() {
    Bytes first(24 * 8);
    for (size_t i = 0; i < first.size(); ++i) first[i] = static_cast<uint8_t>(i * 13 + 5);
    const Bytes second(first.size(), 0x77);
    RecordingHarness h(first);
    h.window.BProgramClick();
    h.files.files["fw.cry"].data = second;
    h.finishRun();

    Bytes sent;
    for (const Bytes& pdu : h.link.sent)
      if (pdu.size() == 31 && pdu[6] == 4) sent.insert(sent.end(), pdu.begin() + 7, pdu.end());
    QCOMPARE(sent, first);
    QCOMPARE(h.store.completed.size(), size_t(1));
    const history::OperationRow& row = h.store.completed[0];
    QCOMPARE(row.operation, std::string("program"));
    QCOMPARE(row.outcome, std::string("ok"));
    QCOMPARE(row.imagePath, std::string("fw.cry"));
    QCOMPARE(row.imageBytes, int64_t(first.size()));
    QCOMPARE(row.imageSha256, Sha256Hex(first));
    QCOMPARE(h.store.begun[0].imageSha256, Sha256Hex(first));
    QVERIFY(row.detail.empty());
  }

  // The window's Update records the move the history follows: the unit's ID, the address it
  // was reached at and the one it reports after; a refused change is no move.
  void anAddressChangeRecordsTheMove() {
    RecordingHarness h(Bytes(48, 1));
    h.controls.setChecked(ControlId::CBIPaddr, true);
    h.engine.CBIPaddrClick();
    h.controls.setText(ControlId::EIPAddr, "10.0.0.5");
    h.engine.BUpdateUVQClick();
    h.answer(1, 0x0102, 0x0000, {10, 0, 0, 5});
    QCOMPARE(h.store.completed.size(), size_t(1));
    const history::OperationRow& moved = h.store.completed[0];
    QCOMPARE(moved.operation, std::string("set-ip"));
    QCOMPARE(moved.outcome, std::string("ok"));
    QCOMPARE(moved.unitId, std::string("0102"));
    QCOMPARE(moved.target, std::string("127.0.9.1"));
    QCOMPARE(moved.reportedAddress, std::string("10.0.0.5"));

    h.service.setUnitAddress(protocol::Ipv4Bytes{10, 0, 0, 9});
    h.answer(1, 0x0102, 0x0000, {10, 0, 0, 5});
    QCOMPARE(h.store.completed.size(), size_t(2));
    QCOMPARE(h.store.completed[1].outcome, std::string("unit_error"));
  }

  // A run refused before it started writes no program row.
  void aRunRefusedAtTheClickLeavesNoProgramRow() {
    RecordingHarness h(Bytes(48, 1));
    h.files.files["fw.cry"].failReadAt = 0;
    h.window.BProgramClick();
    for (const history::OperationRow& row : h.store.begun) QVERIFY(row.operation != "program");
  }
};

QTEST_GUILESS_MAIN(Recording)
#include "test_recording.moc"
