// SPDX-License-Identifier: Apache-2.0
#include "dashboard/DashboardServer.h"

#include <httplib.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <limits>
#include <mutex>
#include <nlohmann/json.hpp>
#include <type_traits>
#include <unordered_map>

#include "dashboard/AccessToken.h"
#include "dashboard/ConnectionThreads.h"
#include "dashboard/MetricsText.h"
#include "dashboard/PageFiles.h"
#include "dashboard/QueryChecks.h"
#include "dashboard/StoreWorker.h"
#include "reports/RecordJson.h"
#include "reports/ReportFormats.h"
#include "store/db/RedactedUrl.h"
#include "store/history/HistoryTime.h"
#include "store/history/OpenHistoryStore.h"

namespace uvq::dashboard {

using nlohmann::json;
using reports::ActionRecordJson;
using reports::AttemptFiguresJson;
using reports::HistoryRowJson;
using reports::JsonText;
using reports::RolloutStationJson;
using reports::RolloutStatusJson;
using reports::RolloutSummaryJson;
using reports::RolloutUnitJson;
using reports::UnitStateJson;

namespace {

// Connections: each on its own thread up to this many (idle ones end after the keep-alive).
constexpr size_t kMaxConnectionThreads = 2048;
constexpr time_t kReadTimeoutSeconds = 5;
constexpr time_t kWriteTimeoutSeconds = 5;
constexpr time_t kKeepAliveSeconds = 2;
constexpr size_t kKeepAliveRequests = 100;
// Requests carry no body worth more than this (actions take none).
constexpr size_t kMaxPayloadBytes = 4096;
// An answer is served again to whoever asks within this time, so a wall of viewers polling
// every second asks the database about once a second whatever their number.
constexpr auto kAnswerKept = std::chrono::milliseconds(500);
constexpr size_t kMaxKeptAnswers = 512;
// Bounds of the answers: rollouts listed, units listed in a rollout's status, rollouts whose
// stations the overview shows.
constexpr size_t kMaxRollouts = 200;
constexpr size_t kMaxStatusUnits = 500;
// The newest actions shown on a rollout's page.
constexpr int kMaxShownActions = 50;
constexpr size_t kMaxOverviewStatuses = 20;
// /metrics: the rollouts whose attempt durations it counts (unfinished first, then the newest),
// and how recent a station's sign of life must be for it to count as alive.
constexpr size_t kMaxMetricRollouts = 50;
constexpr history::UtcMillis kStationAliveMs = 30'000;
// The overview's and a station's figures cover the last day.
constexpr history::UtcMillis kStationFiguresMs = 86'400'000;

// The longest a request waits for the database (opening it, asking, the network), whatever the
// database does; then 503. Once it has been silent that long, requests are answered 503 at once
// and one of them asks again every few seconds, until the database answers.
constexpr auto kDatabaseWait = std::chrono::seconds(5);
constexpr auto kAskAgainAfter = std::chrono::seconds(3);
const char* const kDatabaseSilent =
    "the database did not answer within 5 s; the dashboard asks it again every 3 s";

// The deadline of the request this thread answers: every database call it makes shares it.
thread_local std::optional<std::chrono::steady_clock::time_point> requestDeadline;

struct RequestDeadline {
  RequestDeadline() { requestDeadline = std::chrono::steady_clock::now() + kDatabaseWait; }
  ~RequestDeadline() { requestDeadline.reset(); }
  RequestDeadline(const RequestDeadline&) = delete;
  RequestDeadline& operator=(const RequestDeadline&) = delete;
};

// Whether the database is known to be silent, and when it may be asked again.
class DatabaseHealth {
 public:
  // False while it is known to be silent and the next try is not due; a due try is let
  // through once, the others still refused until it has its answer.
  bool mayAsk() {
    std::lock_guard lock(mutex_);
    if (!silent_) return true;
    const auto now = std::chrono::steady_clock::now();
    if (now < askAgainAt_) return false;
    askAgainAt_ = now + kDatabaseWait + kAskAgainAfter;
    return true;
  }
  void silent() {
    std::lock_guard lock(mutex_);
    silent_ = true;
    askAgainAt_ = std::chrono::steady_clock::now() + kAskAgainAfter;
  }
  void answered() {
    std::lock_guard lock(mutex_);
    silent_ = false;
  }

 private:
  std::mutex mutex_;
  bool silent_ = false;
  std::chrono::steady_clock::time_point askAgainAt_;
};

const char* const kSecurityPolicy =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; "
    "connect-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

history::UtcMillis NowMillis() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

// An answer that ends the request: status and message.
struct Refusal {
  int status;
  std::string message;
};

bool IsFinal(rollouts::RolloutState state) {
  return state == rollouts::RolloutState::Cancelled || state == rollouts::RolloutState::Done;
}

// The Host header of a request to a loopback listener names loopback: a page of another site
// whose name was pointed at 127.0.0.1 (DNS rebinding) gets nothing.
bool IsLoopbackHost(const std::string& host) {
  std::string name = host;
  if (name.starts_with("[")) {
    const size_t close = name.find(']');
    return close != std::string::npos && name.substr(0, close + 1) == "[::1]";
  }
  name = name.substr(0, name.find(':'));
  if (name == "localhost") return true;
  return name.starts_with("127.") && name.find_first_not_of("0123456789.") == std::string::npos;
}

// The library listens with a backlog of a handful of connections: a burst of clients beyond it
// would wait for their connection attempts to be sent again (a second and more each) before the
// server even sees them. The backlog is raised on the socket once it listens.
class HttpServer : public httplib::Server {
 public:
  void raiseBacklog() {
    const socket_t socket = svr_sock_;
    if (socket != INVALID_SOCKET) ::listen(socket, SOMAXCONN);
  }
};

}  // namespace

std::string WithNetworkBounds(const std::string& db) {
  if (!db.starts_with("postgresql://") && !db.starts_with("postgres://")) return db;
  static const std::pair<const char*, const char*> kBounds[] = {
      {"connect_timeout", "5"}, {"tcp_user_timeout", "5000"}, {"keepalives", "1"},
      {"keepalives_idle", "5"}, {"keepalives_interval", "2"}, {"keepalives_count", "2"}};
  const size_t query = db.find('?');
  std::string bounded = db;
  char separator = query == std::string::npos ? '?' : '&';
  for (const auto& [name, value] : kBounds) {
    const std::string key = std::string(name) + "=";
    if (query != std::string::npos && (db.find("?" + key, query) != std::string::npos ||
                                       db.find("&" + key, query) != std::string::npos))
      continue;
    bounded += separator + key + value;
    separator = '&';
  }
  return bounded;
}

std::optional<std::string> StartRefusal(const DashboardConfig& config) {
  const bool tokens = config.token || !config.access.empty();
  if (!config.listen.loopback() && !tokens)
    return "listening on " + config.listen.text() +
           " (not loopback) needs --token-file: anyone who can reach the port would read the "
           "history";
  if (config.allowActions && !tokens)
    return "--allow-actions needs --token-file: actions are taken only with the token";
  return std::nullopt;
}

class DashboardServer::Impl {
 public:
  Impl(DashboardConfig config, HistoryOpener openHistory, RolloutOpener openRollouts)
      : config_(std::move(config)),
        history_(std::move(openHistory)),
        rollouts_(std::move(openRollouts)) {
    access_ = config_.access;
    if (config_.token) access_.push_back({"operator", AccessRole::Operator, *config_.token});
    Configure();
    Route();
  }

  bool bind(std::string& problem) {
    if (config_.listen.port == 0) {
      const int port = server_.bind_to_any_port(config_.listen.host);
      if (port > 0) port_ = static_cast<uint16_t>(port);
    } else if (server_.bind_to_port(config_.listen.host, config_.listen.port)) {
      port_ = config_.listen.port;
    }
    if (port_ == 0) {
      problem = "cannot listen on " + config_.listen.text() + " (in use, or not an address here)";
      return false;
    }
    server_.raiseBacklog();
    return true;
  }
  uint16_t port() const { return port_; }
  bool run() { return server_.listen_after_bind(); }
  void stop() { server_.stop(); }

 private:
  void Configure() {
    // The library's default lets a second server bind the same port (SO_REUSEPORT) and take
    // over part of the requests: here a port in use is refused, as any other server does.
    server_.set_socket_options([](socket_t socket) {
      const int yes = 1;
      ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    server_.new_task_queue = [] { return new ConnectionThreads(kMaxConnectionThreads); };
    server_.set_read_timeout(kReadTimeoutSeconds, 0);
    server_.set_write_timeout(kWriteTimeoutSeconds, 0);
    server_.set_keep_alive_timeout(kKeepAliveSeconds);
    server_.set_keep_alive_max_count(kKeepAliveRequests);
    server_.set_payload_max_length(kMaxPayloadBytes);
    server_.set_default_headers({{"Content-Security-Policy", kSecurityPolicy},
                                 {"X-Content-Type-Options", "nosniff"},
                                 {"X-Frame-Options", "DENY"},
                                 {"Referrer-Policy", "no-referrer"},
                                 {"Cache-Control", "no-store"}});
    server_.set_pre_routing_handler(
        [this](const httplib::Request& request, httplib::Response& response) {
          // A request without Content-Length or chunks has no body; the library would wait
          // for one until the connection closes, then refuse it: a POST with no body (curl -X
          // POST) is told so here.
          if (!request.has_header("Content-Length") && !request.has_header("Transfer-Encoding"))
            const_cast<httplib::Request&>(request).headers.emplace("Content-Length", "0");
          if (config_.listen.loopback() && !IsLoopbackHost(request.get_header_value("Host"))) {
            Answer(response, {421, "this dashboard answers to its loopback address only"});
            return httplib::Server::HandlerResponse::Handled;
          }
          return httplib::Server::HandlerResponse::Unhandled;
        });
    // No route: the same short answer whatever was asked, never the path echoed back.
    server_.set_error_handler([](const httplib::Request&, httplib::Response& response) {
      if (!response.body.empty()) return;
      const std::string text = response.status == 404 ? "not found" : "bad request";
      response.set_content(JsonText(json{{"error", text}}), "application/json");
    });
    server_.set_exception_handler(
        [](const httplib::Request&, httplib::Response& response, std::exception_ptr) {
          response.status = 500;
          response.set_content(JsonText(json{{"error", "internal error"}}), "application/json");
        });
  }

  void Route() {
    // Pages: one document; its script reads the path and asks the API.
    const auto page = [](const httplib::Request&, httplib::Response& response) {
      response.set_content(std::string(*PageFile("index.html")), "text/html; charset=utf-8");
    };
    server_.Get("/", page);
    server_.Get("/history", page);
    server_.Get("/units", page);
    server_.Get(R"(/units/[0-9A-Fa-f]{1,4})", page);
    server_.Get(R"(/units/[0-9A-Fa-f]{1,4}/[0-9]{1,3}\.[0-9]{1,3}\.[0-9]{1,3}\.[0-9]{1,3})", page);
    server_.Get(R"(/images/[0-9A-Fa-f]{64})", page);
    server_.Get("/rollout", page);
    server_.Get("/station", page);
    server_.Get(R"(/assets/(style\.css|app\.js))",
                [](const httplib::Request& request, httplib::Response& response) {
                  const std::string name = request.matches[1];
                  response.set_content(std::string(*PageFile(name)),
                                       name.ends_with(".css") ? "text/css; charset=utf-8"
                                                              : "text/javascript; charset=utf-8");
                });

    Api("/api/overview", [this](const httplib::Request& request) {
      if (!request.params.empty()) throw Refusal{400, "no query parameters here"};
      return json{{"db", history::DisplayedSetting(config_.db)},
                  {"actions", config_.allowActions},
                  {"token_needed", !config_.listen.loopback()},
                  {"poll_ms", config_.pollMs},
                  {"now", history::MillisIsoUtc(NowMillis())}};
    });
    Api("/api/rollouts", [this](const httplib::Request& request) {
      if (!request.params.empty()) throw Refusal{400, "no query parameters here"};
      return RolloutList();
    });
    Api("/api/rollout", [this](const httplib::Request& request) {
      const std::string name = RolloutOrRefuse(request, false).name;
      const auto status = WithRollouts([&](rollouts::RolloutStore& s) { return s.status(name); });
      if (!status) throw Refusal{404, "no such rollout"};
      json object = RolloutStatusJson(*status, kMaxStatusUnits);
      json actions = json::array();
      for (const rollouts::ActionRecord& action : WithRollouts(
               [&](rollouts::RolloutStore& s) { return s.actions(name, kMaxShownActions); }))
        actions.push_back(ActionRecordJson(action));
      object["actions"] = std::move(actions);
      object["now"] = history::MillisIsoUtc(NowMillis());
      return object;
    });
    Api("/api/rollout/units", [this](const httplib::Request& request) {
      const RolloutQuery query = RolloutOrRefuse(request, true);
      const std::string& name = query.name;
      const Page& page = query.page;
      json units = json::array();
      const auto list = WithRollouts(
          [&](rollouts::RolloutStore& s) { return s.units(name, page.offset, page.limit); });
      for (const rollouts::RolloutUnit& unit : list) units.push_back(RolloutUnitJson(unit));
      if (list.empty() && page.offset == 0 &&
          !WithRollouts([&](rollouts::RolloutStore& s) { return s.status(name).has_value(); }))
        throw Refusal{404, "no such rollout"};
      return json{{"offset", page.offset}, {"limit", page.limit}, {"units", std::move(units)}};
    });
    Api("/api/history", [this](const httplib::Request& request) {
      const history::HistoryFilter filter = FilterOrRefuse(request);
      json rows = json::array();
      for (const auto& row : WithHistory([&](history::HistoryStore& s) { return s.query(filter); }))
        rows.push_back(HistoryRowJson(row));
      return json{{"offset", filter.offset}, {"limit", filter.limit}, {"rows", std::move(rows)}};
    });
    Api("/api/units", [this](const httplib::Request& request) {
      const history::HistoryFilter filter = FilterOrRefuse(request);
      if (!filter.rollout.empty()) throw Refusal{400, "rollout filters the history, not the units"};
      json units = json::array();
      for (const auto& unit :
           WithHistory([&](history::HistoryStore& s) { return s.units(filter); }))
        units.push_back(UnitStateJson(unit));
      return json{{"offset", filter.offset}, {"limit", filter.limit}, {"units", std::move(units)}};
    });
    // A unit is its ID at its address: an ID alone lists its units (one per address).
    Api(R"(/api/units/([^/]{1,16}))", [this](const httplib::Request& request) {
      const auto id = UnitIdOf(request.matches[1]);
      if (!id) throw Refusal{404, "not found"};
      const Page page = PageOrRefuse(request);
      history::HistoryFilter filter;
      filter.unitId = *id;
      filter.offset = page.offset;
      filter.limit = page.limit;
      json units = json::array();
      for (const auto& unit :
           WithHistory([&](history::HistoryStore& s) { return s.units(filter); }))
        units.push_back(UnitStateJson(unit));
      return json{{"unit", *id},
                  {"offset", page.offset},
                  {"limit", page.limit},
                  {"units", std::move(units)}};
    });
    // What the pages draw: a rollout's attempts, every station's and one station's of the last
    // day.
    Api("/api/rollout/figures", [this](const httplib::Request& request) {
      const std::string name = RolloutOrRefuse(request, false).name;
      if (!WithRollouts([&](rollouts::RolloutStore& s) { return s.status(name); }))
        throw Refusal{404, "no such rollout"};
      history::FiguresFilter filter;
      filter.rollout = name;
      return AttemptFiguresJson(
          WithHistory([&](history::HistoryStore& s) { return s.attemptFigures(filter); }));
    });
    Api("/api/figures", [this](const httplib::Request& request) {
      if (!request.params.empty()) throw Refusal{400, "no query parameters here"};
      history::FiguresFilter filter;
      filter.since = NowMillis() - kStationFiguresMs;
      json figures = AttemptFiguresJson(
          WithHistory([&](history::HistoryStore& s) { return s.attemptFigures(filter); }));
      figures["since"] = history::MillisIsoUtc(*filter.since);
      return figures;
    });
    Api("/api/station/figures", [this](const httplib::Request& request) {
      std::string problem;
      const auto query = RolloutQueryOf(request.params, false, problem);
      if (!query) throw Refusal{400, "name must name a station (1 to 128 characters)"};
      history::FiguresFilter filter;
      filter.station = query->name;
      filter.since = NowMillis() - kStationFiguresMs;
      json figures = AttemptFiguresJson(
          WithHistory([&](history::HistoryStore& s) { return s.attemptFigures(filter); }));
      figures["since"] = history::MillisIsoUtc(*filter.since);
      return figures;
    });

    // The figures for a monitoring system to collect, in its plain text format.
    Read("/metrics", [this](const httplib::Request& request) {
      if (!request.params.empty()) throw Refusal{400, "no query parameters here"};
      return std::pair{MetricsText(Metrics()),
                       std::string("text/plain; version=0.0.4; charset=utf-8")};
    });

    // One unit: its state and its whole history, rows from before a re-addressing included.
    Api(R"(/api/units/([^/]{1,16})/([^/]{1,16}))", [this](const httplib::Request& request) {
      const auto id = UnitIdOf(request.matches[1]);
      const auto address = AddressOf(request.matches[2]);
      if (!id || !address) throw Refusal{404, "not found"};
      const Page page = PageOrRefuse(request);
      history::HistoryFilter filter;
      filter.unitId = *id;
      filter.unitAddress = *address;
      filter.offset = page.offset;
      filter.limit = page.limit;
      history::HistoryFilter one;
      one.unitId = *id;
      one.unitAddress = *address;
      one.limit = 1;
      json state = nullptr;
      json rows = json::array();
      WithHistory([&](history::HistoryStore& s) {
        if (const auto units = s.units(one); !units.empty()) state = UnitStateJson(units.front());
        for (const auto& row : s.query(filter)) rows.push_back(HistoryRowJson(row));
        return 0;
      });
      return json{{"unit", *id},           {"address", *address}, {"state", std::move(state)},
                  {"offset", page.offset}, {"limit", page.limit}, {"rows", std::move(rows)}};
    });

    // The sign-off reports as files to download, the same as `uvq report` writes.
    Download("/api/report/rollout", [this](const httplib::Request& request) {
      std::string problem;
      const auto query = RolloutReportQueryOf(request.params, problem);
      if (!query) throw Refusal{400, problem};
      const auto status =
          WithRollouts([&](rollouts::RolloutStore& s) { return s.status(query->name); });
      if (!status) throw Refusal{404, "no such rollout"};
      const auto units = WithRollouts([&](rollouts::RolloutStore& s) {
        return s.units(query->name, 0, std::numeric_limits<int>::max());
      });
      const auto attempts = WithHistory([&](history::HistoryStore& s) {
        return s.query(reports::RolloutAttemptsFilter(query->name));
      });
      return std::pair{reports::RolloutReportOf(status->summary, units, attempts, NowMillis()),
                       query->format};
    });
    Download("/api/report/units", [this](const httplib::Request& request) {
      std::string problem;
      const auto query = UnitsReportQueryOf(request.params, NowMillis(), problem);
      if (!query) throw Refusal{400, problem};
      std::optional<std::vector<history::UnitState>> carriers;
      if (const auto carrying = reports::CarriersFilter(query->filter))
        carriers = WithHistory([&](history::HistoryStore& s) { return s.units(*carrying); });
      const auto attempts = WithHistory([&](history::HistoryStore& s) {
        return s.query(reports::UnitsAttemptsFilter(query->filter));
      });
      return std::pair{reports::UnitsReportOf(query->filter, attempts, carriers, NowMillis()),
                       query->format};
    });

    server_.Post(R"(/api/rollout/(pause|resume|cancel|retry-failed|approve))",
                 [this](const httplib::Request& request, httplib::Response& response) {
                   Act(request, response);
                 });
  }

  // A GET of the API: checked, answered from what was kept when fresh, else asked.
  void Api(const std::string& pattern, std::function<json(const httplib::Request&)> handler) {
    Read(pattern, [handler](const httplib::Request& request) {
      return std::pair{JsonText(handler(request)), std::string("application/json")};
    });
  }

  // A GET read from the stores, answered with a body of its own type (refusals as JSON).
  using Reader = std::function<std::pair<std::string, std::string>(const httplib::Request&)>;
  void Read(const std::string& pattern, Reader handler) {
    server_.Get(pattern,
                [this, handler](const httplib::Request& request, httplib::Response& response) {
                  if (const auto refusal = ReadRefusal(request)) return Answer(response, *refusal);
                  const std::string key = request.path + "?" + QueryKey(request.params);
                  if (Kept(key, response)) return;
                  const RequestDeadline deadline;
                  try {
                    auto [body, type] = handler(request);
                    response.set_content(body, type);
                    Keep(key, std::move(body), std::move(type));
                  } catch (const Refusal& refusal) {
                    Answer(response, refusal);
                  } catch (const history::HistoryError& error) {
                    Answer(response, {503, history::WithoutPassword(error.what(), config_.db)});
                  }
                });
  }

  // A GET of a report: the file itself (never kept: each is made anew with its time), named
  // for the browser to save; refusals as JSON, as the API's.
  using ReportMaker =
      std::function<std::pair<reports::UnitReport, reports::ReportFormat>(const httplib::Request&)>;
  void Download(const std::string& pattern, ReportMaker make) {
    server_.Get(pattern,
                [this, make](const httplib::Request& request, httplib::Response& response) {
                  if (const auto refusal = ReadRefusal(request)) return Answer(response, *refusal);
                  const RequestDeadline deadline;
                  try {
                    const auto [report, format] = make(request);
                    // The page stands alone: its own style, nothing else, whoever opens it.
                    response.headers.erase("Content-Security-Policy");
                    response.set_header("Content-Security-Policy",
                                        "default-src 'none'; style-src 'unsafe-inline'");
                    response.set_header(
                        "Content-Disposition",
                        "attachment; filename=\"" + reports::ReportFileName(report, format) + "\"");
                    response.set_content(reports::ReportText(report, format),
                                         std::string(reports::ReportMimeType(format)));
                  } catch (const Refusal& refusal) {
                    Answer(response, refusal);
                  } catch (const history::HistoryError& error) {
                    Answer(response, {503, history::WithoutPassword(error.what(), config_.db)});
                  }
                });
  }

  void Act(const httplib::Request& request, httplib::Response& response) {
    if (!config_.allowActions || access_.empty())
      return Answer(response, {403,
                               "this dashboard is read-only (start uvq serve with "
                               "--allow-actions and --token-file to allow actions)"});
    const AccessEntry* who = MatchingEntry(request.get_header_value("Authorization"), access_);
    if (!who) return Answer(response, {401, "a valid token is needed for actions"});
    if (who->role != AccessRole::Operator)
      return Answer(response, {403, who->name + " may look but not act (a viewer's token)"});
    static const std::unordered_map<std::string, rollouts::RolloutAction> kActions = {
        {"pause", rollouts::RolloutAction::Pause},
        {"resume", rollouts::RolloutAction::Resume},
        {"cancel", rollouts::RolloutAction::Cancel},
        {"retry-failed", rollouts::RolloutAction::RetryFailed},
        {"approve", rollouts::RolloutAction::Approve}};
    const RequestDeadline deadline;
    try {
      const std::string name = RolloutOrRefuse(ActionParams(request), false).name;
      rollouts::ActionRequest asked;
      asked.action = kActions.at(request.matches[1]);
      asked.now = NowMillis();
      // Recorded under the token's name, from the client's address.
      asked.actor = {who->name, request.remote_addr};
      const rollouts::ActionResult result =
          WithRollouts([&](rollouts::RolloutStore& s) { return s.act(name, asked); });
      ForgetKept();
      if (!result.found) return Answer(response, {404, "no such rollout"});
      if (!result.applied) return Answer(response, {409, result.refusal});
      response.set_content(
          JsonText(json{{"state", std::string(rollouts::RolloutStateName(result.state))},
                        {"units_reset", result.unitsReset},
                        {"group", result.group + 1},
                        {"actor", who->name}}),
          "application/json");
    } catch (const Refusal& refusal) {
      Answer(response, refusal);
    } catch (const history::HistoryError& error) {
      Answer(response, {503, history::WithoutPassword(error.what(), config_.db)});
    }
  }

  // Beyond loopback the API answers only with the token.
  std::optional<Refusal> ReadRefusal(const httplib::Request& request) const {
    if (config_.listen.loopback()) return std::nullopt;
    if (MatchingEntry(request.get_header_value("Authorization"), access_)) return std::nullopt;
    return Refusal{401, "a valid token is needed"};
  }

  // An action is named by its path and query alone. Clients send it with no body, an empty one
  // or `{}` (as JSON or as a form, which the library would take for a parameter named "{}").
  static httplib::Params ActionParams(const httplib::Request& request) {
    std::string_view body = request.body;
    while (!body.empty() && std::isspace(static_cast<unsigned char>(body.front())))
      body.remove_prefix(1);
    while (!body.empty() && std::isspace(static_cast<unsigned char>(body.back())))
      body.remove_suffix(1);
    if (!body.empty() && body != "{}") throw Refusal{400, "an action takes no body (or {})"};
    httplib::Params params;
    const size_t query = request.target.find('?');
    if (query != std::string::npos)
      httplib::detail::parse_query_text(request.target.substr(query + 1), params);
    return params;
  }

  static void Answer(httplib::Response& response, const Refusal& refusal) {
    response.status = refusal.status;
    response.set_content(JsonText(json{{"error", refusal.message}}), "application/json");
  }

  static RolloutQuery RolloutOrRefuse(const httplib::Request& request, bool paged) {
    return RolloutOrRefuse(request.params, paged);
  }

  static RolloutQuery RolloutOrRefuse(const httplib::Params& params, bool paged) {
    std::string problem;
    const auto query = RolloutQueryOf(params, paged, problem);
    if (!query) throw Refusal{400, problem};
    return *query;
  }

  static Page PageOrRefuse(const httplib::Request& request) {
    std::string problem;
    const auto page = PageOf(request.params, problem);
    if (!page) throw Refusal{400, problem};
    return *page;
  }

  static history::HistoryFilter FilterOrRefuse(const httplib::Request& request) {
    std::string problem;
    const auto filter = HistoryFilterOf(request.params, NowMillis(), problem);
    if (!filter) throw Refusal{400, problem};
    return *filter;
  }

  json RolloutList() {
    std::vector<rollouts::RolloutSummary> summaries =
        WithRollouts([](rollouts::RolloutStore& s) { return s.list(); });
    // Newest first; the unfinished ones before the finished.
    std::stable_sort(summaries.begin(), summaries.end(), [](const auto& a, const auto& b) {
      if (IsFinal(a.state) != IsFinal(b.state)) return !IsFinal(a.state);
      return a.createdAt > b.createdAt;
    });
    json rollouts = json::array();
    size_t statuses = 0;
    for (size_t i = 0; i < summaries.size() && i < kMaxRollouts; ++i) {
      json item = RolloutSummaryJson(summaries[i]);
      json stations = json::array();
      if (!IsFinal(summaries[i].state) && statuses++ < kMaxOverviewStatuses) {
        const auto status =
            WithRollouts([&](rollouts::RolloutStore& s) { return s.status(summaries[i].name); });
        if (status) {
          for (const auto& s : status->stations) stations.push_back(RolloutStationJson(s));
          item["failed_total"] = status->failed.size();
        }
      }
      item["stations"] = std::move(stations);
      rollouts.push_back(std::move(item));
    }
    return json{{"rollouts", std::move(rollouts)},
                {"total", summaries.size()},
                {"now", history::MillisIsoUtc(NowMillis())}};
  }

  MetricsSnapshot Metrics() {
    MetricsSnapshot snapshot;
    snapshot.rollouts = WithRollouts([](rollouts::RolloutStore& s) { return s.list(); });
    std::vector<const rollouts::RolloutSummary*> order;
    for (const auto& r : snapshot.rollouts) order.push_back(&r);
    std::stable_sort(order.begin(), order.end(), [](const auto* a, const auto* b) {
      if (IsFinal(a->state) != IsFinal(b->state)) return !IsFinal(a->state);
      return a->createdAt > b->createdAt;
    });
    if (order.size() > kMaxMetricRollouts) order.resize(kMaxMetricRollouts);
    const history::UtcMillis now = NowMillis();
    size_t statuses = 0;
    for (const auto* r : order) {
      if (IsFinal(r->state) || statuses++ >= kMaxOverviewStatuses) continue;
      const auto status =
          WithRollouts([&](rollouts::RolloutStore& s) { return s.status(r->name); });
      if (!status) continue;
      const auto alive = std::count_if(
          status->stations.begin(), status->stations.end(),
          [&](const rollouts::RolloutStation& s) { return s.lastSeen >= now - kStationAliveMs; });
      snapshot.stationsAlive.emplace_back(r->name, static_cast<int>(alive));
    }
    WithHistory([&](history::HistoryStore& s) {
      for (const auto* r : order)
        snapshot.durations.emplace_back(r->name,
                                        s.rolloutDurations(r->name, AttemptDurationBoundsMs()));
      snapshot.rows = s.outcomeCounts();
      return 0;
    });
    return snapshot;
  }

  // One call at a time on each store, each on its own worker thread, waited for until the
  // request's deadline; a store that failed is opened again on the next call.
  template <typename Call>
  std::invoke_result_t<Call, history::HistoryStore&> WithHistory(Call call) {
    return Bounded(history_, historyHealth_, call);
  }
  template <typename Call>
  std::invoke_result_t<Call, rollouts::RolloutStore&> WithRollouts(Call call) {
    return Bounded(rollouts_, rolloutsHealth_, call);
  }
  template <typename Store, typename Call>
  std::invoke_result_t<Call, Store&> Bounded(StoreWorker<Store>& worker, DatabaseHealth& health,
                                             Call call) {
    if (!health.mayAsk()) throw Refusal{503, kDatabaseSilent};
    try {
      const auto deadline =
          requestDeadline.value_or(std::chrono::steady_clock::now() + kDatabaseWait);
      if constexpr (std::is_void_v<std::invoke_result_t<Call, Store&>>) {
        worker.run(call, deadline);
        health.answered();
      } else {
        auto result = worker.run(call, deadline);
        health.answered();
        return result;
      }
    } catch (const DatabaseSilent&) {
      health.silent();
      throw Refusal{503, kDatabaseSilent};
    } catch (const history::HistoryError&) {
      health.answered();  // it answered, if with a failure
      throw;
    }
  }

  static std::string QueryKey(const httplib::Params& params) {
    std::string key;
    for (const auto& [name, value] : params) key += name + "=" + value + "&";
    return key;
  }

  bool Kept(const std::string& key, httplib::Response& response) {
    std::lock_guard lock(keptMutex_);
    const auto it = kept_.find(key);
    if (it == kept_.end() || std::chrono::steady_clock::now() - it->second.at > kAnswerKept)
      return false;
    response.set_content(it->second.body, it->second.type);
    return true;
  }
  void Keep(const std::string& key, std::string body, std::string type) {
    std::lock_guard lock(keptMutex_);
    if (kept_.size() >= kMaxKeptAnswers) kept_.clear();
    kept_[key] = {std::chrono::steady_clock::now(), std::move(body), std::move(type)};
  }
  void ForgetKept() {
    std::lock_guard lock(keptMutex_);
    kept_.clear();
  }

  struct KeptAnswer {
    std::chrono::steady_clock::time_point at;
    std::string body;
    std::string type;
  };

  DashboardConfig config_;
  std::vector<AccessEntry> access_;  // every token: the file's entries and a single one
  StoreWorker<history::HistoryStore> history_;
  StoreWorker<rollouts::RolloutStore> rollouts_;
  // Each store's own: one held by a silent call says nothing of the other's connection.
  DatabaseHealth historyHealth_;
  DatabaseHealth rolloutsHealth_;
  HttpServer server_;
  uint16_t port_ = 0;
  std::mutex keptMutex_;
  std::unordered_map<std::string, KeptAnswer> kept_;
};

DashboardServer::DashboardServer(DashboardConfig config, HistoryOpener openHistory,
                                 RolloutOpener openRollouts)
    : impl_(std::make_unique<Impl>(std::move(config), std::move(openHistory),
                                   std::move(openRollouts))) {}
DashboardServer::~DashboardServer() = default;
bool DashboardServer::bind(std::string& problem) {
  return impl_->bind(problem);
}
uint16_t DashboardServer::port() const {
  return impl_->port();
}
bool DashboardServer::run() {
  return impl_->run();
}
void DashboardServer::stop() {
  impl_->stop();
}

}  // namespace uvq::dashboard
