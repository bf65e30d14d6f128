// SPDX-License-Identifier: Apache-2.0
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
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

using uvq::platform::OpenRecordFile;
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

// The open flags (octal in /proc/self/fdinfo) of this process's descriptor on `path`, or -1.
int FlagsOfDescriptorOn(const std::string& path) {
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fdinfo")) {
    std::error_code error;
    const auto target =
        std::filesystem::read_symlink("/proc/self/fd/" + entry.path().filename().string(), error);
    if (error || target != std::filesystem::path(path)) continue;
    std::ifstream info(entry.path());
    std::string key;
    std::string flags;
    while (info >> key >> flags) {
      if (key == "flags:") return std::stoi(flags, nullptr, 8);
    }
  }
  return -1;
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
    auto file = files.openForReading(path("image.cry")).file;
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
    auto file = files.openForReading(path("readonly.cry")).file;
    QVERIFY(file);
    std::array<uint8_t, 24> record{};
    QCOMPARE(file->read(record), size_t(24));
    QCOMPARE(file->size(), int64_t(30));
  }

  void opensReadOnlyAndBlocking() {
    WriteFile(path("watched.cry"), Bytes(24));
    PosixFileSystem files;
    auto file = files.openForReading(path("watched.cry")).file;
    QVERIFY(file);
    const int flags = FlagsOfDescriptorOn(path("watched.cry"));
    QVERIFY(flags >= 0);
    QCOMPARE(flags & O_ACCMODE, O_RDONLY);
    // Opened without waiting, then switched back, so reads behave as on any file.
    QCOMPARE(flags & O_NONBLOCK, 0);
  }

  void missingFileGivesNullAndTheSystemsReason() {
    PosixFileSystem files;
    QVERIFY(!files.openForReading(path("missing.cry")).file);
    QVERIFY(!files.openForReading("").file);
    const uvq::platform::OpenedRecordFile opened = OpenRecordFile(path("missing.cry"));
    QVERIFY(!opened.file);
    QCOMPARE(opened.problem, std::string(std::strerror(ENOENT)));
  }

  void onlyRegularFilesAreTaken() {
    // A FIFO with no writer: a blocking open would never return.
    QCOMPARE(::mkfifo(path("fifo.cry").c_str(), 0600), 0);
    // A device that never ends, reached through a link with the image's name.
    std::filesystem::create_symlink("/dev/zero", path("zeros.cry"));
    for (const std::string& refused :
         {path("fifo.cry"), path("zeros.cry"), dir_.path().toStdString()}) {
      const uvq::platform::OpenedRecordFile opened = OpenRecordFile(refused);
      QVERIFY2(!opened.file, refused.c_str());
      QVERIFY(opened.notRegularFile);
      QVERIFY(opened.problem.ends_with(", not a regular file"));
      const uvq::OpenedFile throughPort = PosixFileSystem().openForReading(refused);
      QVERIFY(!throughPort.file);
      QVERIFY(throughPort.notRegularFile);
      QCOMPARE(throughPort.problem, opened.problem);
      QCOMPARE(FlagsOfDescriptorOn(refused), -1);  // not left open
    }

    // A link to a regular file is followed.
    WriteFile(path("real.cry"), Bytes(24));
    std::filesystem::create_symlink(path("real.cry"), path("link.cry"));
    const uvq::platform::OpenedRecordFile linked = OpenRecordFile(path("link.cry"));
    QVERIFY(linked.file);
    QVERIFY(linked.problem.empty());
    QCOMPARE(linked.file->size(), int64_t(24));
  }

  void failingReadThrowsTheSystemsText() {
    // Directories are refused at open; a descriptor on one is the simplest read that fails.
    uvq::platform::PosixRecordFile file(::open(dir_.path().toUtf8().constData(), O_RDONLY));
    std::array<uint8_t, 24> record{};
    try {
      file.read(record);
      QFAIL("reading a directory did not throw");
    } catch (const uvq::PlatformError& error) {
      QCOMPARE(std::string(error.what()), std::string(std::strerror(EISDIR)));
    }
  }

  void truncatedAfterOpenReadsShortThenEnd() {
    WriteFile(path("shrinking.cry"), Bytes(100));
    PosixFileSystem files;
    auto file = files.openForReading(path("shrinking.cry")).file;
    QVERIFY(file);
    QCOMPARE(::truncate(path("shrinking.cry").c_str(), 30), 0);
    QCOMPARE(file->size(), int64_t(30));
    std::array<uint8_t, 24> record{};
    QCOMPARE(file->read(record), size_t(24));
    QCOMPARE(file->read(record), size_t(6));
    QCOMPARE(file->read(record), size_t(0));
  }

  void fillsBufferAcrossShortReads() {
    // A pipe hands data over in pieces; read() must keep going until the buffer is full. Pipes
    // are not opened as images, so the descriptor is handed to the file directly.
    int fds[2];
    QCOMPARE(::pipe(fds), 0);
    uvq::platform::PosixRecordFile file(fds[0]);
    const auto bytes = Bytes(24);
    QCOMPARE(::write(fds[1], bytes.data(), 10), ssize_t(10));
    // The rest arrives later, so the first read() can only see the first 10 bytes.
    std::thread writer([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      [[maybe_unused]] const ssize_t written = ::write(fds[1], bytes.data() + 10, 14);
      ::close(fds[1]);
    });
    std::array<uint8_t, 24> record{};
    const size_t got = file.read(record);
    writer.join();
    QCOMPARE(got, size_t(24));
    QVERIFY(std::equal(record.begin(), record.end(), bytes.begin()));
    QCOMPARE(file.read(record), size_t(0));
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
      auto file = files.openForReading(path("closed.cry")).file;
      QVERIFY(file);
      QCOMPARE(countOpen(), before + 1);
    }
    QCOMPARE(countOpen(), before);
  }
};

QTEST_GUILESS_MAIN(PosixFileSystemTest)
#include "PosixFileSystemTest.moc"
