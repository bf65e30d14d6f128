// SPDX-License-Identifier: Apache-2.0
#pragma once

// New, empty databases of either engine for the store suites: SQLite files in a temporary folder,
// PostgreSQL databases on the CTest fixture's server (or on one of the suite's own when the
// suite runs alone). A suite declares its engines with AddEngines() in initTestCase_data().

#include <QTemporaryDir>
#include <QTest>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>

#include <unistd.h>

#include "PgServer.h"

class TestDatabases {
 public:
  static void AddEngines() {
    QTest::addColumn<QString>("kind");
    QTest::newRow("sqlite") << "sqlite";
    QTest::newRow("postgres") << "postgres";
  }

  // Empty when both engines can be used, else what is missing.
  std::string start() {
    if (!scratch_.isValid()) return "no temporary folder";
    if (const char* file = std::getenv("UVQ_TEST_PG_FOLDER_FILE")) {
      std::ifstream(file) >> pgFolder_;
    } else {
      ownServer_ = std::make_unique<PgServer>();
      if (!ownServer_->available()) return ownServer_->problem();
      pgFolder_ = ownServer_->folder();
    }
    return pgFolder_.empty() ? "no PostgreSQL server" : std::string();
  }

  // The engine of the running case's row: "sqlite" or "postgres".
  static QString Kind() {
    QFETCH_GLOBAL(QString, kind);
    return kind;
  }

  // A new, empty database of the running case's engine; its "db" setting (empty on failure).
  std::string newDb() {
    // Named after the process too: suites share the fixture's server.
    lastName_ = "d" + std::to_string(::getpid()) + "_" + std::to_string(++counter_);
    if (Kind() == "sqlite") return file(lastName_ + ".sqlite3");
    if (!sql("postgres", "CREATE DATABASE " + lastName_ + ";")) return {};
    return "postgresql://uvq@/" + lastName_ + "?host=" + pgFolder_;
  }
  // The PostgreSQL name of the last database made.
  const std::string& lastName() const { return lastName_; }

  // A path in the suite's temporary folder.
  std::string file(const std::string& name) const {
    return scratch_.filePath(QString::fromStdString(name)).toStdString();
  }
  const std::string& pgFolder() const { return pgFolder_; }

  // Runs SQL as role uvq in a PostgreSQL database; true when every statement succeeded.
  bool sql(const std::string& database, const std::string& statements) const {
    const std::string command =
        std::string("bash '") + UVQ_PG_TEST_SERVER + "' psql " + pgFolder_ + " " + database;
    FILE* pipe = ::popen(command.c_str(), "w");
    if (!pipe) return false;
    std::fputs(statements.c_str(), pipe);
    return ::pclose(pipe) == 0;
  }

 private:
  QTemporaryDir scratch_;
  std::unique_ptr<PgServer> ownServer_;
  std::string pgFolder_;
  std::string lastName_;
  int counter_ = 0;
};
