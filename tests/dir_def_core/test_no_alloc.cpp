// Once running, the direction half (preprocessor, definer, averager) allocates nothing per sample or per frame
// set. This file replaces the global operator new with one that counts while armed.

#include "dir_def_core/moving_averanger.h"
#include "dir_def_core/preprocessor.h"
#include "dir_def_core/stream_dir_definer.h"

#include "test_signals.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <new>

namespace {
std::atomic<bool> gArmed{false};
std::atomic<long> gAllocations{0};
} // namespace

void *operator new(std::size_t n) {
  if (gArmed.load(std::memory_order_relaxed)) {
    gAllocations.fetch_add(1, std::memory_order_relaxed);
  }
  if (void *p = std::malloc(n == 0 ? 1 : n)) {
    return p;
  }
  throw std::bad_alloc();
}
// GCC cannot see that this operator new is the malloc above.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void *p) noexcept { std::free(p); }
void operator delete(void *p, std::size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop

TEST(DirectionHalf, AllocatesNothingOnceRunning) {
  gArmed.store(true, std::memory_order_relaxed);
  auto probe = std::make_unique<double>(1.0);
  gArmed.store(false, std::memory_order_relaxed);
  ASSERT_GT(gAllocations.exchange(0), 0) << "allocation counter not in use";

  for (const bool refineAndSmooth : {false, true}) {
    std::vector<TSrcMirophoneLocation> mics = ddc_test::ShippedMics();
    dir_def_core::TStreamDirDefinerX4 definer(ddc_test::kFs, 24, ddc_test::kC, 8, refineAndSmooth, mics,
                                              refineAndSmooth);
    dir_def_core::TUniversalPreprocessor pre;
    pre.Init(4, 256, 128, 4000, 20000, ddc_test::kFs);
    TAngleAveranger avg(4);
    ddc_test::TFrames frames(4);
    const std::vector<double> gains(4, -1.0);
    const std::vector<double> x = ddc_test::WhiteNoise(40000, 3);
    int frameSets = 0;
    for (std::size_t i = 0; i + 20 < x.size(); ++i) {
      gArmed.store(i >= 5000, std::memory_order_relaxed); // the first frame sets size every work array
      const double s[4] = {x[i + 10], x[i + 13], x[i + 4], x[i + 17]};
      if (pre.PushSample(s, frames)) {
        double mean = 0;
        avg.Push(definer.ProcFrame(frames, gains)[0], mean);
        ++frameSets;
      }
    }
    gArmed.store(false, std::memory_order_relaxed);
    EXPECT_EQ(gAllocations.exchange(0), 0) << refineAndSmooth;
    EXPECT_GT(frameSets, 250);
  }
}
