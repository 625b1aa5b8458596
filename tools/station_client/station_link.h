#pragma once
// A client's two connections to a station: the result port first, then the spectrum port (which the station
// opens only once its result client is in). Reconnects by itself with a backoff when the station goes away,
// reassembles frames, parses them and hands them to a sink. One poll step at a time, so that a program can run
// it in its own loop (the monitor's main thread) or on a thread of its own (the hub's station thread); the
// link and its sink are used by that one thread only.

#include "tools/station_client/connection.h"
#include "tools/station_client/frame_decoder.h"
#include "tools/station_client/messages.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace station_client {

using Clock = std::chrono::steady_clock;

// Time between connection tries: `first` after a failure or a drop, doubling up to `most`.
struct TRetryPolicy {
  std::chrono::milliseconds first{500};
  std::chrono::milliseconds most{500};
};

enum class EPort { Result, Spectrum };

// What the link reports; called from inside TStationLink::Poll.
class TStationLinkSink {
public:
  virtual ~TStationLinkSink() = default;
  // One line for the operator: connected, refused, dropped, retrying.
  virtual void OnLinkReport(const std::string &line) = 0;
  // A connection came up or went down (both states after the change).
  virtual void OnConnectionChange(bool resultUp, bool spectrumUp) = 0;
  // A valid result frame: its text as received and its meaning.
  virtual void OnResult(std::string_view text, const TResultMessage &message, Clock::time_point now) = 0;
  // A spectrum frame of at least one level.
  virtual void OnSpectrum(const std::vector<float> &levels, Clock::time_point now) = 0;
  // A frame that could not be used ("bad result frame: ..."), reported before any drop it causes.
  virtual void OnBadFrame(EPort port, const std::string &line) = 0;
  // Asked between frames: false stops the taking of further frames in this step (a count was reached).
  virtual bool KeepReading() { return true; }
};

class TStationLink {
public:
  TStationLink(std::string host, int jsonPort, int spectrPort, TRetryPolicy retry, TStationLinkSink &sink);

  // Connects what is due, then waits until data, `wakeFd` (a signalfd or eventfd; -1 for none), the next
  // connection try or `until`, whichever comes first, and handles what arrived. True when `wakeFd` became
  // readable (the caller reads it). Fails only when poll itself fails: `error` then holds the line.
  bool Poll(int wakeFd, Clock::time_point until, std::string &error);

  bool ResultUp() const { return result_.fd.Valid(); }
  bool SpectrumUp() const { return spectrum_.fd.Valid(); }
  const std::string &Host() const { return host_; }
  std::uint64_t Connects() const { return connects_; } // result connections made, the first included

  // Closes both connections, e.g. when the program stops.
  void Close();

private:
  struct TChannel {
    TChannel(EPort port_, const char *name_, int number_, TFrameDecoder decoder_)
        : port(port_), name(name_), number(number_), decoder(std::move(decoder_)) {}
    EPort port;
    const char *name; // "result" or "spectrum"
    int number;       // TCP port
    TFd fd;
    TFrameDecoder decoder;
    Clock::time_point nextTry{};
    std::chrono::milliseconds wait{}; // next wait after a failure
    std::string lastFailure;          // reported once per outage, not on every retry
    int badInRow = 0;
  };

  std::string Where(const TChannel &c) const;
  std::string RetryText(std::chrono::milliseconds wait, const char *verb) const;
  void TryConnect(TChannel &c, int wakeFd, Clock::time_point now);
  void Drop(TChannel &c, const std::string &why, Clock::time_point now);
  void Receive(TChannel &c, Clock::time_point now);
  void TakeResult(TChannel &c, Clock::time_point now);
  void TakeSpectrum(TChannel &c, Clock::time_point now);
  void BadFrame(TChannel &c, const std::string &why, Clock::time_point now);
  void Backoff(TChannel &c, Clock::time_point now);
  void Changed();

  std::string host_;
  TRetryPolicy retry_;
  TStationLinkSink &sink_;
  TChannel result_;
  TChannel spectrum_;
  std::vector<std::uint8_t> payload_; // reused for every frame
  std::vector<float> levels_;         // reused for every spectrum
  std::array<std::uint8_t, 65536> readBuffer_{};
  std::uint64_t connects_ = 0;
};

} // namespace station_client
