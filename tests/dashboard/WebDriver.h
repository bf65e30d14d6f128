// SPDX-License-Identifier: Apache-2.0
#pragma once

// Debian's chromedriver and headless Chromium, driven over the WebDriver protocol (plain HTTP
// on loopback): open a page, run a script in it, take a screenshot, find what it downloaded.

#include <QDir>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTest>

#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

class WebDriver {
 public:
  // Starts chromedriver on a free loopback port, with HOME and TMPDIR in `scratch` so that
  // the browser leaves nothing behind it, and opens a session (a 1366x768 window).
  explicit WebDriver(const std::string& scratch) : downloads_(scratch + "/downloads") {
    port_ = FreePort();
    QDir().mkpath(QString::fromStdString(downloads_));
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"HOME", "TMPDIR", "XDG_CONFIG_HOME", "XDG_CACHE_HOME"})
      environment.insert(name, QString::fromStdString(scratch));
    driver_.setProcessEnvironment(environment);
    driver_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    driver_.setStandardOutputFile(QString::fromStdString(scratch + "/chromedriver.out"));
    driver_.start("chromedriver",
                  {"--port=" + QString::number(port_),
                   "--log-path=" + QString::fromStdString(scratch + "/chromedriver.log")});
    if (!driver_.waitForStarted(30000)) {
      problem_ = "chromedriver did not start (Debian package chromium-driver)";
      return;
    }
    client_ = std::make_unique<httplib::Client>("127.0.0.1", port_);
    client_->set_read_timeout(120, 0);
    client_->set_connection_timeout(5, 0);
    const bool ready = QTest::qWaitFor(
        [&] {
          const auto status = client_->Get("/status");
          return status && status->status == 200 &&
                 nlohmann::json::parse(status->body, nullptr, false)["value"]["ready"] == true;
        },
        60000);
    if (!ready) {
      problem_ = "chromedriver did not get ready";
      return;
    }
    const nlohmann::json capabilities = {
        {"capabilities",
         {{"alwaysMatch",
           {{"browserName", "chrome"},
            {"goog:chromeOptions",
             {{"binary", "/usr/bin/chromium"},
              {"prefs",
               {{"download.default_directory", downloads_},
                {"download.prompt_for_download", false}}},
              {"args",
               {"--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                "--no-first-run", "--disable-extensions", "--disable-background-networking",
                "--disable-component-update", "--disable-sync", "--disable-breakpad",
                "--window-size=1366,768",
                "--user-data-dir=" + scratch + "/chromium-profile"}}}}}}}}};
    const auto session = client_->Post("/session", capabilities.dump(), "application/json");
    if (!session || session->status != 200) {
      problem_ = "no browser session: " + (session ? session->body : std::string("no answer"));
      return;
    }
    session_ = nlohmann::json::parse(session->body)["value"]["sessionId"].get<std::string>();
  }

  ~WebDriver() {
    if (!session_.empty()) client_->Delete("/session/" + session_);
    if (driver_.state() != QProcess::NotRunning) {
      driver_.terminate();
      if (!driver_.waitForFinished(30000)) {
        driver_.kill();
        driver_.waitForFinished(30000);
      }
    }
  }

  bool ready() const { return !session_.empty(); }
  // Where the browser saves what it downloads.
  const std::string& downloads() const { return downloads_; }
  const std::string& problem() const { return problem_; }

  bool open(const std::string& url) { return Command("/url", {{"url", url}}).has_value(); }

  // Runs `script` (a function body; its arguments are arguments[0...]) and returns its value.
  nlohmann::json run(const std::string& script, nlohmann::json args = nlohmann::json::array()) {
    const auto value = Command("/execute/sync", {{"script", script}, {"args", std::move(args)}});
    return value.value_or(nlohmann::json());
  }

  // Waits until `script` returns true (it is asked again and again, up to `timeoutMs`).
  bool waitUntil(const std::string& script, nlohmann::json args = nlohmann::json::array(),
                 int timeoutMs = 60000) {
    return QTest::qWaitFor([&] { return run(script, args) == true; }, timeoutMs);
  }

  // Saves a PNG of the window.
  bool screenshot(const std::string& path) {
    const auto response = client_->Get("/session/" + session_ + "/screenshot");
    if (!response || response->status != 200) return false;
    const std::string base64 = nlohmann::json::parse(response->body)["value"].get<std::string>();
    const QByteArray png = QByteArray::fromBase64(QByteArray::fromStdString(base64));
    std::ofstream out(path, std::ios::binary);
    out.write(png.constData(), png.size());
    return static_cast<bool>(out);
  }

 private:
  std::optional<nlohmann::json> Command(const std::string& path, const nlohmann::json& body) {
    const auto response =
        client_->Post("/session/" + session_ + path, body.dump(), "application/json");
    if (!response || response->status != 200) {
      if (response)
        qWarning("webdriver %s: %s", path.c_str(), response->body.substr(0, 300).c_str());
      return std::nullopt;
    }
    return nlohmann::json::parse(response->body, nullptr, false)["value"];
  }

  static uint16_t FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
  }

  std::string downloads_;
  QProcess driver_;
  uint16_t port_ = 0;
  std::unique_ptr<httplib::Client> client_;
  std::string session_;
  std::string problem_;
};
