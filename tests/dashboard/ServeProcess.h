// SPDX-License-Identifier: Apache-2.0
#pragma once

// `uvq serve` as a process of the build: started with its arguments, its URL read from the line
// it prints once it listens; and `uvq ARGS` run to its end.

#include <QProcess>
#include <QTest>

#include <string>

inline QString UvqProgram() {
  return qEnvironmentVariable("UVQ_BUILD_DIR") + "/uvq";
}

// `uvq ARGS` run to its end: its standard output.
inline std::string UvqOutput(const QStringList& arguments) {
  QProcess process;
  process.start(UvqProgram(), arguments);
  if (!process.waitForFinished(60000)) {
    process.kill();
    process.waitForFinished();
    return {};
  }
  return process.readAllStandardOutput().toStdString();
}

class ServeProcess {
 public:
  explicit ServeProcess(const QStringList& arguments) {
    process_.setProcessChannelMode(QProcess::SeparateChannels);
    process_.start(UvqProgram(), QStringList{"serve"} + arguments);
    // "uvq serve: http://127.0.21.1:PORT/ (...)"
    (void)QTest::qWaitFor(
        [&] {
          output_ += process_.readAllStandardOutput().toStdString();
          return output_.find("/ (") != std::string::npos ||
                 process_.state() == QProcess::NotRunning;
        },
        60000);
    const size_t at = output_.find("http://");
    if (at != std::string::npos) url_ = output_.substr(at, output_.find("/ (", at) - at + 1);
    const size_t colon = url_.rfind(':');
    if (colon != std::string::npos)
      port_ = static_cast<uint16_t>(std::stoi(url_.substr(colon + 1)));
  }
  ~ServeProcess() {
    if (process_.state() != QProcess::NotRunning) {
      process_.terminate();
      if (!process_.waitForFinished(30000)) {
        process_.kill();
        process_.waitForFinished(30000);
      }
    }
  }
  ServeProcess(const ServeProcess&) = delete;
  ServeProcess& operator=(const ServeProcess&) = delete;

  bool listening() const { return port_ != 0; }
  const std::string& url() const { return url_; }  // "http://127.0.21.1:PORT/"
  uint16_t port() const { return port_; }
  std::string problem() { return output_ + process_.readAllStandardError().toStdString(); }
  QProcess& process() { return process_; }

 private:
  QProcess process_;
  std::string output_;
  std::string url_;
  uint16_t port_ = 0;
};
