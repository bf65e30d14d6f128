// SPDX-License-Identifier: Apache-2.0
// Creating a rollout from its order, on a scratch SQLite store: the groups in the order given
// with the image's SHA-256, and each refusal typed before (or as) the store is asked. Targets
// are 127.0.75.x addresses; nothing is sent.
#include <QtTest>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "fleet/RolloutCreate.h"
#include "fleet/RolloutStation.h"
#include "fleet/RunLog.h"
#include "recording/StationFacts.h"

using namespace uvq;
using namespace uvq::fleet;
using Refusal = CreatedRollout::Refusal;

namespace {

// An image of `records` whole 24-byte records.
std::string WriteImage(const QTemporaryDir& dir, const char* name, int records, char fill) {
  const std::string path = dir.filePath(name).toStdString();
  std::ofstream(path, std::ios::binary) << std::string(static_cast<size_t>(records) * 24, fill);
  return path;
}

RolloutOrder Order(const std::string& name, const std::string& image, const std::string& range) {
  RolloutOrder order;
  order.name = name;
  order.image = image;
  order.range = range;
  order.createdBy = "bench";
  order.actor = {"tester", "bench"};
  return order;
}

// A rollout whose stored copy is the file's bytes at `path` as they are now.
rollouts::RolloutDefinition StoredFrom(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  auto bytes = std::make_shared<std::vector<uint8_t>>(std::istreambuf_iterator<char>(in),
                                                      std::istreambuf_iterator<char>());
  rollouts::RolloutDefinition definition;
  definition.name = "spring";
  definition.imagePath = path;
  definition.imageSha256 = Sha256Of(*bytes);
  definition.image = bytes;
  return definition;
}

}  // namespace

class RolloutCreateTest : public QObject {
  Q_OBJECT

  QTemporaryDir dir_;
  std::unique_ptr<rollouts::RolloutStore> store_;

 private slots:
  void init() {
    QVERIFY(dir_.isValid());
    store_ = rollouts::OpenRolloutStore(
        dir_.filePath(QString("rollouts-%1.sqlite3").arg(QTest::currentTestFunction()))
            .toStdString());
  }

  // Before a station sends, the file at the rollout's path is compared with the stored copy:
  // the same bytes pass; other bytes of the same length, something that is no file, or a
  // damaged stored copy refuse; a file that is gone passes with a notice (the copy is sent).
  void imageFileIsComparedWithTheStoredCopy() {
    const std::string path = WriteImage(dir_, "cmp.cry", 300, 'c');
    rollouts::RolloutDefinition definition = StoredFrom(path);
    NoticesOnly notices;
    QVERIFY(!RolloutImageRefusal(definition, notices));

    WriteImage(dir_, "cmp.cry", 300, 'd');
    const auto changed = RolloutImageRefusal(definition, notices);
    QVERIFY(changed && changed->find("changed since rollout 'spring'") != std::string::npos);
    QVERIFY(changed->find(StoredFrom(path).imageSha256) != std::string::npos);

    QVERIFY(std::filesystem::remove(path));
    QVERIFY(std::filesystem::create_directory(path));
    const auto notAFile = RolloutImageRefusal(definition, notices);
    QVERIFY(notAFile && notAFile->ends_with("it cannot be compared with the rollout's image"));

    QVERIFY(std::filesystem::remove(path));
    QVERIFY(notices.notices.empty());
    QVERIFY(!RolloutImageRefusal(definition, notices));
    QCOMPARE(notices.notices.size(), size_t{1});
    QVERIFY(notices.notices[0].find("is gone") != std::string::npos);

    auto damaged = std::make_shared<std::vector<uint8_t>>(*definition.image);
    (*damaged)[7] ^= 1;
    definition.image = damaged;
    const auto refused = RolloutImageRefusal(definition, notices);
    QVERIFY(refused && refused->find("database copy is damaged") != std::string::npos);
  }

  // The range's addresses first, then the targets, in groups of the size asked; the store
  // keeps the image's SHA-256, and the answer counts the groups.
  void groupsInTheOrderGiven() {
    RolloutOrder order =
        Order("spring", WriteImage(dir_, "a.cry", 4, 'a'), "127.0.75.1-127.0.75.4");
    order.createdBy.clear();  // the host's name
    order.targets.push_back({"127.0.75.9", std::string("0102")});
    order.groupSize = 2;
    const CreatedRollout created = CreateRollout(order, *store_);
    QCOMPARE(int(created.refusal), int(Refusal::None));
    QCOMPARE(created.groups, 3);
    QCOMPARE(created.imageBytes, size_t{96});
    const auto stored = store_->load("spring");
    QVERIFY(stored.has_value());
    QCOMPARE(stored->imageSha256.size(), size_t{64});
    QCOMPARE(stored->createdBy, recording::HostName());
    QCOMPARE(stored->targets.size(), size_t{5});
    QCOMPARE(stored->targets[0].target, std::string("127.0.75.1"));
    QCOMPARE(stored->targets[4].target, std::string("127.0.75.9"));
    QCOMPARE(stored->targets[4].unitId, std::string("0102"));
    QCOMPARE(stored->targets[4].group, 2);
  }

  // What the creator got wrong is refused before the store is asked; what the store refuses
  // (a name in use, units another unfinished rollout sends another image to) comes back typed.
  void refusalsAreTyped() {
    const std::string image = WriteImage(dir_, "b.cry", 2, 'b');
    QCOMPARE(int(CreateRollout(Order("r1", image, "127.0.75.9-127.0.75.1"), *store_).refusal),
             int(Refusal::BadRange));
    QCOMPARE(int(CreateRollout(Order("r1", image, ""), *store_).refusal), int(Refusal::NoUnits));
    for (const std::string& name : {std::string(), std::string(65, 'n'), std::string("-r"),
                                    std::string("two words"), std::string("tab\there")})
      QCOMPARE(int(CreateRollout(Order(name, image, "127.0.75.1-127.0.75.2"), *store_).refusal),
               int(Refusal::BadName));
    QCOMPARE(int(CreateRollout(Order(std::string(64, 'n'), image, "127.0.75.7-127.0.75.8"), *store_)
                     .refusal),
             int(Refusal::None));
    RolloutOrder twice = Order("r1", image, "127.0.75.1-127.0.75.2");
    twice.targets.push_back({"127.0.75.2", std::nullopt});
    const CreatedRollout duplicate = CreateRollout(twice, *store_);
    QCOMPARE(int(duplicate.refusal), int(Refusal::Usage));
    QVERIFY(duplicate.problem.find("127.0.75.2") != std::string::npos);
    const std::string partial = dir_.filePath("partial.cry").toStdString();
    std::ofstream(partial, std::ios::binary) << std::string(30, 'p');
    QCOMPARE(int(CreateRollout(Order("r1", partial, "127.0.75.1-127.0.75.2"), *store_).refusal),
             int(Refusal::Image));
    QVERIFY(!store_->load("r1").has_value());

    QCOMPARE(int(CreateRollout(Order("r1", image, "127.0.75.1-127.0.75.2"), *store_).refusal),
             int(Refusal::None));
    QCOMPARE(int(CreateRollout(Order("r1", image, "127.0.75.5-127.0.75.6"), *store_).refusal),
             int(Refusal::NameInUse));
    const std::string other = WriteImage(dir_, "c.cry", 2, 'c');
    const CreatedRollout conflict =
        CreateRollout(Order("r2", other, "127.0.75.2-127.0.75.3"), *store_);
    QCOMPARE(int(conflict.refusal), int(Refusal::Conflict));
    QCOMPARE(conflict.conflict, std::string("r1"));
  }

  // A station's or a run's "A-B": both ends, in host order, the first not after the last.
  void addressRangeHasTwoEndsInOrder() {
    const auto range = ParseAddressRange("127.0.75.250-127.0.76.3");
    QVERIFY(range.has_value());
    QCOMPARE(range->second - range->first, 9u);
    QVERIFY(ParseAddressRange("127.0.75.1-127.0.75.1").has_value());
    for (const char* bad : {"127.0.75.9-127.0.75.1", "127.0.75.1", "127.0.75.1-", "-127.0.75.1",
                            "127.0.75.1-host", "127.0.75.1-127.0.75.2-127.0.75.3"})
      QVERIFY2(!ParseAddressRange(bad), bad);
  }
};

QTEST_GUILESS_MAIN(RolloutCreateTest)
#include "RolloutCreateTest.moc"
