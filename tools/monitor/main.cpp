// ormelin_monitor: a client for a running station. Connects to the result port, then to the spectrum port
// (which the station opens only once its result client is in), reconnects by itself when the station goes
// away, and shows a live terminal view or, with --json, prints one JSON line per message.
// Single-threaded: one poll loop over the two connections and a signalfd.

#include "detection/detect_config.h"
#include "tools/station_client/connection.h"
#include "tools/station_client/frame_decoder.h"
#include "tools/station_client/messages.h"
#include "tools/monitor/options.h"
#include "tools/monitor/view.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include <poll.h>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using station_client::EDecodeStatus;
using station_client::TFd;

constexpr auto kRetryInterval = 500ms;
constexpr auto kSpectrumGrace = 100ms;
constexpr int kConnectTimeoutMs = 2000;
constexpr auto kRedrawInterval = 100ms; // at most ten redraws a second
constexpr auto kRefreshInterval = 1s;   // ages and the clock move even without messages
// A run of bad texts with sane lengths most likely means the stream slipped out of step somewhere.
constexpr int kBadFramesBeforeResync = 3;

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

// One of the station's two output connections and its reassembly state.
struct TChannel {
  TChannel(const char *what, int port_, station_client::TFrameDecoder decoder_)
      : name(what), port(port_), decoder(std::move(decoder_)) {}
  const char *name; // "result" or "spectrum"
  int port;
  TFd fd;
  station_client::TFrameDecoder decoder;
  Clock::time_point nextTry{};
  std::string lastFailure; // reported once per outage, not on every retry
  int badInRow = 0;
};

class TMonitor {
public:
  TMonitor(const monitor::TMonitorOptions &options, int firstBin, int signalFd)
      : opt_(options), signalFd_(signalFd), result_("result", options.jsonPort, station_client::TFrameDecoder::ForResults()),
        spectrum_("spectrum", options.spectrPort, station_client::TFrameDecoder::ForSpectra()) {
    view_.host = options.host;
    view_.jsonPort = options.jsonPort;
    view_.spectrPort = options.spectrPort;
    view_.firstBin = firstBin;
  }

  int Run();

private:
  void Report(const std::string &line);
  void TryConnect(TChannel &c, Clock::time_point now);
  void Drop(TChannel &c, const std::string &why, Clock::time_point now);
  void Receive(TChannel &c, Clock::time_point now);
  void OnResult(TChannel &c, Clock::time_point now);
  void OnSpectrum(TChannel &c);
  void BadFrame(TChannel &c, const std::string &why, Clock::time_point now);
  void Emit(const std::string &line);
  void Draw(Clock::time_point now);
  bool HandleSignals(); // true: stop

  monitor::TMonitorOptions opt_;
  int signalFd_;
  TChannel result_;
  TChannel spectrum_;
  monitor::TViewState view_;
  std::vector<std::uint8_t> payload_; // reused for every frame
  std::array<std::uint8_t, 65536> readBuffer_{};
  Clock::time_point lastResult_{};
  Clock::time_point lastDraw_{};
  bool dirty_ = true;
  bool stop_ = false;
  bool outputClosed_ = false;
};

void TMonitor::Report(const std::string &line) {
  if (opt_.json) {
    std::fprintf(stderr, "ormelin_monitor: %s\n", line.c_str());
  } else {
    view_.status = ClockText() + " " + line;
    dirty_ = true;
  }
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

void TMonitor::TryConnect(TChannel &c, Clock::time_point now) {
  std::string error;
  const std::string where = std::string(c.name) + " port " + opt_.host + ":" + std::to_string(c.port);
  switch (station_client::ConnectTcp(opt_.host, c.port, kConnectTimeoutMs, signalFd_, c.fd, error)) {
  case station_client::EConnect::Connected:
    c.decoder.Reset();
    c.badInRow = 0;
    c.lastFailure.clear();
    Report("connected to the " + where);
    if (&c == &result_) {
      // The station opens the spectrum port right after taking its result client: give it a moment.
      spectrum_.nextTry = now + kSpectrumGrace;
    }
    break;
  case station_client::EConnect::Failed:
    c.nextTry = Clock::now() + kRetryInterval;
    if (error != c.lastFailure) {
      c.lastFailure = error;
      Report(where + ": " + error + "; retrying every 0.5 s");
    }
    break;
  case station_client::EConnect::Interrupted:
    break; // the loop reads the signal next
  }
  view_.resultConnected = result_.fd.Valid();
  view_.spectrumConnected = spectrum_.fd.Valid();
  dirty_ = true;
}

void TMonitor::Drop(TChannel &c, const std::string &why, Clock::time_point now) {
  c.fd.Close();
  c.decoder.Reset();
  c.badInRow = 0;
  c.nextTry = now + kRetryInterval;
  c.lastFailure = why;
  Report(std::string(c.name) + " port " + opt_.host + ":" + std::to_string(c.port) + ": " + why +
         "; reconnecting every 0.5 s");
  view_.resultConnected = result_.fd.Valid();
  view_.spectrumConnected = spectrum_.fd.Valid();
}

void TMonitor::BadFrame(TChannel &c, const std::string &why, Clock::time_point now) {
  ++view_.badFrames;
  const std::string line = std::string("bad ") + c.name + " frame: " + why;
  view_.lastError = ClockText() + " " + line;
  if (opt_.json) {
    std::fprintf(stderr, "ormelin_monitor: %s\n", line.c_str());
  }
  dirty_ = true;
  if (++c.badInRow >= kBadFramesBeforeResync) {
    Drop(c, std::to_string(c.badInRow) + " bad frames in a row, the stream is out of step", now);
  }
}

void TMonitor::OnResult(TChannel &c, Clock::time_point now) {
  const std::string_view text(reinterpret_cast<const char *>(payload_.data()), payload_.size());
  station_client::TResultMessage message;
  std::string why;
  if (text.empty()) {
    BadFrame(c, "empty text", now);
    return;
  }
  if (!station_client::ParseResultText(text, message, why)) {
    BadFrame(c, why + " (" + std::to_string(text.size()) + " bytes: \"" + station_client::Excerpt(text) + "\")", now);
    return;
  }
  c.badInRow = 0;
  ++view_.results;
  view_.result = std::move(message);
  lastResult_ = now;
  dirty_ = true;
  if (opt_.json) {
    Emit(station_client::ResultJsonLine(text));
  }
  if (opt_.count > 0 && static_cast<long long>(view_.results) >= opt_.count) {
    stop_ = true;
  }
}

void TMonitor::OnSpectrum(TChannel &c) {
  const std::size_t count = payload_.size() / 4;
  if (count == 0) {
    BadFrame(c, "no values", Clock::now());
    return;
  }
  c.badInRow = 0;
  station_client::DecodeLevels(payload_.data(), count, view_.levels);
  view_.peak = station_client::FindSpectrumPeak(view_.levels, view_.firstBin);
  view_.haveSpectrum = true;
  ++view_.spectra;
  dirty_ = true;
  if (opt_.json) {
    Emit(station_client::SpectrumJsonLine(count, view_.peak));
  }
}

void TMonitor::Receive(TChannel &c, Clock::time_point now) {
  const ssize_t n = ::read(c.fd.Get(), readBuffer_.data(), readBuffer_.size());
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
    return;
  }
  if (n <= 0) {
    const std::string why = n == 0 ? "the station closed the connection" : std::strerror(errno);
    const std::size_t partial = c.decoder.Buffered();
    Drop(c, partial > 0 ? why + " in the middle of a frame (" + std::to_string(partial) + " bytes lost)" : why, now);
    return;
  }
  c.decoder.Feed(readBuffer_.data(), static_cast<std::size_t>(n));
  std::size_t count = 0;
  while (!stop_ && c.fd.Valid()) {
    const EDecodeStatus status = c.decoder.Next(payload_, count);
    if (status == EDecodeStatus::NeedMore) {
      break;
    }
    if (status == EDecodeStatus::Broken) {
      ++view_.badFrames;
      view_.lastError = ClockText() + " bad " + c.name + " frame: " + c.decoder.Error();
      if (opt_.json) {
        std::fprintf(stderr, "ormelin_monitor: bad %s frame: %s\n", c.name, c.decoder.Error().c_str());
      }
      Drop(c, "frames cannot be followed", now);
      break;
    }
    if (&c == &result_) {
      OnResult(c, now);
    } else {
      OnSpectrum(c);
    }
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
  Report("connecting to " + opt_.host);
  while (!stop_) {
    Clock::time_point now = Clock::now();
    if (limited && now >= deadline) {
      break;
    }
    if (!result_.fd.Valid() && now >= result_.nextTry) {
      TryConnect(result_, now);
    }
    if (result_.fd.Valid() && !spectrum_.fd.Valid() && now >= spectrum_.nextTry) {
      TryConnect(spectrum_, now);
    }
    now = Clock::now();
    if (!opt_.json && ((dirty_ && now - lastDraw_ >= kRedrawInterval) || now - lastDraw_ >= kRefreshInterval)) {
      Draw(now);
    }

    // Sleep until data, a signal, the next retry, the next redraw or the deadline, whichever comes first.
    Clock::time_point wake = now + 200ms;
    if (!result_.fd.Valid()) {
      wake = std::min(wake, result_.nextTry);
    } else if (!spectrum_.fd.Valid()) {
      wake = std::min(wake, spectrum_.nextTry);
    }
    if (!opt_.json) {
      wake = std::min(wake, lastDraw_ + (dirty_ ? kRedrawInterval : kRefreshInterval));
    }
    if (limited) {
      wake = std::min(wake, deadline);
    }
    std::array<pollfd, 3> fds{};
    nfds_t used = 0;
    fds[used++] = {signalFd_, POLLIN, 0};
    const std::size_t resultSlot = result_.fd.Valid() ? used : fds.size();
    if (result_.fd.Valid()) {
      fds[used++] = {result_.fd.Get(), POLLIN, 0};
    }
    const std::size_t spectrumSlot = spectrum_.fd.Valid() ? used : fds.size();
    if (spectrum_.fd.Valid()) {
      fds[used++] = {spectrum_.fd.Get(), POLLIN, 0};
    }
    const auto timeout = std::chrono::ceil<std::chrono::milliseconds>(std::max(wake - now, Clock::duration::zero()));
    const int n = ::poll(fds.data(), used, static_cast<int>(timeout.count()));
    if (n < 0 && errno != EINTR) {
      return Fail(1, std::string("poll: ") + std::strerror(errno));
    }
    if (n <= 0) {
      continue;
    }
    if ((fds[0].revents & POLLIN) != 0 && HandleSignals()) {
      break;
    }
    now = Clock::now();
    if (resultSlot < fds.size() && fds[resultSlot].revents != 0) {
      Receive(result_, now);
    }
    if (!stop_ && spectrumSlot < fds.size() && fds[spectrumSlot].revents != 0 && spectrum_.fd.Valid()) {
      Receive(spectrum_, now);
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
