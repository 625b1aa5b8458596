// The hub's event pipeline in-process: time texts, the tracker that makes events from result messages, their
// JSON and the SQLite store.
#include "tools/hub/event_store.h"
#include "tools/hub/event_tracker.h"
#include "tools/hub/iso_time.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace {

using hub::ETrackerChange;
using hub::EventJson;
using hub::IsoUtc;
using hub::ParseIsoUtc;
using hub::SysClock;
using hub::TDetectionEvent;
using std::chrono::milliseconds;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

SysClock::time_point Ms(std::int64_t ms) { return SysClock::time_point(milliseconds(ms)); }

TEST(IsoTime, WritesMillisecondsAndZAndReadsThemBack) {
  EXPECT_EQ(IsoUtc(Ms(1796830418123)), "2026-12-09T15:33:38.123Z");
  EXPECT_EQ(IsoUtc(Ms(1709251199999)), "2024-02-29T23:59:59.999Z");
  // Before 1970 the millisecond is floored, not truncated toward zero.
  EXPECT_EQ(IsoUtc(Ms(-1)), "1969-12-31T23:59:59.999Z");
  EXPECT_EQ(IsoUtc(Ms(0) + std::chrono::microseconds(1999)), "1970-01-01T00:00:00.001Z");
  for (const std::int64_t ms : {0LL, -86'400'001LL, 951'782'400'000LL, 1709251199999LL, 4'102'444'800'000LL}) {
    SysClock::time_point back{};
    ASSERT_TRUE(ParseIsoUtc(IsoUtc(Ms(ms)), back)) << IsoUtc(Ms(ms));
    EXPECT_EQ(back, Ms(ms));
  }
}

TEST(IsoTime, ReadsZonesFractionsAndDateAlone) {
  const SysClock::time_point base = Ms(1796830418000); // 2026-12-09T15:33:38Z
  const std::pair<const char *, SysClock::time_point> cases[] = {
      {"2026-12-09T15:33:38Z", base},
      {"2026-12-09T15:33:38", base},
      {"2026-12-09T15:33:38.5Z", base + milliseconds(500)},
      {"2026-12-09T15:33:38.123999Z", base + milliseconds(123)},
      {"2026-12-09T16:33:38+01:00", base},
      {"2026-12-09T10:03:38-0530", base},
      {"2026-12-10T00:33:38.250+09:00", base + milliseconds(250)},
      {"2026-12-09", Ms(1796774400000)},
  };
  for (const auto &[text, expected] : cases) {
    SysClock::time_point t{};
    ASSERT_TRUE(ParseIsoUtc(text, t)) << text;
    EXPECT_EQ(t, expected) << text;
  }
}

TEST(IsoTime, RejectsMalformedAndOutOfRangeFields) {
  // The last one is a real date, but beyond the clock's nanosecond range.
  // clang-format off
  const char *const bad[] = {"2026-12", "2026-13-01", "2026-02-31", "2025-02-29", "2026-12-09T24:00:00Z",
                             "2026-12-09T12:00:60Z", "2026-12-09T12:00Z", "2026-12-09T12:00:00.Z",
                             "2026-12-09T12:00:00ZZ", "2026-12-09T12:00:00+1", "2026-12-09T12:00:00+25:00",
                             "2026-12-09 12:00:00", "2026-12-09T1:00:00Z", "2026-12-09x", "9999-12-31T23:59:59Z"};
  // clang-format on
  for (const char *text : bad) {
    SysClock::time_point t = Ms(42);
    EXPECT_FALSE(ParseIsoUtc(text, t)) << text;
    EXPECT_EQ(t, Ms(42)) << text; // untouched on failure
  }
}

// Messages 100 ms apart from t = 1000 ms, as the station sends them.
class TEventTracker : public ::testing::Test {
protected:
  ETrackerChange At(std::int64_t ms, int alert, double azimuth = kNaN, std::vector<double> dots = {0.1}) {
    return tracker_.OnResult(Ms(ms), alert, dots, azimuth);
  }
  hub::TEventTracker tracker_;
};

TEST_F(TEventTracker, OpensAtDetectedAndClosesByMessageAfterTheDelay) {
  EXPECT_EQ(At(1000, 1), ETrackerChange::None);
  EXPECT_EQ(At(1100, 2, 40.0), ETrackerChange::Opened);
  EXPECT_TRUE(tracker_.IsOpen());
  EXPECT_EQ(tracker_.Current().start, Ms(1100));
  EXPECT_EQ(At(1200, 2, 40.0), ETrackerChange::None);
  // The no-array (-1) and autocalibration (-2) markers are below Detected_Drone too.
  EXPECT_EQ(At(1300, -2), ETrackerChange::None);
  EXPECT_EQ(At(6299, -1), ETrackerChange::None); // 4.999 s below
  EXPECT_EQ(At(6300, 0), ETrackerChange::Closed);
  EXPECT_FALSE(tracker_.IsOpen());
  EXPECT_TRUE(tracker_.Current().closed);
  EXPECT_EQ(tracker_.Current().end, Ms(1300));
  EXPECT_EQ(tracker_.Current().peakLevel, 2);
  EXPECT_EQ(At(6400, 0), ETrackerChange::None);
}

TEST_F(TEventTracker, ReturnWithinTheDelayContinuesTheSameEvent) {
  At(1000, 2, 10.0);
  At(1100, 1);
  EXPECT_EQ(tracker_.Current().end, Ms(1100));
  At(5000, 2, 20.0);
  EXPECT_TRUE(tracker_.IsOpen());
  EXPECT_EQ(tracker_.Current().start, Ms(1000));
  EXPECT_EQ(tracker_.Current().end, SysClock::time_point{});
  At(5100, 0);
  EXPECT_EQ(tracker_.Tick(Ms(10099)), ETrackerChange::None);
  EXPECT_EQ(tracker_.Tick(Ms(10100)), ETrackerChange::Closed);
  EXPECT_EQ(tracker_.Current().end, Ms(5100));
  EXPECT_DOUBLE_EQ(tracker_.Current().azimuthStart, 10.0);
  EXPECT_DOUBLE_EQ(tracker_.Current().azimuthEnd, 20.0);
}

TEST_F(TEventTracker, SilenceClosesAtTheLastMessageAndTimeNeverGoesBackwards) {
  At(1000, 2);
  At(1500, 2);
  EXPECT_EQ(tracker_.Tick(Ms(6499)), ETrackerChange::None);
  EXPECT_EQ(tracker_.Tick(Ms(6500)), ETrackerChange::Closed);
  EXPECT_EQ(tracker_.Current().end, Ms(1500));
  EXPECT_EQ(tracker_.Tick(Ms(9000)), ETrackerChange::None);

  At(20000, 2);
  At(19000, 1); // the clock stepped back: taken as 20000
  EXPECT_EQ(tracker_.Current().end, Ms(20000));
  EXPECT_EQ(tracker_.Tick(Ms(24999)), ETrackerChange::None);
  EXPECT_EQ(tracker_.Tick(Ms(25000)), ETrackerChange::Closed);
}

TEST_F(TEventTracker, DetectedAfterAGapClosesTheOldEventThenOpensTheNext) {
  At(1000, 2, 30.0);
  EXPECT_EQ(At(9000, 2, 200.0), ETrackerChange::Closed);
  EXPECT_EQ(tracker_.Current().end, Ms(1000));
  EXPECT_DOUBLE_EQ(tracker_.Current().azimuthEnd, 30.0);
  EXPECT_EQ(At(9100, 2, 210.0), ETrackerChange::Opened);
  EXPECT_EQ(tracker_.Current().start, Ms(9000));
  EXPECT_DOUBLE_EQ(tracker_.Current().azimuthStart, 200.0);
  EXPECT_DOUBLE_EQ(tracker_.Current().azimuthEnd, 210.0);
}

TEST_F(TEventTracker, PeakScoreSkipsNonFiniteScoresAndReportsChanges) {
  At(1000, 2, kNaN, {kNaN, 0.2});
  EXPECT_EQ(At(1100, 2, kNaN, {0.1}), ETrackerChange::None);
  EXPECT_EQ(At(1200, 2, kNaN, {std::numeric_limits<double>::infinity(), kNaN, 0.5}), ETrackerChange::Updated);
  EXPECT_DOUBLE_EQ(tracker_.Current().peakScore, 0.5);
  EXPECT_EQ(At(1300, 2, kNaN, {kNaN}), ETrackerChange::None);
  EXPECT_EQ(At(1400, 2, 90.0, {}), ETrackerChange::Updated);
  // A higher score below the alert counts only once the alert comes back within the delay.
  At(1500, 1, kNaN, {0.9});
  EXPECT_DOUBLE_EQ(tracker_.Current().peakScore, 0.5);
  EXPECT_EQ(At(1600, 2, kNaN, {0.1}), ETrackerChange::Updated);
  EXPECT_DOUBLE_EQ(tracker_.Current().peakScore, 0.9);
}

TEST_F(TEventTracker, MedianAzimuthIsCircularAcrossNorth) {
  At(1000, 2, 350.0);
  At(1100, 2, 355.0);
  At(1200, 2, 5.0);
  At(1300, 2, 370.0); // 10 degrees
  const double median = tracker_.Current().azimuthMedian;
  EXPECT_NEAR(std::min(median, 360.0 - median), 0.0, 1e-9) << median;
  EXPECT_DOUBLE_EQ(tracker_.Current().azimuthStart, 350.0);
  EXPECT_DOUBLE_EQ(tracker_.Current().azimuthEnd, 10.0);
}

TEST_F(TEventTracker, MedianAzimuthMatchesASortedMedianAroundTheCentre) {
  // Clusters of several sizes around centres on both sides of north; the reference unwraps around the known
  // centre and sorts.
  for (const double centre : {0.0, 90.0, 181.0, 355.0}) {
    for (const int n : {1, 2, 5, 24}) {
      hub::TEventTracker tracker;
      std::vector<double> unwrapped;
      for (int i = 0; i < n; ++i) {
        const double offset = std::fmod(i * 37.0, 50.0) - 25.0;
        unwrapped.push_back(centre + offset);
        tracker.OnResult(Ms(1000 + 100 * i), 2, {}, std::fmod(centre + offset + 360.0, 360.0));
      }
      std::sort(unwrapped.begin(), unwrapped.end());
      const std::size_t mid = unwrapped.size() / 2;
      double expected = unwrapped.size() % 2 ? unwrapped[mid] : 0.5 * (unwrapped[mid - 1] + unwrapped[mid]);
      expected = std::fmod(expected + 360.0, 360.0);
      const double diff = std::fabs(tracker.Current().azimuthMedian - expected);
      EXPECT_NEAR(std::min(diff, 360.0 - diff), 0.0, 1e-9) << centre << " n=" << n;
    }
  }
}

TEST_F(TEventTracker, LongEventKeepsAnEvenlySpreadMedian) {
  // 100000 messages drifting from 10 to 80 degrees: the median of what is kept stays at the true 45 only when
  // the kept azimuths cover the whole event, not its first few thousand.
  constexpr int kN = 100000;
  for (int i = 0; i < kN; ++i) {
    At(1000 + 50LL * i, 2, 10.0 + 70.0 * i / (kN - 1));
  }
  EXPECT_NEAR(tracker_.Current().azimuthMedian, 45.0, 0.05);
  EXPECT_NEAR(tracker_.Current().azimuthEnd, 80.0, 1e-9);
}

TEST(EventJson, WritesTheLayoutWithNullsForUnknowns) {
  TDetectionEvent e;
  e.id = 7;
  e.start = Ms(1796830418123);
  e.end = Ms(1796830421000);
  e.closed = true;
  e.peakLevel = 2;
  e.peakScore = 0.25;
  e.azimuthStart = 12.5;
  e.azimuthEnd = std::numeric_limits<double>::infinity();
  EXPECT_EQ(EventJson(e), "{\"id\":7,\"start\":\"2026-12-09T15:33:38.123Z\",\"end\":\"2026-12-09T15:33:41.000Z\","
                          "\"peak_level\":2,\"peak_score\":0.25,\"azimuth_start\":12.5,\"azimuth_median\":null,"
                          "\"azimuth_end\":null}");
  e.closed = false;
  e.peakScore = kNaN;
  EXPECT_NE(EventJson(e).find(R"("end":null,"peak_level":2,"peak_score":null,)"), std::string::npos) << EventJson(e);
}

// Each case gets its own folder under /tmp, removed afterwards.
class TEventStore : public ::testing::Test {
protected:
  void SetUp() override {
    char dirTemplate[] = "/tmp/ormelin_hub_events_XXXXXX";
    ASSERT_NE(mkdtemp(dirTemplate), nullptr);
    dir_ = dirTemplate;
    path_ = (dir_ / "events.db").string();
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  std::unique_ptr<hub::TEventStore> OpenStore() {
    std::string error;
    auto store = hub::TEventStore::Open(path_, error);
    EXPECT_NE(store, nullptr) << error;
    return store;
  }
  // endMs 0: still open.
  static TDetectionEvent Event(std::int64_t startMs, std::int64_t endMs) {
    TDetectionEvent e;
    e.start = Ms(startMs);
    e.end = Ms(endMs);
    e.closed = endMs != 0;
    e.peakLevel = 2;
    e.peakScore = 0.5;
    return e;
  }
  std::filesystem::path dir_;
  std::string path_;
  std::string error_;
};

TEST_F(TEventStore, KeepsEventsAcrossOpenAndClosesOnesACrashedRunLeftOpen) {
  const SysClock::time_point before = std::chrono::floor<milliseconds>(SysClock::now());
  {
    auto store = OpenStore();
    ASSERT_NE(store, nullptr);
    TDetectionEvent first = Event(1000, 0);
    first.azimuthStart = 33.0; // median and end stay NaN
    ASSERT_TRUE(store->Save(first, error_)) << error_;
    EXPECT_GT(first.id, 0);
    const std::int64_t id = first.id;
    first.closed = true;
    first.end = Ms(4000);
    first.peakScore = 0.75;
    ASSERT_TRUE(store->Save(first, error_)) << error_;
    EXPECT_EQ(first.id, id);
    TDetectionEvent second = Event(5000, 0);
    ASSERT_TRUE(store->Save(second, error_)) << error_;
    EXPECT_EQ(store->Count(), 2);
  } // no closing save for the second: the run "crashed"
  const SysClock::time_point after = SysClock::now();
  auto store = OpenStore();
  ASSERT_NE(store, nullptr);
  const auto events = store->Since(Ms(0), 10, error_);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].start, Ms(1000));
  EXPECT_EQ(events[0].end, Ms(4000));
  EXPECT_TRUE(events[0].closed);
  EXPECT_DOUBLE_EQ(events[0].peakScore, 0.75);
  EXPECT_DOUBLE_EQ(events[0].azimuthStart, 33.0);
  EXPECT_TRUE(std::isnan(events[0].azimuthMedian));
  EXPECT_TRUE(std::isnan(events[0].azimuthEnd));
  EXPECT_TRUE(events[1].closed);
  EXPECT_GE(events[1].end, before); // at its last save
  EXPECT_LE(events[1].end, after);
}

TEST_F(TEventStore, SinceGivesTheNewestLimitOldestFirstAndPruneOnlyOldClosedOnes) {
  auto store = OpenStore();
  ASSERT_NE(store, nullptr);
  for (const std::int64_t start : {5000, 1000, 3000, 2000, 4000}) {
    TDetectionEvent e = Event(start, start + 500);
    ASSERT_TRUE(store->Save(e, error_)) << error_;
  }
  TDetectionEvent open = Event(500, 0);
  ASSERT_TRUE(store->Save(open, error_)) << error_;

  auto events = store->Since(Ms(2000), 2, error_);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].start, Ms(4000));
  EXPECT_EQ(events[1].start, Ms(5000));
  EXPECT_EQ(store->Since(Ms(2000), 100, error_).size(), 4u);
  EXPECT_TRUE(store->Since(Ms(0), 0, error_).empty());

  // 1000-1500 and 2000-2500 ended before 3000; 3000-3500 did not; the open one is kept whatever its age.
  EXPECT_EQ(store->Prune(Ms(3000), error_), 2);
  EXPECT_EQ(store->Count(), 4);
  events = store->Since(Ms(0), 100, error_);
  ASSERT_EQ(events.size(), 4u);
  EXPECT_EQ(events[0].start, Ms(500));
  EXPECT_EQ(events[1].start, Ms(3000));
}

TEST_F(TEventStore, RefusesAMissingFolderAndFilesThatAreNotItsDatabase) {
  const std::string missing = (dir_ / "no_such_folder" / "events.db").string();
  EXPECT_EQ(hub::TEventStore::Open(missing, error_), nullptr);
  EXPECT_EQ(error_, "cannot open " + missing + ": folder " + (dir_ / "no_such_folder").string() + " does not exist");
  EXPECT_FALSE(std::filesystem::exists(dir_ / "no_such_folder"));

  { std::ofstream(path_) << "this is a text file, long enough to be taken for a header by nobody\n"; }
  EXPECT_EQ(hub::TEventStore::Open(path_, error_), nullptr);
  EXPECT_EQ(error_, path_ + ": file is not a database");

  const std::string foreign = (dir_ / "other.db").string();
  sqlite3 *raw = nullptr;
  ASSERT_EQ(sqlite3_open(foreign.c_str(), &raw), SQLITE_OK);
  const std::unique_ptr<sqlite3, int (*)(sqlite3 *)> db(raw, sqlite3_close);
  ASSERT_EQ(sqlite3_exec(raw, "CREATE TABLE events(x)", nullptr, nullptr, nullptr), SQLITE_OK);
  EXPECT_EQ(hub::TEventStore::Open(foreign, error_), nullptr);
  EXPECT_EQ(error_, foreign + ": not an Ormelin event database");
}

} // namespace
