// SPDX-License-Identifier: Apache-2.0
#pragma once

// A throw-away PostgreSQL server for a suite, through pg-test-server.sh: started by the
// constructor, removed (stopped, folder deleted) by the destructor. Suites link nothing for it;
// they define UVQ_PG_TEST_SERVER as the script's path (tests/history/CMakeLists.txt shows how).

#include <cstdio>
#include <string>

class PgServer {
 public:
  PgServer() {
    folder_ = Run("start", status_);
    if (status_ != 0) {
      problem_ = "the test PostgreSQL server did not start (pg-test-server.sh start)";
      folder_.clear();
    }
  }
  ~PgServer() {
    if (!folder_.empty()) Run("remove " + folder_, status_);
  }
  PgServer(const PgServer&) = delete;
  PgServer& operator=(const PgServer&) = delete;

  bool available() const { return !folder_.empty(); }
  const std::string& problem() const { return problem_; }
  // The folder of its socket (and data).
  const std::string& folder() const { return folder_; }

  // postgresql://uvq@/DATABASE?host=FOLDER (role uvq, trusted).
  std::string url(const std::string& database = "postgres") const {
    return "postgresql://uvq@/" + database + "?host=" + folder_;
  }

  // Stops the server and waits until it is down; start() brings it back and waits until it answers.
  bool stop() { return Run("stop " + folder_, status_), status_ == 0; }
  bool start() { return Run("restart " + folder_, status_), status_ == 0; }

  // Runs SQL as role uvq in DATABASE; true when every statement succeeded.
  bool sql(const std::string& database, const std::string& statements) {
    const std::string command =
        std::string("bash '") + UVQ_PG_TEST_SERVER + "' psql " + folder_ + " " + database;
    FILE* pipe = ::popen(command.c_str(), "w");
    if (!pipe) return false;
    std::fputs(statements.c_str(), pipe);
    return ::pclose(pipe) == 0;
  }
  bool createDatabase(const std::string& name) {
    return sql("postgres", "CREATE DATABASE " + name + ";");
  }

 private:
  static std::string Run(const std::string& arguments, int& status) {
    const std::string command = std::string("bash '") + UVQ_PG_TEST_SERVER + "' " + arguments;
    std::string out;
    status = -1;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return out;
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, pipe)) out += buffer;
    status = ::pclose(pipe);
    while (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
  }

  std::string folder_;
  std::string problem_;
  int status_ = 0;
};
