// SPDX-License-Identifier: Apache-2.0
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <signal.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <functional>
#include <iterator>

#include "StoreChecks.h"
#include "store/db/SqliteConnection.h"
#include "store/history/SpoolLine.h"
#include "store/history/SpoolingHistoryStore.h"
#include "store/history/SqlHistoryStore.h"

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

// The history of a file, giving up on a held lock after 50 ms.
std::unique_ptr<HistoryStore> Store(const std::string& path) {
  return std::make_unique<SqlHistoryStore>(
      std::make_shared<uvq::store::SqliteConnection>(path, 50));
}

// A database that refuses every write, so that each goes to the spool.
class RefusingStore : public HistoryStore {
 public:
  int64_t begin(const OperationRow&) override { Refuse(); }
  void complete(const OperationRow&) override { Refuse(); }
  std::vector<OperationRow> query(const HistoryFilter&) override { return {}; }
  std::vector<UnitState> units(const HistoryFilter&) override { return {}; }
  std::string location() const override { return "/refusing/history.sqlite3"; }

 private:
  [[noreturn]] static void Refuse() {
    throw HistoryError(HistoryErrorKind::WriteFailed, "refused");
  }
};

// Runs `write` in a child process whose files cannot grow beyond `limit` bytes, as a full disk
// refuses them; returns what `write` returned there.
std::string WithFileSizeLimit(off_t limit, const std::function<std::string()>& write) {
  int pipe[2];
  if (::pipe(pipe) != 0) return "no pipe";
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(pipe[0]);
    ::signal(SIGXFSZ, SIG_IGN);  // a write past the limit fails with EFBIG instead
    const rlimit size{static_cast<rlim_t>(limit), static_cast<rlim_t>(limit)};
    std::string answer = ::setrlimit(RLIMIT_FSIZE, &size) == 0 ? write() : "no limit";
    if (::write(pipe[1], answer.data(), answer.size()) < 0) ::_exit(2);
    ::_exit(0);
  }
  ::close(pipe[1]);
  std::string answer;
  char buffer[4096];
  for (ssize_t n; (n = ::read(pipe[0], buffer, sizeof buffer)) != 0;) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    answer.append(buffer, static_cast<size_t>(n));
  }
  ::close(pipe[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  return answer;
}

// What a spooling write said: "kept", or the message of the error it threw.
std::string Outcome(const std::function<void()>& write) {
  try {
    write();
    return "kept";
  } catch (const HistoryError& error) {
    return error.kind() == HistoryErrorKind::WriteFailed ? error.what() : "wrong kind";
  }
}

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
    SpoolingHistoryStore store(Store(db), spoolPath);

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
    SpoolingHistoryStore store(Store(db), spoolPath);
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
    SpoolingHistoryStore absent(Store(db), Path("none"));
    QCOMPARE(absent.flush(), size_t{0});
    SpoolingHistoryStore store(Store(db), Path("no-folder") + "/spool");
    WriteLock lock(db);
    try {
      store.begin(Row("lost", "0300", "127.0.0.86", "reset", 1));
      QFAIL("a row that could be kept nowhere was reported as kept");
    } catch (const HistoryError& error) {
      QCOMPARE(error.kind(), HistoryErrorKind::WriteFailed);
      QVERIFY2(std::string(error.what()).find("NOT recorded") != std::string::npos, error.what());
    }
  }

  // A spool that cannot grow (a full disk) takes whole lines or nothing: a write that does not
  // fit is taken back, a spool it created is not left behind empty, a batch is kept whole or
  // not at all, and the caller hears that the rows were NOT recorded.
  void fullDiskLeavesNoEmptyOrPartialSpool() {
    const std::string fresh = Path("fresh");
    const std::string first = WithFileSizeLimit(0, [&] {
      SpoolingHistoryStore store(std::make_unique<RefusingStore>(), fresh);
      return Outcome([&] { store.begin(Row("lost", "0400", "127.0.0.87", "reset", 1)); });
    });
    QVERIFY2(first.find("the history row was NOT recorded") != std::string::npos, first.c_str());
    QVERIFY2(first.find(fresh) != std::string::npos, first.c_str());
    QVERIFY(!QFile::exists(QString::fromStdString(fresh)));

    const std::string kept = Path("kept");
    {
      SpoolingHistoryStore store(std::make_unique<RefusingStore>(), kept);
      store.begin(Row("before", "0401", "127.0.0.88", "reset", 1));
    }
    const std::string before = ReadFile(kept);
    QVERIFY(!before.empty());
    // Room for a line and a half more: the batch of three does not fit, none of it stays.
    const auto room = static_cast<off_t>(before.size() + before.size() * 3 / 2);
    const std::string batch = WithFileSizeLimit(room, [&] {
      SpoolingHistoryStore store(std::make_unique<RefusingStore>(), kept);
      return Outcome([&] {
        store.beginAll({Row("x", "0402", "127.0.0.89", "reset", 2),
                        Row("y", "0403", "127.0.0.90", "reset", 2),
                        Row("z", "0404", "127.0.0.91", "reset", 2)});
      });
    });
    QVERIFY2(batch.find("3 history rows were NOT recorded") != std::string::npos, batch.c_str());
    QCOMPARE(ReadFile(kept), before);
    const std::string one = WithFileSizeLimit(static_cast<off_t>(before.size() + 10), [&] {
      SpoolingHistoryStore store(std::make_unique<RefusingStore>(), kept);
      return Outcome([&] { store.begin(Row("cut", "0405", "127.0.0.92", "reset", 3)); });
    });
    QVERIFY2(one.find("NOT recorded") != std::string::npos, one.c_str());
    QCOMPARE(ReadFile(kept), before);
    SpoolingHistoryStore reader(std::make_unique<RefusingStore>(), kept);
    QCOMPARE(reader.spooledCount(), size_t{1});
  }
};

QTEST_GUILESS_MAIN(HistorySpoolTest)
#include "HistorySpoolTest.moc"
