#pragma once
// The station's stop request: SIGTERM or SIGINT (or the program itself, through Raise) asks every part to end
// cleanly; a second signal ends the process at once (status 128 + signal number). main owns the one instance
// for the process' lifetime; any thread may read it, and blocking calls add Fd() to their poll so that a stop
// request ends their wait at once.

#include <chrono>

class TStopSignal {
public:
  // Installs the SIGTERM and SIGINT handlers. Throws std::runtime_error when the event descriptor cannot be made
  // or a second instance exists.
  TStopSignal();
  // Restores the default handlers.
  ~TStopSignal();
  TStopSignal(const TStopSignal &) = delete;
  TStopSignal &operator=(const TStopSignal &) = delete;

  // Readable (POLLIN) from the first stop request on.
  int Fd() const { return Fd_; }
  bool Requested() const;
  // A stop request from the program itself (a failed engine, a test); not counted as a signal.
  void Raise();
  // Sleeps until a stop request (true) or until `limit` has passed (false).
  bool WaitFor(std::chrono::milliseconds limit) const;
  // Sleeps until a stop request.
  void Wait() const;

private:
  int Fd_ = -1;
};
