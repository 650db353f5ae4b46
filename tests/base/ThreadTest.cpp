#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "base/IdBaseComponent.h"
#include "base/IdThread.h"
#include "base/qorBase_Classes.h"
#include "platform/MainThread.h"
#include "platform/SysUtils.h"

namespace {
using Clock = std::chrono::steady_clock;

// Waits on the main thread (pumping its queue) for aDone; generous for a loaded machine.
bool Eventually(const std::function<bool()>& aDone, int aTimeoutMs = 10000) {
  return PumpUntil(aDone, aTimeoutMs);
}

// Counts cycles; raises from the cycle numbered FRaiseAt.
class TCountingThread : public TqorIdThread {
 public:
  std::atomic<int> Cycles{0};
  std::atomic<int> Starts{0}, Ends{0};
  int FRaiseAt = -1;
  bool FAbsorb = false;

 protected:
  TCountingThread(bool aSuspended) : TqorIdThread(aSuspended, true, "") {}
  void ExecuteStarting() override { ++Starts; }
  void ExecuteEnded() override { ++Ends; }
  bool HandleCycleException(const std::exception&) override { return FAbsorb; }
  void RunCycle() override {
    TqorIdThread::RunCycle();
    const int n = ++Cycles;
    if (n == FRaiseAt) throw EIdException("cycle failed");
    Sleep(1);
  }
};

// A Data object whose destruction is visible.
struct TFlagData : TPersistent {
  explicit TFlagData(std::atomic<bool>* aFreed) : FFreed(aFreed) {}
  ~TFlagData() override { *FFreed = true; }
  std::atomic<bool>* FFreed;
};
}  // namespace

TEST(Thread, RunsAfterConstructionAndCountsLiveThreads) {
  const int before = ThreadCount().Value();
  auto* t = New<TCountingThread>(false);
  EXPECT_EQ(ThreadCount().Value(), before + 1);
  ASSERT_TRUE(Eventually([&] { return t->Cycles > 2; }));
  EXPECT_TRUE(t->IsCurrentThread() == false);
  EXPECT_EQ(t->Name(), "IdThread (unknown)");
  delete t;
  EXPECT_EQ(ThreadCount().Value(), before);
}

TEST(Thread, IsCurrentThreadOnlyOnItsOwnThreadAfterFirstCycle) {
  auto* t = New<TCountingThread>(true);
  EXPECT_FALSE(t->IsCurrentThread());
  bool other = true;
  std::thread([&] { other = t->IsCurrentThread(); }).join();
  EXPECT_FALSE(other);
  delete t;
}

TEST(Thread, TerminateAndWaitForOnSuspendedThreadRunsItToItsEnd) {
  auto* t = New<TCountingThread>(true);
  EXPECT_TRUE(t->Stopped());
  EXPECT_TRUE(t->Options() & itoStopped);
  Sleep(50);
  EXPECT_EQ(t->Starts, 0) << "created suspended: the body has not begun";
  t->TerminateAndWaitFor();
  EXPECT_EQ(t->Starts, 1);
  EXPECT_EQ(t->Ends, 1);
  EXPECT_EQ(t->Cycles, 0);
  delete t;
}

TEST(Thread, TerminateAndWaitForRefusesFreeOnTerminate) {
  auto* t = New<TCountingThread>(true);
  t->SetFreeOnTerminate(true);
  try {
    t->TerminateAndWaitFor();
    ADD_FAILURE();
  } catch (const EIdThreadTerminateAndWaitFor& e) {
    EXPECT_EQ(e.Message(), "Cannot call TerminateAndWaitFor on FreeAndTerminate threads");
  }
  EXPECT_FALSE(t->Terminated()) << "changes nothing";
  t->SetFreeOnTerminate(false);
  delete t;
}

TEST(Thread, SuspendModeParksAndStartResumes) {
  auto* t = New<TCountingThread>(false);
  t->SetStopMode(smSuspend);
  std::atomic<int> stopped{0};
  t->SetOnStopped([&](TIdThread*) { ++stopped; });
  ASSERT_TRUE(Eventually([&] { return t->Cycles > 0; }));
  t->Stop();
  ASSERT_TRUE(Eventually([&] { return t->Suspended(); }));
  EXPECT_FALSE(t->Terminated());
  EXPECT_EQ(stopped, 1);
  const int parkedAt = t->Cycles;
  Sleep(50);
  EXPECT_EQ(t->Cycles, parkedAt);
  t->Start();
  ASSERT_TRUE(Eventually([&] { return t->Cycles > parkedAt; }));
  EXPECT_EQ(t->Starts, 1) << "the same body goes on";
  t->Stop();
  ASSERT_TRUE(Eventually([&] { return t->Suspended(); }));
  t->TerminateAndWaitFor();  // a parked thread runs to its end
  EXPECT_EQ(t->Ends, 1);
  delete t;
}

TEST(Thread, StopInTerminateModeEndsTheThread) {
  auto* t = New<TCountingThread>(false);
  ASSERT_TRUE(Eventually([&] { return t->Cycles > 0; }));
  t->Stop();
  EXPECT_TRUE(t->Terminated());
  t->Start();  // a terminated thread cannot be restarted
  t->WaitFor();
  EXPECT_EQ(t->Ends, 1);
  delete t;
}

TEST(Thread, CycleExceptionEndsThreadUnlessAbsorbed) {
  std::string seen;
  auto* t = New<TCountingThread>(true);
  t->FRaiseAt = 2;
  t->SetOnException([&](TIdThread*, const std::exception& e) { seen = e.what(); });
  t->Start();
  t->WaitFor();
  EXPECT_EQ(t->Cycles, 2);
  EXPECT_TRUE(t->Terminated());
  EXPECT_EQ(t->TerminatingException(), "cycle failed");
  EXPECT_EQ(t->TerminatingExceptionClass(), "EIdException");
  EXPECT_EQ(seen, "cycle failed");
  EXPECT_EQ(t->Ends, 1);
  delete t;

  auto* absorbing = New<TCountingThread>(true);
  absorbing->FRaiseAt = 2;
  absorbing->FAbsorb = true;
  absorbing->Start();
  ASSERT_TRUE(Eventually([&] { return absorbing->Cycles > 4; }));
  EXPECT_EQ(absorbing->TerminatingException(), "");
  delete absorbing;
}

TEST(Thread, DataAndYarnAreFreedByCleanup) {
  std::atomic<bool> dataFreed{false}, keptFreed{false};
  auto* t = New<TCountingThread>(true);
  t->SetData(new TFlagData(&dataFreed));
  t->SetYarn(new TIdYarn);
  t->Start();
  ASSERT_TRUE(Eventually([&] { return t->Cycles > 0; }));
  t->TerminateAndWaitFor();
  EXPECT_TRUE(dataFreed) << "itoDataOwner is on by default";
  EXPECT_EQ(t->Data(), nullptr);
  EXPECT_EQ(t->Yarn(), nullptr);
  delete t;

  auto* never = New<TCountingThread>(true);
  never->SetData(new TFlagData(&keptFreed));
  delete never;  // no cycle ran: the owned Data must not leak
  EXPECT_TRUE(keptFreed);
}

TEST(Thread, DestructionOnMainThreadServesASynchronizeInProgress) {
  // The body blocks in SynchronizeWithMainThread while the main thread destroys it.
  class TSyncThread : public TqorIdThread {
   public:
    std::atomic<bool> Entered{false};
    std::atomic<int> Ran{0};

   protected:
    TSyncThread() : TqorIdThread(false, true, "sync") {}
    void RunCycle() override {
      Entered = true;
      Synchronize([this] { ++Ran; });
      Sleep(1);
    }
  };
  auto* t = New<TSyncThread>();
  ASSERT_TRUE(Eventually([&] { return t->Entered.load(); }, 5000));
  const auto start = Clock::now();
  delete t;  // must not deadlock
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(10));
}

TEST(Thread, SynchronizeReRaisesOnTheWaitingThread) {
  std::string caught;
  std::atomic<bool> done{false};
  std::thread worker([&] {
    try {
      SynchronizeWithMainThread([] { throw EIdThreadException("from main"); });
    } catch (const EIdThreadException& e) {
      caught = std::string(e.ClassName()) + ":" + e.Message();
    }
    done = true;
  });
  ASSERT_TRUE(Eventually([&] { return done.load(); }));
  worker.join();
  EXPECT_EQ(caught, "EIdThreadException:from main");
}

namespace {
class TDefaultsBase : public TIdBaseComponent {
 public:
  int FBaseCalls = 0;
  int FDerivedSeenByBase = -1;

 protected:
  using TIdBaseComponent::TIdBaseComponent;
  virtual int DerivedMarker() const { return 0; }
  void InitComponentDefaults() override {
    TIdBaseComponent::InitComponentDefaults();
    ++FBaseCalls;
    FDerivedSeenByBase = DerivedMarker();  // virtual: must reach the final class
  }
};

class TDefaultsDerived : public TDefaultsBase {
 public:
  int FDerivedCalls = 0;
  std::string FLabel = "unset";

 protected:
  using TDefaultsBase::TDefaultsBase;
  int DerivedMarker() const override { return 7; }
  void InitComponentDefaults() override {
    TDefaultsBase::InitComponentDefaults();
    ++FDerivedCalls;
    FLabel = "default";
  }
};
}  // namespace

TEST(Components, DefaultsRunOnceAfterFullConstructionInBothForms) {
  TComponent owner(nullptr);
  for (TComponent* aOwner : {static_cast<TComponent*>(nullptr), &owner}) {
    TDefaultsDerived* c = New<TDefaultsDerived>(aOwner);
    EXPECT_EQ(c->FBaseCalls, 1);
    EXPECT_EQ(c->FDerivedCalls, 1);
    EXPECT_EQ(c->FDerivedSeenByBase, 7);
    EXPECT_EQ(c->FLabel, "default") << "member initialisers ran before the defaults";
    EXPECT_EQ(c->Owner(), aOwner);
    EXPECT_EQ(c->Version(), "10.6.2.0");
    if (!aOwner) delete c;  // the owner frees the other one
  }
  EXPECT_EQ(owner.ComponentCount(), 1);
}

TEST(Components, StateChecks) {
  auto* c = New<TDefaultsDerived>(nullptr);
  EXPECT_FALSE(c->IsLoading());
  c->Loading();
  EXPECT_TRUE(c->IsLoading());
  c->Loaded();
  c->SetDesigning(true);
  EXPECT_TRUE(c->IsDesigning());
  delete c;

  TqorComponent_Base b(nullptr);
  EXPECT_EQ(b.Version(), "4.5.1");
  EXPECT_FALSE(b.IsDesigning() || b.IsDestroying() || b.IsLoading());
  b.Loading();
  b.SetDesigning(true);
  b.Destroying();
  EXPECT_TRUE(b.IsDesigning() && b.IsDestroying() && b.IsLoading());
}
