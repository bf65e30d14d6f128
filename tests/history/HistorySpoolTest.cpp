// SPDX-License-Identifier: Apache-2.0
#include <QTemporaryDir>
#include <QTest>

#include <sqlite3.h>
#include <sys/stat.h>

#include <fstream>
#include <iterator>

#include "StoreChecks.h"
#include "store/history/SpoolLine.h"
#include "store/history/SpoolingHistoryStore.h"
#include "store/history/SqliteHistoryStore.h"

using namespace uvq::history;
using store_checks::Row;

namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const std::string& path, const std::string& text, std::ios::openmode mode = {}) {
  std::ofstream(path, std::ios::binary | mode) << text;
}

// Another process's transaction, holding the write lock for as long as it lives.
class WriteLock {
 public:
  explicit WriteLock(const std::string& path) {
    sqlite3_open(path.c_str(), &db_);
    held_ = sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK;
  }
  ~WriteLock() { release(); }
  bool held() const { return held_; }
  void release() {
    if (db_) sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close_v2(db_);
    db_ = nullptr;
  }

 private:
  sqlite3* db_ = nullptr;
  bool held_ = false;
};

}  // namespace

// Writes that fail (here: the file held by another writer past the busy time-out) go to the
// spool; flush() moves them, once, whatever happened in between.
class HistorySpoolTest : public QObject {
  Q_OBJECT

  QTemporaryDir scratch_;
  int counter_ = 0;

  std::string Path(const char* what) {
    return scratch_.filePath(QString("%1-%2").arg(what).arg(++counter_)).toStdString();
  }

 private slots:
  void initTestCase() { QVERIFY(scratch_.isValid()); }

  void failedWritesAreSpooledAndFlushedOnce() {
    const std::string db = Path("db");
    const std::string spoolPath = Path("spool");
    SpoolingHistoryStore store(std::make_unique<SqliteHistoryStore>(db, 50), spoolPath);

    OperationRow a = Row("a", "0100", "127.0.0.81", "program", 1000);
    OperationRow b = Row("b", "0101", "127.0.0.82", "program", 2000);
    {
      WriteLock lock(db);
      QVERIFY(lock.held());
      a.id = store.begin(a);
      QVERIFY(a.id < 0);
      const auto notice = store.takeSpoolNotice();
      QVERIFY(notice.has_value());
      QVERIFY2(notice->find(spoolPath) != std::string::npos, notice->c_str());
      QVERIFY(!store.takeSpoolNotice().has_value());
      a.outcome = "ok";
      a.endedAt = 1500;
      store.complete(a);
      b.id = store.begin(b);
      QVERIFY(b.id < 0 && b.id != a.id);
    }
    OperationRow c = Row("c", "0102", "127.0.0.83", "reset", 3000);
    store_checks::Record(store, c, "ok");
    QCOMPARE(store.spooledCount(), size_t{3});
    struct stat info {};
    QCOMPARE(::stat(spoolPath.c_str(), &info), 0);
    QCOMPARE(static_cast<int>(info.st_mode & 0777), 0600);
    QCOMPARE(store.query({}).size(), size_t{1});

    const std::string spooled = ReadFile(spoolPath);
    QCOMPARE(store.flush(), size_t{3});
    QCOMPARE(store.spooledCount(), size_t{0});
    QCOMPARE(store.flush(), size_t{0});
    auto check = [&] {
      const auto rows = store.query({});
      QCOMPARE(store_checks::Names(rows), store_checks::Names_({"c", "b", "a"}));
      QCOMPARE(rows[2].outcome, std::string("ok"));
      QCOMPARE(rows[2].endedAt, std::optional<int64_t>(1500));
      QCOMPARE(rows[1].outcome, std::string());  // begun, never completed: abandoned
      QVERIFY(rows[0].id > 0 && rows[1].id > 0 && rows[2].id > 0);
    };
    check();
    // A flush that died before it emptied the spool: the same lines again make no new row.
    WriteFile(spoolPath, spooled);
    QCOMPARE(store.flush(), size_t{3});
    check();
  }

  // The spool is shared: lines for another database stay, a line cut short by a crash is
  // neither applied nor glued to the next one.
  void spoolKeepsWhatIsNotForThisDatabase() {
    const std::string db = Path("db");
    const std::string spoolPath = Path("spool");
    SpoolEntry other{"/elsewhere/history.sqlite3", false,
                     Row("other", "0200", "127.0.0.84", "reset", 1)};
    other.row.key = NewRowKey();
    const std::string otherLine = SpoolLine(other);
    WriteFile(spoolPath, otherLine + "uvq-spool-1\t" + db + "\tbegin\tcut");
    SpoolingHistoryStore store(std::make_unique<SqliteHistoryStore>(db, 50), spoolPath);
    {
      WriteLock lock(db);
      store.begin(Row("mine", "0201", "127.0.0.85", "reset", 2));
    }
    QCOMPARE(store.spooledCount(), size_t{1});
    QCOMPARE(store.flush(), size_t{1});
    QCOMPARE(store_checks::Names(store.query({})), store_checks::Names_({"mine"}));
    const std::string left = ReadFile(spoolPath);
    QVERIFY(left.find(otherLine) == 0);
    QVERIFY(left.find("mine") == std::string::npos);
  }

  // Nothing to flush is no error; a spool that cannot be written loses the row loudly.
  void spoolThatCannotBeWrittenSaysSo() {
    const std::string db = Path("db");
    SpoolingHistoryStore absent(std::make_unique<SqliteHistoryStore>(db, 50), Path("none"));
    QCOMPARE(absent.flush(), size_t{0});
    SpoolingHistoryStore store(std::make_unique<SqliteHistoryStore>(db, 50),
                               Path("no-folder") + "/spool");
    WriteLock lock(db);
    try {
      store.begin(Row("lost", "0300", "127.0.0.86", "reset", 1));
      QFAIL("a row that could be kept nowhere was reported as kept");
    } catch (const HistoryError& error) {
      QCOMPARE(error.kind(), HistoryErrorKind::WriteFailed);
      QVERIFY(std::string(error.what()).find("cannot keep") != std::string::npos);
    }
  }
};

QTEST_GUILESS_MAIN(HistorySpoolTest)
#include "HistorySpoolTest.moc"
