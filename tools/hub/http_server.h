#pragma once
// The hub's web server: the dashboard's files, the live event stream, the JSON API and the metrics, all
// read-only. Owns the HTTP server and the thread that accepts on it; requests run on the server's worker
// threads, which read the hub state, the broadcast and the event store (each safe for that). Start and Stop:
// the main thread.

#include "tools/hub/event_store.h"
#include "tools/hub/hub_state.h"
#include "tools/hub/sse_broadcast.h"

#include <map>
#include <memory>
#include <string>
#include <thread>

namespace hub {

struct TStaticFile {
  std::string contentType;
  std::string body;
};

// Reads the dashboard's files from `dir` (index.html, hub.js, hub.css, and any other .html/.js/.css/.svg/.png/
// .ico there) into memory, keyed by their URL path ("/" for index.html). False and one line when index.html
// is missing or a file cannot be read.
bool LoadWebFiles(const std::string &dir, std::map<std::string, TStaticFile> &files, std::string &error);

// True when the request carries the token, as "Authorization: Bearer TOKEN" or as the query parameter
// token=TOKEN. Compares in time independent of where the texts differ.
bool TokenMatches(const std::string &expected, const std::string &authorizationHeader, const std::string &queryToken);

struct THttpConfig {
  std::string host = "127.0.0.1";
  int port = 8080;   // 0: any free port (tests), see Port()
  std::string token; // empty: no token asked
  std::map<std::string, TStaticFile> files;
  int maxLiveClients = 32; // open /events streams at once; more are refused with 503
};

class THubHttp {
public:
  THubHttp(THttpConfig config, THubState &state, TSseBroadcast &broadcast, TEventStore &store);
  ~THubHttp(); // Stop()
  THubHttp(const THubHttp &) = delete;
  THubHttp &operator=(const THubHttp &) = delete;

  // Binds and starts serving. False and one line ("cannot listen on 127.0.0.1:8080: ...") on failure.
  bool Start(std::string &error);
  // Ends every stream (the broadcast must have been stopped first, or streams end at their next message),
  // stops accepting and joins.
  void Stop();
  int Port() const { return port_; }

private:
  struct TImpl;
  std::unique_ptr<TImpl> impl_;
  std::thread thread_;
  int port_ = 0;
};

} // namespace hub
