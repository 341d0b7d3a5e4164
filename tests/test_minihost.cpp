// Our own host: worlds, copy, iterate, abort, faults and bookkeeping.
#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "minihost/worker_pool.h"

#include "helpers.h"

namespace {

using vt::Host;
using vt::World;

PF_InData InDataFor(Host& host) {
  PF_InData in{};
  in.effect_ref = reinterpret_cast<PF_ProgPtr>(&host);
  return in;
}

const PF_Iterate8Suite1* Iterate8(Host& host) {
  const void* s = nullptr;
  EXPECT_EQ(host.AcquireSuite(kPFIterate8Suite, 1, &s), kSPNoError);
  return static_cast<const PF_Iterate8Suite1*>(s);
}

TEST(Worlds, RowsArePaddedAndDepthFollowsFlagsOrWorkDepth) {
  Host host;
  PF_EffectWorld w{};
  ASSERT_EQ(host.NewWorld(10, 3, PF_NewWorldFlag_NONE, &w), PF_Err_NONE);
  EXPECT_GT(w.rowbytes, 10 * 4);
  EXPECT_FALSE(w.world_flags & PF_WorldFlag_DEEP);
  EXPECT_EQ(w.extent_hint.right, 10);
  PF_EffectWorld d{};
  ASSERT_EQ(host.NewWorld(10, 3, PF_NewWorldFlag_DEEP_PIXELS, &d), PF_Err_NONE);
  EXPECT_TRUE(d.world_flags & PF_WorldFlag_DEEP);
  EXPECT_GT(d.rowbytes, 10 * 8);
  EXPECT_EQ(host.LiveWorlds(), 2);
  EXPECT_EQ(host.DisposeWorld(&w), PF_Err_NONE);
  EXPECT_EQ(host.DisposeWorld(&d), PF_Err_NONE);
  EXPECT_EQ(host.LiveWorlds(), 0);
  EXPECT_EQ(host.DisposeWorld(&d), PF_Err_BAD_CALLBACK_PARAM);  // twice is an error
}

TEST(Worlds, DisposedBuffersAreHandedOutAgain) {
  Host host;
  PF_EffectWorld a{}, b{};
  ASSERT_EQ(host.NewWorld(64, 64, 0, &a), PF_Err_NONE);
  void* first = a.data;
  host.DisposeWorld(&a);
  ASSERT_EQ(host.NewWorld(64, 64, 0, &b), PF_Err_NONE);
  EXPECT_EQ(b.data, first);
  host.DisposeWorld(&b);
}

TEST(Copy, ConvertsDepthBothWays) {
  Host host;
  World w8(4, 1, false), w16(4, 1, true), back(4, 1, false);
  const int v8[4] = {0, 1, 128, 255};
  for (int x = 0; x < 4; ++x) w8.Set(x, 0, v8[x], v8[x], v8[x], v8[x]);
  ASSERT_EQ(host.Copy(&w8.def(), &w16.def(), nullptr, nullptr), PF_Err_NONE);
  const int v16[4] = {0, 129, 16448, 32768};  // (v·32768 + 127) / 255
  for (int x = 0; x < 4; ++x) EXPECT_EQ(w16.Get(x, 0)[1], v16[x]);
  ASSERT_EQ(host.Copy(&w16.def(), &back.def(), nullptr, nullptr), PF_Err_NONE);
  for (int x = 0; x < 4; ++x) EXPECT_EQ(back.Get(x, 0)[2], v8[x]);
  World s16(2, 1, true), s8(2, 1, false);
  s16.Set(0, 0, 32767, 64, 65, 16384);
  ASSERT_EQ(host.Copy(&s16.def(), &s8.def(), nullptr, nullptr), PF_Err_NONE);
  EXPECT_EQ(s8.Get(0, 0), (std::array<int, 4>{255, 0, 1, 128}));  // min(255, (v·255 + 16384) / 32768)
  World other(3, 1, false);
  EXPECT_EQ(host.Copy(&w8.def(), &other.def(), nullptr, nullptr), PF_Err_BAD_CALLBACK_PARAM);
}

struct VisitCount {
  std::vector<std::atomic<int>>* counts;
  int width;
};
PF_Err CountVisit(void* refcon, A_long x, A_long y, PF_Pixel* in, PF_Pixel* out) {
  auto* rc = static_cast<VisitCount*>(refcon);
  ++(*rc->counts)[size_t(y) * rc->width + x];
  *out = PF_Pixel{in->alpha, in->blue, in->green, in->red};
  return PF_Err_NONE;
}

TEST(Iterate, VisitsEveryPixelOnceForAnyThreadCount) {
  for (int threads : {1, 2, 7}) {
    Host host;
    host.SetThreads(threads);
    World src = vt::RandomWorld(37, 53, false, 7), dst(37, 53, false);
    std::vector<std::atomic<int>> counts(37 * 53);
    VisitCount rc{&counts, 37};
    PF_InData in = InDataFor(host);
    ASSERT_EQ(Iterate8(host)->iterate(&in, 0, 53, &src.def(), nullptr, &rc, CountVisit, &dst.def()),
              PF_Err_NONE);
    for (auto& c : counts) ASSERT_EQ(c.load(), 1) << threads << " threads";
    for (int y = 0; y < 53; ++y)
      for (int x = 0; x < 37; ++x) {
        const auto s = src.Get(x, y), d = dst.Get(x, y);
        ASSERT_EQ(d, (std::array<int, 4>{s[0], s[3], s[2], s[1]}));
      }
  }
}

// One set of threads serves every call, each job runs on as many threads as it asks for,
// and a job that runs another from inside finishes it on its own thread.
TEST(Iterate, KeepsItsThreadsFromCallToCall) {
  minihost::WorkerPool pool;
  std::mutex mutex;
  std::set<std::thread::id> first, later;
  auto record = [&](std::set<std::thread::id>& into) {
    return [&](int) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));  // let every thread take one
      std::lock_guard<std::mutex> lock(mutex);
      into.insert(std::this_thread::get_id());
    };
  };
  pool.Run(4, record(first));
  EXPECT_EQ(first.size(), 4u);
  for (int n = 0; n < 20; ++n) pool.Run(4, record(later));
  EXPECT_EQ(later, first);

  std::atomic<int> outer{0}, inner{0};
  std::set<std::thread::id> nested_on;
  pool.Run(3, [&](int) {
    ++outer;
    const std::thread::id self = std::this_thread::get_id();
    pool.Run(3, [&](int worker) {
      EXPECT_EQ(worker, 0);
      EXPECT_EQ(std::this_thread::get_id(), self);
      ++inner;
    });
  });
  EXPECT_EQ(outer.load(), 3);
  EXPECT_EQ(inner.load(), 3);
}

TEST(Iterate, AbortReturnsTheCancelCode) {
  Host host;
  host.SetThreads(3);
  host.faults.abortAfterPolls = 2;
  World src(16, 200, false), dst(16, 200, false);
  std::vector<std::atomic<int>> counts(16 * 200);
  VisitCount rc{&counts, 16};
  PF_InData in = InDataFor(host);
  EXPECT_EQ(Iterate8(host)->iterate(&in, 0, 200, &src.def(), nullptr, &rc, CountVisit, &dst.def()),
            PF_Interrupt_CANCEL);
  host.faults.abortAfterPolls = -1;
  host.cancel = true;
  EXPECT_EQ(host.PollAbort(), PF_Interrupt_CANCEL);
}

TEST(Iterate, RefusesAWorldOfTheOtherDepth) {
  Host host;
  World src(4, 4, true), dst(4, 4, true);
  std::vector<std::atomic<int>> counts(16);
  VisitCount rc{&counts, 4};
  PF_InData in = InDataFor(host);
  EXPECT_EQ(Iterate8(host)->iterate(&in, 0, 4, &src.def(), nullptr, &rc, CountVisit, &dst.def()),
            PF_Err_BAD_CALLBACK_PARAM);
}

TEST(Faults, NthNewWorldAndCopyFail) {
  Host host;
  host.faults.failNewWorldAt = 2;
  host.faults.failCopyAt = 1;
  PF_EffectWorld a{}, b{};
  EXPECT_EQ(host.NewWorld(4, 4, 0, &a), PF_Err_NONE);
  EXPECT_EQ(host.NewWorld(4, 4, 0, &b), PF_Err_OUT_OF_MEMORY);
  EXPECT_EQ(host.Copy(&a, &a, nullptr, nullptr), PF_Err_INTERNAL_STRUCT_DAMAGED);
  EXPECT_EQ(host.Copy(&a, &a, nullptr, nullptr), PF_Err_NONE);
  host.DisposeWorld(&a);
}

TEST(Faults, RefusedSuiteAndSuiteBookkeeping) {
  Host host;
  host.faults.refuseSuite = kPFIterate8Suite;
  const void* s = nullptr;
  EXPECT_NE(host.AcquireSuite(kPFIterate8Suite, 1, &s), kSPNoError);
  EXPECT_EQ(s, nullptr);
  EXPECT_EQ(host.AcquireSuite(kPFIterate16Suite, 1, &s), kSPNoError);
  EXPECT_EQ(host.OutstandingSuites(), 1);
  EXPECT_EQ(host.ReleaseSuite(kPFIterate16Suite, 1), kSPNoError);
  EXPECT_EQ(host.OutstandingSuites(), 0);
  EXPECT_NE(host.ReleaseSuite(kPFIterate16Suite, 1), kSPNoError);  // more releases than acquires
}

}  // namespace
