#pragma once
// The detection events on disk: one SQLite database file, kept across restarts, pruned to a retention limit.
// Written by the hub's station thread, read by the HTTP threads: every call takes the store's own lock.

#include "tools/hub/detection_event.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace hub {

class TEventStore {
public:
  // Opens (creating when missing, parent folder included not) the database at `path`. Events a previous run
  // left open are closed at the last time they were saved. nullptr and one line in `error` on failure
  // ("cannot open events.db: ...", "events.db is not an Ormelin event database").
  static std::unique_ptr<TEventStore> Open(const std::string &path, std::string &error);
  ~TEventStore();
  TEventStore(const TEventStore &) = delete;
  TEventStore &operator=(const TEventStore &) = delete;

  // Inserts the event when its id is 0 (and sets the id), otherwise updates that row. False and one line
  // in `error` when the database refuses (disk full, file removed, read-only).
  bool Save(TDetectionEvent &event, std::string &error);

  // Events that started at or after `since`, oldest first, at most `limit` (the newest `limit` of them).
  std::vector<TDetectionEvent> Since(SysClock::time_point since, std::size_t limit, std::string &error) const;

  // Number of events stored.
  std::int64_t Count() const;

  // Deletes closed events that ended before `before`; returns how many went (-1 and `error` on failure).
  std::int64_t Prune(SysClock::time_point before, std::string &error);

private:
  TEventStore();
  struct TImpl;
  std::unique_ptr<TImpl> impl_;
};

} // namespace hub
