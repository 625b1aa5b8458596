#include "tools/station_client/station_link.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <poll.h>
#include <unistd.h>

namespace station_client {

namespace {

constexpr int kConnectTimeoutMs = 2000;
// The station opens the spectrum port right after taking its result client: give it a moment.
constexpr auto kSpectrumGrace = std::chrono::milliseconds(100);
// A run of bad texts with sane lengths most likely means the stream slipped out of step somewhere.
constexpr int kBadFramesBeforeResync = 3;

std::string Seconds(std::chrono::milliseconds d) {
  char text[32];
  const double s = static_cast<double>(d.count()) / 1000.0;
  std::snprintf(text, sizeof text, s == static_cast<double>(static_cast<long long>(s)) ? "%.0f s" : "%.1f s", s);
  return text;
}

} // namespace

TStationLink::TStationLink(std::string host, int jsonPort, int spectrPort, TRetryPolicy retry, TStationLinkSink &sink)
    : host_(std::move(host)), retry_(retry), sink_(sink),
      result_(EPort::Result, "result", jsonPort, TFrameDecoder::ForResults()),
      spectrum_(EPort::Spectrum, "spectrum", spectrPort, TFrameDecoder::ForSpectra()) {
  retry_.most = std::max(retry_.most, retry_.first);
  result_.wait = retry_.first;
  spectrum_.wait = retry_.first;
}

std::string TStationLink::Where(const TChannel &c) const {
  return std::string(c.name) + " port " + host_ + ":" + std::to_string(c.number);
}

std::string TStationLink::RetryText(std::chrono::milliseconds wait, const char *verb) const {
  if (retry_.first == retry_.most) {
    return std::string(verb) + " every " + Seconds(wait);
  }
  return std::string(verb) + " in " + Seconds(wait) + ", then backing off to every " + Seconds(retry_.most);
}

void TStationLink::Changed() { sink_.OnConnectionChange(result_.fd.Valid(), spectrum_.fd.Valid()); }

void TStationLink::Backoff(TChannel &c, Clock::time_point now) {
  c.nextTry = now + c.wait;
  c.wait = std::min(c.wait * 2, retry_.most);
}

void TStationLink::TryConnect(TChannel &c, int wakeFd, Clock::time_point now) {
  std::string error;
  switch (ConnectTcp(host_, c.number, kConnectTimeoutMs, wakeFd, c.fd, error)) {
  case EConnect::Connected:
    c.decoder.Reset();
    c.badInRow = 0;
    c.lastFailure.clear();
    c.wait = retry_.first;
    sink_.OnLinkReport("connected to the " + Where(c));
    if (c.port == EPort::Result) {
      ++connects_;
      spectrum_.nextTry = now + kSpectrumGrace;
    }
    Changed();
    break;
  case EConnect::Failed: {
    const std::chrono::milliseconds wait = c.wait;
    Backoff(c, Clock::now());
    if (error != c.lastFailure) {
      c.lastFailure = error;
      sink_.OnLinkReport(Where(c) + ": " + error + "; " + RetryText(wait, "retrying"));
    }
    break;
  }
  case EConnect::Interrupted:
    break; // the caller reads its wake descriptor next
  }
}

void TStationLink::Drop(TChannel &c, const std::string &why, Clock::time_point now) {
  c.fd.Close();
  c.decoder.Reset();
  c.badInRow = 0;
  c.wait = retry_.first;
  Backoff(c, now);
  c.lastFailure = why;
  sink_.OnLinkReport(Where(c) + ": " + why + "; " + RetryText(retry_.first, "reconnecting"));
  Changed();
}

void TStationLink::Close() {
  const bool wasUp = result_.fd.Valid() || spectrum_.fd.Valid();
  for (TChannel *c : {&result_, &spectrum_}) {
    c->fd.Close();
    c->decoder.Reset();
  }
  if (wasUp) {
    Changed();
  }
}

void TStationLink::BadFrame(TChannel &c, const std::string &why, Clock::time_point now) {
  sink_.OnBadFrame(c.port, std::string("bad ") + c.name + " frame: " + why);
  if (++c.badInRow >= kBadFramesBeforeResync) {
    Drop(c, std::to_string(c.badInRow) + " bad frames in a row, the stream is out of step", now);
  }
}

void TStationLink::TakeResult(TChannel &c, Clock::time_point now) {
  const std::string_view text(reinterpret_cast<const char *>(payload_.data()), payload_.size());
  if (text.empty()) {
    BadFrame(c, "empty text", now);
    return;
  }
  TResultMessage message;
  std::string why;
  if (!ParseResultText(text, message, why)) {
    BadFrame(c, why + " (" + std::to_string(text.size()) + " bytes: \"" + Excerpt(text) + "\")", now);
    return;
  }
  c.badInRow = 0;
  sink_.OnResult(text, message, now);
}

void TStationLink::TakeSpectrum(TChannel &c, Clock::time_point now) {
  const std::size_t count = payload_.size() / 4;
  if (count == 0) {
    BadFrame(c, "no values", now);
    return;
  }
  c.badInRow = 0;
  DecodeLevels(payload_.data(), count, levels_);
  sink_.OnSpectrum(levels_, now);
}

void TStationLink::Receive(TChannel &c, Clock::time_point now) {
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
  while (c.fd.Valid() && sink_.KeepReading()) {
    const EDecodeStatus status = c.decoder.Next(payload_, count);
    if (status == EDecodeStatus::NeedMore) {
      break;
    }
    if (status == EDecodeStatus::Broken) {
      sink_.OnBadFrame(c.port, std::string("bad ") + c.name + " frame: " + c.decoder.Error());
      Drop(c, "frames cannot be followed", now);
      break;
    }
    if (c.port == EPort::Result) {
      TakeResult(c, now);
    } else {
      TakeSpectrum(c, now);
    }
  }
}

bool TStationLink::Poll(int wakeFd, Clock::time_point until, std::string &error) {
  Clock::time_point now = Clock::now();
  if (!result_.fd.Valid() && now >= result_.nextTry) {
    TryConnect(result_, wakeFd, now);
  }
  if (result_.fd.Valid() && !spectrum_.fd.Valid() && now >= spectrum_.nextTry) {
    TryConnect(spectrum_, wakeFd, now);
  }
  now = Clock::now();
  Clock::time_point wake = until;
  if (!result_.fd.Valid()) {
    wake = std::min(wake, result_.nextTry);
  } else if (!spectrum_.fd.Valid()) {
    wake = std::min(wake, spectrum_.nextTry);
  }
  std::array<pollfd, 3> fds{};
  nfds_t used = 0;
  const std::size_t wakeSlot = wakeFd >= 0 ? used : fds.size();
  if (wakeFd >= 0) {
    fds[used++] = {wakeFd, POLLIN, 0};
  }
  const std::size_t resultSlot = result_.fd.Valid() ? used : fds.size();
  if (result_.fd.Valid()) {
    fds[used++] = {result_.fd.Get(), POLLIN, 0};
  }
  const std::size_t spectrumSlot = spectrum_.fd.Valid() ? used : fds.size();
  if (spectrum_.fd.Valid()) {
    fds[used++] = {spectrum_.fd.Get(), POLLIN, 0};
  }
  const auto timeout = std::chrono::ceil<std::chrono::milliseconds>(std::max(wake - now, Clock::duration::zero()));
  const int n = ::poll(fds.data(), used, static_cast<int>(std::min<long long>(timeout.count(), 60'000)));
  if (n < 0 && errno != EINTR) {
    error = std::string("poll: ") + std::strerror(errno);
    return false;
  }
  if (n <= 0) {
    return false;
  }
  now = Clock::now();
  if (resultSlot < fds.size() && fds[resultSlot].revents != 0) {
    Receive(result_, now);
  }
  if (sink_.KeepReading() && spectrumSlot < fds.size() && fds[spectrumSlot].revents != 0 && spectrum_.fd.Valid()) {
    Receive(spectrum_, now);
  }
  return wakeSlot < fds.size() && (fds[wakeSlot].revents & POLLIN) != 0;
}

} // namespace station_client
