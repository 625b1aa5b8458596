#include "tools/hub/http_server.h"

#include <httplib.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

namespace hub {

namespace {

using namespace std::chrono_literals;

// Worker threads of the server: each open /events stream holds one for its whole life.
constexpr int kSpareWorkers = 8;
// A browser that stops reading for this long is dropped rather than holding a worker.
constexpr auto kWriteTimeout = 5s;
// A comment line on a quiet stream lets proxies and browsers see that the hub is alive.
constexpr auto kKeepAliveInterval = 15s;
constexpr std::size_t kDefaultEventLimit = 1000;
constexpr std::size_t kMostEventLimit = 10000;

std::string ContentTypeFor(const std::filesystem::path &path) {
  const std::string ext = path.extension().string();
  if (ext == ".html") {
    return "text/html; charset=utf-8";
  }
  if (ext == ".js") {
    return "text/javascript; charset=utf-8";
  }
  if (ext == ".css") {
    return "text/css; charset=utf-8";
  }
  if (ext == ".svg") {
    return "image/svg+xml";
  }
  if (ext == ".png") {
    return "image/png";
  }
  if (ext == ".ico") {
    return "image/x-icon";
  }
  return "";
}

std::string ErrorJson(const std::string &message) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> w(buffer);
  w.StartObject();
  w.Key("error");
  w.String(message.c_str(), static_cast<rapidjson::SizeType>(message.size()));
  w.EndObject();
  return buffer.GetString();
}

std::string EventsJson(const std::vector<TDetectionEvent> &events) {
  std::string out = "{\"events\":[";
  for (std::size_t i = 0; i < events.size(); ++i) {
    if (i > 0) {
      out += ',';
    }
    out += EventJson(events[i]);
  }
  out += "]}";
  return out;
}

} // namespace

bool LoadWebFiles(const std::string &dir, std::map<std::string, TStaticFile> &files, std::string &error) {
  namespace fs = std::filesystem;
  std::error_code ec;
  if (!fs::is_regular_file(fs::path(dir) / "index.html", ec)) {
    error = "no dashboard in " + dir + " (index.html missing)";
    return false;
  }
  files.clear();
  for (const fs::directory_entry &entry : fs::directory_iterator(dir, ec)) {
    const std::string type = ContentTypeFor(entry.path());
    if (type.empty() || !entry.is_regular_file(ec)) {
      continue;
    }
    std::ifstream in(entry.path(), std::ios::binary);
    std::ostringstream body;
    body << in.rdbuf();
    if (!in) {
      error = "cannot read " + entry.path().string();
      return false;
    }
    const std::string name = entry.path().filename().string();
    files[name == "index.html" ? "/" : "/" + name] = TStaticFile{type, body.str()};
  }
  if (ec) {
    error = "cannot list " + dir + ": " + ec.message();
    return false;
  }
  return true;
}

bool TokenMatches(const std::string &expected, const std::string &authorizationHeader, const std::string &queryToken) {
  const auto same = [&expected](const std::string &given) {
    // Differences are folded over the whole expected length, so the time taken does not tell where they are.
    unsigned diff = given.size() == expected.size() ? 0U : 1U;
    for (std::size_t i = 0; i < expected.size(); ++i) {
      const char g = i < given.size() ? given[i] : '\0';
      diff |= static_cast<unsigned>(static_cast<unsigned char>(g) ^ static_cast<unsigned char>(expected[i]));
    }
    return diff == 0;
  };
  if (expected.empty()) {
    return true;
  }
  static const std::string kBearer = "Bearer ";
  const bool headerOk = authorizationHeader.size() > kBearer.size() &&
                        authorizationHeader.compare(0, kBearer.size(), kBearer) == 0 &&
                        same(authorizationHeader.substr(kBearer.size()));
  const bool queryOk = !queryToken.empty() && same(queryToken);
  return headerOk || queryOk;
}

struct THubHttp::TImpl {
  TImpl(THttpConfig c, THubState &s, TSseBroadcast &b, TEventStore &e)
      : config(std::move(c)), state(s), broadcast(b), store(e) {}
  THttpConfig config;
  THubState &state;
  TSseBroadcast &broadcast;
  TEventStore &store;
  httplib::Server server;
  std::atomic<int> liveClients{0}; // changed by the worker threads serving streams
  void Routes();
  void Stream(const httplib::Request &req, httplib::Response &res);
};

void THubHttp::TImpl::Routes() {
  server.set_payload_max_length(4096); // nothing here takes a body
  server.set_read_timeout(5, 0);
  server.set_write_timeout(kWriteTimeout);
  server.set_keep_alive_max_count(100);
  server.new_task_queue = [this] {
    // The server owns and deletes its task queue.
    return new httplib::ThreadPool(static_cast<std::size_t>(config.maxLiveClients + kSpareWorkers));
  };
  server.set_pre_routing_handler([this](const httplib::Request &req, httplib::Response &res) {
    res.set_header("X-Content-Type-Options", "nosniff");
    res.set_header("Referrer-Policy", "no-referrer");
    res.set_header("Content-Security-Policy",
                   "default-src 'self'; img-src 'self' data:; style-src 'self'; script-src 'self'; "
                   "connect-src 'self'; frame-ancestors 'none'");
    if (req.method != "GET" && req.method != "HEAD") {
      res.status = 405;
      res.set_header("Allow", "GET, HEAD");
      res.set_content("405 the hub is read-only\n", "text/plain; charset=utf-8");
      return httplib::Server::HandlerResponse::Handled;
    }
    // The page's own scripts and styles hold no data, and a browser fetches them without the page's ?token=.
    const bool asset = req.path != "/" && config.files.count(req.path) != 0;
    if (!asset && !TokenMatches(config.token, req.get_header_value("Authorization"), req.get_param_value("token"))) {
      res.status = 401;
      res.set_header("WWW-Authenticate", "Bearer");
      res.set_content("401 a token is required: Authorization: Bearer TOKEN, or ?token=TOKEN\n",
                      "text/plain; charset=utf-8");
      return httplib::Server::HandlerResponse::Handled;
    }
    return httplib::Server::HandlerResponse::Unhandled;
  });

  for (const auto &[path, file] : config.files) {
    const TStaticFile *f = &file; // config outlives the server
    server.Get(path, [f](const httplib::Request &, httplib::Response &res) {
      res.set_header("Cache-Control", "no-cache");
      res.set_content(f->body, f->contentType.c_str());
    });
  }
  server.Get("/api/status", [this](const httplib::Request &, httplib::Response &res) {
    res.set_header("Cache-Control", "no-store");
    res.set_content(StatusJson(state.Snapshot(), SteadyClock::now(), SysClock::now()), "application/json");
  });
  server.Get("/metrics", [this](const httplib::Request &, httplib::Response &res) {
    res.set_content(MetricsText(state.Snapshot(), SteadyClock::now()), "text/plain; version=0.0.4; charset=utf-8");
  });
  server.Get("/api/events", [this](const httplib::Request &req, httplib::Response &res) {
    res.set_header("Cache-Control", "no-store");
    SysClock::time_point since = SysClock::now() - std::chrono::hours(24);
    if (req.has_param("since") && !ParseIsoUtc(req.get_param_value("since"), since)) {
      res.status = 400;
      res.set_content(ErrorJson("since takes an ISO 8601 time, e.g. 2026-12-09T15:00:00Z"), "application/json");
      return;
    }
    std::size_t limit = kDefaultEventLimit;
    if (req.has_param("limit")) {
      const std::string text = req.get_param_value("limit");
      char *end = nullptr;
      const unsigned long long value = std::strtoull(text.c_str(), &end, 10);
      if (text.empty() || end != text.c_str() + text.size() || value < 1 || value > kMostEventLimit) {
        res.status = 400;
        res.set_content(ErrorJson("limit takes a whole number 1 .. 10000"), "application/json");
        return;
      }
      limit = static_cast<std::size_t>(value);
    }
    std::string error;
    const std::vector<TDetectionEvent> events = store.Since(since, limit, error);
    if (!error.empty()) {
      res.status = 503;
      res.set_content(ErrorJson(error), "application/json");
      return;
    }
    res.set_content(EventsJson(events), "application/json");
  });
  server.Get("/events", [this](const httplib::Request &req, httplib::Response &res) { Stream(req, res); });
  server.set_error_handler([](const httplib::Request &, httplib::Response &res) {
    if (res.body.empty()) {
      res.set_content(std::to_string(res.status) + (res.status == 404 ? " no such page\n" : "\n"),
                      "text/plain; charset=utf-8");
    }
  });
}

void THubHttp::TImpl::Stream(const httplib::Request &, httplib::Response &res) {
  if (liveClients.fetch_add(1, std::memory_order_relaxed) >= config.maxLiveClients) {
    liveClients.fetch_sub(1, std::memory_order_relaxed);
    res.status = 503;
    res.set_content("503 too many live viewers\n", "text/plain; charset=utf-8");
    return;
  }
  state.Update([](TStatusSnapshot &s) { ++s.liveClients; });
  res.set_header("Cache-Control", "no-store");
  res.set_header("X-Accel-Buffering", "no");
  // The reader's position lives with the stream; the first chunk tells the browser how fast to come back and
  // what the hub knows right now, so a page shows the state at once.
  struct TReader {
    std::uint64_t position = 0;
    std::uint64_t skipped = 0;
    bool greeted = false;
    std::string message;
  };
  auto reader = std::make_shared<TReader>();
  reader->position = broadcast.Tail();
  res.set_chunked_content_provider(
      "text/event-stream",
      [this, reader](std::size_t, httplib::DataSink &sink) {
        if (!reader->greeted) {
          reader->greeted = true;
          const std::string hello =
              "retry: 2000\n\n" +
              SseMessage("status", StatusJson(state.Snapshot(), SteadyClock::now(), SysClock::now()));
          return sink.write(hello.data(), hello.size());
        }
        switch (broadcast.Next(reader->position, reader->message,
                               std::chrono::duration_cast<std::chrono::milliseconds>(kKeepAliveInterval),
                               reader->skipped)) {
        case TSseBroadcast::ENext::Message:
          return sink.write(reader->message.data(), reader->message.size());
        case TSseBroadcast::ENext::Timeout: {
          static const char kComment[] = ": keep-alive\n\n";
          return sink.write(kComment, sizeof kComment - 1);
        }
        case TSseBroadcast::ENext::Stopped:
          break;
        }
        sink.done();
        return false;
      },
      [this](bool) {
        liveClients.fetch_sub(1, std::memory_order_relaxed);
        state.Update([](TStatusSnapshot &s) { --s.liveClients; });
      });
}

THubHttp::THubHttp(THttpConfig config, THubState &state, TSseBroadcast &broadcast, TEventStore &store)
    : impl_(std::make_unique<TImpl>(std::move(config), state, broadcast, store)) {
  impl_->Routes();
}

THubHttp::~THubHttp() { Stop(); }

bool THubHttp::Start(std::string &error) {
  const THttpConfig &c = impl_->config;
  const std::string where = c.host + ":" + std::to_string(c.port);
  errno = 0;
  if (c.port == 0) {
    port_ = impl_->server.bind_to_any_port(c.host);
  } else {
    port_ = impl_->server.bind_to_port(c.host, c.port) ? c.port : -1;
  }
  if (port_ <= 0) {
    const int saved = errno;
    error = "cannot listen on " + where + ": " +
            (saved != 0 ? std::string(std::strerror(saved)) : std::string("address not usable"));
    port_ = 0;
    return false;
  }
  thread_ = std::thread([this] { impl_->server.listen_after_bind(); });
  // stop() only ends a server that runs already: wait for it, so that a quick Stop cannot miss it.
  for (int i = 0; i < 1000 && !impl_->server.is_running(); ++i) {
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

void THubHttp::Stop() {
  if (thread_.joinable()) {
    impl_->server.stop();
    thread_.join();
  }
}

} // namespace hub
