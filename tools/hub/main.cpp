// ormelin_hub: the station's one result client, serving everyone else. Threads: the main thread (start-up,
// signals, stop), the station thread (THubStation), the HTTP server's threads (THubHttp) and, with --mqtt,
// libmosquitto's network thread.

#include "detection/detect_config.h"
#include "tools/hub/event_store.h"
#include "tools/hub/http_server.h"
#include "tools/hub/hub_station.h"
#include "tools/hub/mqtt_publisher.h"
#include "tools/hub/options.h"
#include "tools/station_client/connection.h"
#include "tools/station_client/messages.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include <poll.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#ifndef ORMELIN_HUB_SOURCE_WEB_DIR
#define ORMELIN_HUB_SOURCE_WEB_DIR ""
#endif

namespace {

namespace fs = std::filesystem;

std::mutex gLogMutex; // lines come from the station, MQTT and main threads

void Log(const std::string &line) {
  const std::lock_guard<std::mutex> lock(gLogMutex);
  std::fprintf(stderr, "ormelin_hub: %s\n", line.c_str());
  std::fflush(stderr);
}

int Fail(int status, const std::string &line) {
  Log(line);
  return status;
}

bool IsLoopback(const std::string &host) { return host == "localhost" || host == "::1" || host.rfind("127.", 0) == 0; }

std::string HostName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') {
    return "ormelin";
  }
  return name;
}

// The dashboard's folder: --web, else beside the program (web/, or ../share/ormelin/hub/web for an installed
// program), else the source tree the program was built from.
std::string FindWebDir(const std::string &given) {
  if (!given.empty()) {
    return given;
  }
  std::error_code ec;
  const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  if (!ec) {
    for (const fs::path &candidate :
         {exe.parent_path() / "web", exe.parent_path().parent_path() / "share" / "ormelin" / "hub" / "web"}) {
      if (fs::is_regular_file(candidate / "index.html", ec)) {
        return candidate.string() + "/";
      }
    }
  }
  return std::string(ORMELIN_HUB_SOURCE_WEB_DIR);
}

std::string DefaultDb() {
  // systemd's StateDirectory= names the folder the service may write.
  if (const char *state = std::getenv("STATE_DIRECTORY"); state != nullptr && state[0] != '\0') {
    std::string dir(state);
    dir = dir.substr(0, dir.find(':'));
    return dir + "/events.db";
  }
  return "events.db";
}

bool ReadToken(const std::string &path, std::string &token, std::string &error) {
  std::ifstream in(path);
  if (!in) {
    error = "cannot read the token file " + path;
    return false;
  }
  std::ostringstream text;
  text << in.rdbuf();
  if (!hub::TokenFromFile(text.str(), token)) {
    error = "the token file " + path + " holds no token on its first line";
    return false;
  }
  struct stat info {};
  if (::stat(path.c_str(), &info) == 0 && (info.st_mode & S_IROTH) != 0) {
    Log("warning: the token file " + path + " is readable by every user of this machine");
  }
  return true;
}

} // namespace

int main(int argc, char **argv) {
  const std::vector<std::string> args(argv, argv + argc);
  hub::THubOptions opt;
  std::string error;
  switch (hub::ParseHubOptions(args, opt, error)) {
  case hub::EHubParse::Help:
    std::fputs(hub::HubUsage().c_str(), stdout);
    return 0;
  case hub::EHubParse::Error:
    return Fail(2, error + " (see --help)");
  case hub::EHubParse::Run:
    break;
  }

  double fminHz = 4000.0;
  if (!opt.settingsDir.empty()) {
    const std::string path = opt.settingsDir + "detect.json";
    if (!std::ifstream(path)) {
      return Fail(2, "cannot read " + path);
    }
    detection::TDetectConfig config;
    config.ReadFromJson(path);
    fminHz = config.F_min;
    if (fminHz < 0.0 || fminHz >= 2048 * station_client::kSpectrumBinHz) {
      return Fail(2, path + ": F_min " + std::to_string(config.F_min) + " lies outside the station's spectrum");
    }
  }
  std::string token;
  if (opt.tokenFile.empty()) {
    // A service given the token with systemd's LoadCredential=hub.token:FILE finds it without an option.
    if (const char *credentials = std::getenv("CREDENTIALS_DIRECTORY"); credentials != nullptr) {
      const std::string path = std::string(credentials) + "/hub.token";
      if (fs::exists(path)) {
        opt.tokenFile = path;
      }
    }
  }
  if (!opt.tokenFile.empty() && !ReadToken(opt.tokenFile, token, error)) {
    return Fail(2, error);
  }
  const std::string id = opt.id.empty() ? HostName() : opt.id;

  hub::THttpConfig http;
  http.host = opt.httpHost;
  http.port = opt.httpPort;
  http.token = token;
  const std::string webDir = FindWebDir(opt.webDir);
  if (!hub::LoadWebFiles(webDir, http.files, error)) {
    return Fail(1, error + " (give --web DIR)");
  }

  // Signals arrive through a signalfd read by the main thread; the other threads never see them.
  sigset_t signals;
  sigemptyset(&signals);
  for (const int s : {SIGINT, SIGTERM, SIGHUP}) {
    sigaddset(&signals, s);
  }
  if (::pthread_sigmask(SIG_BLOCK, &signals, nullptr) != 0) {
    return Fail(1, std::string("pthread_sigmask: ") + std::strerror(errno));
  }
  std::signal(SIGPIPE, SIG_IGN); // a browser gone mid-write shows up as a failed write
  const station_client::TFd signalFd(::signalfd(-1, &signals, SFD_NONBLOCK | SFD_CLOEXEC));
  if (!signalFd.Valid()) {
    return Fail(1, std::string("signalfd: ") + std::strerror(errno));
  }

  const std::string dbPath = opt.db.empty() ? DefaultDb() : opt.db;
  std::unique_ptr<hub::TEventStore> store = hub::TEventStore::Open(dbPath, error);
  if (!store) {
    return Fail(1, error);
  }
  Log("events in " + dbPath + " (" + std::to_string(store->Count()) + " stored, kept " + std::to_string(opt.keepDays) +
      " days)");

  hub::THubState state(id);
  hub::TSseBroadcast broadcast;
  std::unique_ptr<hub::TMqttPublisher> mqtt;
  if (!opt.mqttHost.empty()) {
    state.Update([](hub::TStatusSnapshot &s) { s.mqttConfigured = true; });
    mqtt = std::make_unique<hub::TMqttPublisher>(opt.mqttHost, opt.mqttPort, id, Log);
    if (!mqtt->Start(error)) {
      return Fail(1, "MQTT: " + error);
    }
    Log("publishing to the MQTT broker " + opt.mqttHost + ":" + std::to_string(opt.mqttPort) + " under ormelin/" + id +
        "/");
  }

  hub::THubHttp server(std::move(http), state, broadcast, *store);
  if (!server.Start(error)) {
    return Fail(1, error);
  }
  const std::string url = "http://" + opt.httpHost + ":" + std::to_string(server.Port()) + "/";
  if (!token.empty()) {
    Log("dashboard at " + url + " (a token is required: open " + url + "?token=...)");
  } else if (IsLoopback(opt.httpHost)) {
    Log("dashboard at " + url + " (loopback only, no token: give --http 0.0.0.0:PORT with --token-file to share it)");
  } else {
    Log("dashboard at " + url + " without a token: anyone who reaches this address can watch");
  }

  hub::TStationConfig stationConfig;
  stationConfig.host = opt.station;
  stationConfig.jsonPort = opt.jsonPort;
  stationConfig.spectrPort = opt.spectrPort;
  stationConfig.firstHz = station_client::FirstSpectrumBin(fminHz) * station_client::kSpectrumBinHz;
  stationConfig.keepDays = opt.keepDays;
  hub::THubStation station(stationConfig, state, broadcast, *store, mqtt.get(), Log);
  if (!station.Start(error)) {
    return Fail(1, error);
  }
  Log("following the station " + opt.station + " (ports " + std::to_string(opt.jsonPort) + " and " +
      std::to_string(opt.spectrPort) + ")");
  sd_notify(0, "READY=1");

  for (;;) {
    pollfd fd{signalFd.Get(), POLLIN, 0};
    if (::poll(&fd, 1, -1) < 0 && errno != EINTR) {
      Log(std::string("poll: ") + std::strerror(errno));
      break;
    }
    signalfd_siginfo info{};
    bool stop = false;
    while (::read(signalFd.Get(), &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
      stop = stop || info.ssi_signo != SIGHUP; // SIGHUP: nothing to reload
    }
    if (stop) {
      break;
    }
  }
  sd_notify(0, "STOPPING=1");
  station.Stop();
  broadcast.Stop();
  server.Stop();
  if (mqtt) {
    mqtt->Stop();
  }
  Log("stopped");
  return 0;
}
