// ormelin_monitor: a client for a running station. Connects to the result port, then to the spectrum port
// (which the station opens only once its result client is in), reconnects by itself when the station goes
// away, and shows a live terminal view or, with --json, prints one JSON line per message.
// Single-threaded: one poll loop over the two connections and a signalfd.

#include "detection/detect_config.h"
#include "tools/monitor/options.h"
#include "tools/monitor/view.h"
#include "tools/station_client/connection.h"
#include "tools/station_client/messages.h"
#include "tools/station_client/station_link.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using station_client::TFd;

constexpr auto kRedrawInterval = 100ms; // at most ten redraws a second
constexpr auto kRefreshInterval = 1s;   // ages and the clock move even without messages

int Fail(int status, const std::string &line) {
  std::fprintf(stderr, "ormelin_monitor: %s\n", line.c_str());
  return status;
}

std::string ClockText() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char text[16];
  std::strftime(text, sizeof text, "%H:%M:%S", &local);
  return text;
}

// The monitor's loop: the station link's poll step, the redraws and the signals.
class TMonitor final : public station_client::TStationLinkSink {
public:
  TMonitor(const monitor::TMonitorOptions &options, int firstBin, int signalFd)
      : opt_(options), signalFd_(signalFd),
        link_(options.host, options.jsonPort, options.spectrPort, station_client::TRetryPolicy{500ms, 500ms}, *this) {
    view_.host = options.host;
    view_.jsonPort = options.jsonPort;
    view_.spectrPort = options.spectrPort;
    view_.firstBin = firstBin;
  }

  int Run();

private:
  void OnLinkReport(const std::string &line) override;
  void OnConnectionChange(bool resultUp, bool spectrumUp) override;
  void OnResult(std::string_view text, const station_client::TResultMessage &message, Clock::time_point now) override;
  void OnSpectrum(const std::vector<float> &levels, Clock::time_point now) override;
  void OnBadFrame(station_client::EPort port, const std::string &line) override;
  bool KeepReading() override { return !stop_; }
  void Emit(const std::string &line);
  void Draw(Clock::time_point now);
  bool HandleSignals(); // true: stop

  monitor::TMonitorOptions opt_;
  int signalFd_;
  station_client::TStationLink link_;
  monitor::TViewState view_;
  Clock::time_point lastResult_{};
  Clock::time_point lastDraw_{};
  bool dirty_ = true;
  bool stop_ = false;
  bool outputClosed_ = false;
};

void TMonitor::OnLinkReport(const std::string &line) {
  if (opt_.json) {
    std::fprintf(stderr, "ormelin_monitor: %s\n", line.c_str());
  } else {
    view_.status = ClockText() + " " + line;
    dirty_ = true;
  }
}

void TMonitor::OnConnectionChange(bool resultUp, bool spectrumUp) {
  view_.resultConnected = resultUp;
  view_.spectrumConnected = spectrumUp;
  dirty_ = true;
}

void TMonitor::Emit(const std::string &line) {
  if (outputClosed_) {
    return;
  }
  if (std::fwrite(line.data(), 1, line.size(), stdout) != line.size() || std::fputc('\n', stdout) == EOF ||
      std::fflush(stdout) != 0) {
    outputClosed_ = true; // the reader went away (a closed pipe): nobody is left to tell
    stop_ = true;
  }
}

void TMonitor::OnBadFrame(station_client::EPort /*port*/, const std::string &line) {
  ++view_.badFrames;
  view_.lastError = ClockText() + " " + line;
  if (opt_.json) {
    std::fprintf(stderr, "ormelin_monitor: %s\n", line.c_str());
  }
  dirty_ = true;
}

void TMonitor::OnResult(std::string_view text, const station_client::TResultMessage &message, Clock::time_point now) {
  ++view_.results;
  view_.result = message;
  lastResult_ = now;
  dirty_ = true;
  if (opt_.json) {
    Emit(station_client::ResultJsonLine(text));
  }
  if (opt_.count > 0 && static_cast<long long>(view_.results) >= opt_.count) {
    stop_ = true;
  }
}

void TMonitor::OnSpectrum(const std::vector<float> &levels, Clock::time_point /*now*/) {
  view_.levels = levels;
  view_.peak = station_client::FindSpectrumPeak(view_.levels, view_.firstBin);
  view_.haveSpectrum = true;
  ++view_.spectra;
  dirty_ = true;
  if (opt_.json) {
    Emit(station_client::SpectrumJsonLine(levels.size(), view_.peak));
  }
}

void TMonitor::Draw(Clock::time_point now) {
  winsize size{};
  int width = 80;
  int rows = 24;
  if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 && size.ws_row > 0) {
    width = size.ws_col;
    rows = size.ws_row;
  }
  view_.resultAgeS = std::chrono::duration<double>(now - lastResult_).count();
  std::vector<std::string> lines = monitor::RenderView(view_, width, true);
  if (static_cast<int>(lines.size()) > rows) {
    lines.resize(static_cast<std::size_t>(rows)); // a scrolling terminal would break the redraw in place
  }
  // Home, each line with the rest of its row cleared, then everything below cleared: no flicker, no leftovers.
  std::string frame = "\x1b[H";
  for (std::size_t i = 0; i < lines.size(); ++i) {
    frame += lines[i];
    frame += "\x1b[K";
    if (i + 1 < lines.size()) {
      frame += "\r\n";
    }
  }
  frame += "\x1b[J";
  if (std::fwrite(frame.data(), 1, frame.size(), stdout) != frame.size() || std::fflush(stdout) != 0) {
    outputClosed_ = true;
    stop_ = true;
  }
  lastDraw_ = now;
  dirty_ = false;
}

bool TMonitor::HandleSignals() {
  signalfd_siginfo info{};
  while (::read(signalFd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
    if (info.ssi_signo == SIGWINCH) {
      dirty_ = true;
    } else {
      return true;
    }
  }
  return false;
}

int TMonitor::Run() {
  const Clock::time_point start = Clock::now();
  const bool limited = opt_.seconds > 0.0;
  const auto deadline =
      start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(opt_.seconds));
  if (!opt_.json) {
    std::fputs("\x1b[?25l\x1b[2J", stdout); // hide the cursor, clear once; later frames redraw in place
  }
  OnLinkReport("connecting to " + opt_.host);
  while (!stop_) {
    Clock::time_point now = Clock::now();
    if (limited && now >= deadline) {
      break;
    }
    if (!opt_.json && ((dirty_ && now - lastDraw_ >= kRedrawInterval) || now - lastDraw_ >= kRefreshInterval)) {
      Draw(now);
    }
    // Sleep until data, a signal, the next retry, the next redraw or the deadline, whichever comes first.
    Clock::time_point wake = now + 200ms;
    if (!opt_.json) {
      wake = std::min(wake, lastDraw_ + (dirty_ ? kRedrawInterval : kRefreshInterval));
    }
    if (limited) {
      wake = std::min(wake, deadline);
    }
    std::string error;
    const bool signalled = link_.Poll(signalFd_, wake, error);
    if (!error.empty()) {
      return Fail(1, error);
    }
    if (signalled && HandleSignals()) {
      break;
    }
  }
  if (!opt_.json && !outputClosed_) {
    Draw(Clock::now());
    std::fputs("\x1b[?25h\r\n", stdout);
    std::fflush(stdout);
  }
  if (outputClosed_) {
    return 1;
  }
  if (opt_.count > 0 && static_cast<long long>(view_.results) < opt_.count && !stop_) {
    // Ended by --seconds (or a signal) before the requested number of messages.
    if (limited && Clock::now() >= deadline) {
      return Fail(1, "only " + std::to_string(view_.results) + " of " + std::to_string(opt_.count) +
                         " result messages within " + std::to_string(opt_.seconds) + " s");
    }
  }
  return 0;
}

} // namespace

int main(int argc, char **argv) {
  std::setvbuf(stdout, nullptr, _IOFBF, 1 << 16); // whole frames of the view or whole lines, flushed by hand
  const std::vector<std::string> args(argv, argv + argc);
  monitor::TMonitorOptions opt;
  std::string error;
  switch (monitor::ParseMonitorOptions(args, opt, error)) {
  case monitor::EMonitorParse::Help:
    std::fputs(monitor::MonitorUsage().c_str(), stdout);
    return 0;
  case monitor::EMonitorParse::Error:
    return Fail(2, error + " (see --help)");
  case monitor::EMonitorParse::Run:
    break;
  }
  if (!opt.settingsDir.empty()) {
    const std::string path = opt.settingsDir + "detect.json";
    if (!std::ifstream(path)) {
      return Fail(2, "cannot read " + path);
    }
    detection::TDetectConfig config;
    config.ReadFromJson(path);
    opt.fminHz = config.F_min;
    if (opt.fminHz < 0.0 || opt.fminHz >= 2048 * station_client::kSpectrumBinHz) {
      return Fail(2, path + ": F_min " + std::to_string(config.F_min) + " lies outside the station's spectrum");
    }
  }

  // Signals arrive through a signalfd read by the one loop, so no handler runs in the middle of anything.
  sigset_t signals;
  sigemptyset(&signals);
  for (const int s : {SIGINT, SIGTERM, SIGHUP, SIGWINCH}) {
    sigaddset(&signals, s);
  }
  if (::sigprocmask(SIG_BLOCK, &signals, nullptr) != 0) {
    return Fail(1, std::string("sigprocmask: ") + std::strerror(errno));
  }
  const TFd signalFd(::signalfd(-1, &signals, SFD_NONBLOCK | SFD_CLOEXEC));
  if (!signalFd.Valid()) {
    return Fail(1, std::string("signalfd: ") + std::strerror(errno));
  }
  std::signal(SIGPIPE, SIG_IGN); // a closed output pipe shows up as a failed write instead

  TMonitor app(opt, station_client::FirstSpectrumBin(opt.fminHz), signalFd.Get());
  return app.Run();
}
