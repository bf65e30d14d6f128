#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <thread>
#include <vector>

#include "platform/PosixFileSystem.h"

using uvq::platform::PosixFileSystem;

namespace {

std::vector<uint8_t> Bytes(size_t count) {
  std::vector<uint8_t> bytes(count);
  std::iota(bytes.begin(), bytes.end(), uint8_t{1});
  return bytes;
}

void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

}  // namespace

class PosixFileSystemTest : public QObject {
  Q_OBJECT

  QTemporaryDir dir_;
  std::string path(const char* name) { return dir_.filePath(name).toStdString(); }

 private slots:
  void initTestCase() { QVERIFY(dir_.isValid()); }

  void readsRecordsThenEndOfFile() {
    const auto bytes = Bytes(60);
    WriteFile(path("image.cry"), bytes);
    PosixFileSystem files;
    auto file = files.openForReading(path("image.cry"));
    QVERIFY(file);
    QCOMPARE(file->size(), int64_t(60));
    std::array<uint8_t, 24> record{};
    QCOMPARE(file->read(record), size_t(24));
    QVERIFY(std::equal(record.begin(), record.end(), bytes.begin()));
    QCOMPARE(file->read(record), size_t(24));
    QVERIFY(std::equal(record.begin(), record.end(), bytes.begin() + 24));
    QCOMPARE(file->read(record), size_t(12));
    QVERIFY(std::equal(record.begin(), record.begin() + 12, bytes.begin() + 48));
    QCOMPARE(file->read(record), size_t(0));
    QCOMPARE(file->read(std::span<uint8_t>{}), size_t(0));
  }

  void opensReadOnlyFiles() {
    // Release shares hand out read-only images; these must still open and read. Root ignores
    // mode bits, so the test also checks that no write access was asked for.
    WriteFile(path("readonly.cry"), Bytes(30));
    QCOMPARE(::chmod(path("readonly.cry").c_str(), 0444), 0);
    PosixFileSystem files;
    auto file = files.openForReading(path("readonly.cry"));
    QVERIFY(file);
    std::array<uint8_t, 24> record{};
    QCOMPARE(file->read(record), size_t(24));
    QCOMPARE(file->size(), int64_t(30));
  }

  void neverOpensForWriting() {
    WriteFile(path("watched.cry"), Bytes(24));
    PosixFileSystem files;
    auto file = files.openForReading(path("watched.cry"));
    QVERIFY(file);
    // The descriptor the file holds is the newest one; its access mode must be read-only.
    bool sawReadOnly = false;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fdinfo")) {
      std::error_code error;
      const auto target =
          std::filesystem::read_symlink("/proc/self/fd/" + entry.path().filename().string(), error);
      if (error || target != std::filesystem::path(path("watched.cry"))) continue;
      std::ifstream info(entry.path());
      std::string key;
      std::string flags;
      while (info >> key >> flags) {
        if (key == "flags:") break;
      }
      QCOMPARE(std::stoi(flags, nullptr, 8) & 03, 0);  // O_RDONLY
      sawReadOnly = true;
    }
    QVERIFY(sawReadOnly);
  }

  void missingFileGivesNull() {
    PosixFileSystem files;
    QVERIFY(!files.openForReading(path("missing.cry")));
    QVERIFY(!files.openForReading(""));
  }

  void directoryOpensButReadThrows() {
    PosixFileSystem files;
    auto file = files.openForReading(dir_.path().toStdString());
    QVERIFY(file);
    std::array<uint8_t, 24> record{};
    try {
      file->read(record);
      QFAIL("reading a directory did not throw");
    } catch (const uvq::PlatformError& error) {
      QCOMPARE(std::string(error.what()), std::string(std::strerror(EISDIR)));
    }
  }

  void truncatedAfterOpenReadsShortThenEnd() {
    WriteFile(path("shrinking.cry"), Bytes(100));
    PosixFileSystem files;
    auto file = files.openForReading(path("shrinking.cry"));
    QVERIFY(file);
    QCOMPARE(::truncate(path("shrinking.cry").c_str(), 30), 0);
    QCOMPARE(file->size(), int64_t(30));
    std::array<uint8_t, 24> record{};
    QCOMPARE(file->read(record), size_t(24));
    QCOMPARE(file->read(record), size_t(6));
    QCOMPARE(file->read(record), size_t(0));
  }

  void fillsBufferAcrossShortReads() {
    // A pipe hands data over in pieces; read() must keep going until the buffer is full.
    int fds[2];
    QCOMPARE(::pipe(fds), 0);
    const std::string pipePath = "/proc/self/fd/" + std::to_string(fds[0]);
    PosixFileSystem files;
    auto file = files.openForReading(pipePath);
    ::close(fds[0]);
    QVERIFY(file);
    const auto bytes = Bytes(24);
    QCOMPARE(::write(fds[1], bytes.data(), 10), ssize_t(10));
    // The rest arrives later, so the first read() can only see the first 10 bytes.
    std::thread writer([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      [[maybe_unused]] const ssize_t written = ::write(fds[1], bytes.data() + 10, 14);
      ::close(fds[1]);
    });
    std::array<uint8_t, 24> record{};
    const size_t got = file->read(record);
    writer.join();
    QCOMPARE(got, size_t(24));
    QVERIFY(std::equal(record.begin(), record.end(), bytes.begin()));
    QCOMPARE(file->read(record), size_t(0));
  }

  void closesItsDescriptor() {
    WriteFile(path("closed.cry"), Bytes(24));
    const auto countOpen = [] {
      return std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                           std::filesystem::directory_iterator{});
    };
    const auto before = countOpen();
    {
      PosixFileSystem files;
      auto file = files.openForReading(path("closed.cry"));
      QVERIFY(file);
      QCOMPARE(countOpen(), before + 1);
    }
    QCOMPARE(countOpen(), before);
  }
};

QTEST_GUILESS_MAIN(PosixFileSystemTest)
#include "PosixFileSystemTest.moc"
