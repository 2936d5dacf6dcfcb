// The engine's rules: busy and unassigned errors, where failures are reported,
// how a job ends, progress, input swaps and removal notifications.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "engine/ACS_Classes.h"
#include "tests/support/TestSupport.h"

using namespace std::chrono_literals;
using testing_support::TMemorySource;

namespace {

// A sink that collects what it reads, 4096 bytes a step, and can be told to
// fail in Prepare or Done, to wait inside a step, or to go on after its input
// is exhausted until it is stopped.
class TCollectSink : public TACSOutput {
 public:
  explicit TCollectSink(TComponent* AOwner) : TACSOutput(AOwner) {}

  std::vector<uint8_t> Got;
  std::atomic<int> DoneCalls{0}, PrepareCalls{0};
  bool FailPrepare = false;
  bool FailDone = false;
  std::atomic<bool> Endless{false};  // the job ends only when stopped
  std::atomic<bool> Hold{false};    // steps wait while set
  std::atomic<bool> InStep{false};  // a step is waiting on Hold
  std::vector<int> ProgressSeen;    // worker thread only

 protected:
  void Prepare() override {
    ++PrepareCalls;
    if (FailPrepare) throw EACSException("prepare failed");
    Input()->Init();
  }
  bool DoOutput(bool Abort) override {
    if (!Active()) return true;
    ReportProgress();
    if (Abort) return false;
    while (Hold) {
      InStep = true;
      std::this_thread::sleep_for(1ms);
    }
    InStep = false;
    uint8_t Buf[4096];
    const int N = ReadInput(Buf, sizeof Buf);
    Got.insert(Got.end(), Buf, Buf + N);
    return N > 0 || Endless;
  }
  void Done() override {
    ++DoneCalls;
    if (TACSInput* In = Input()) In->Flush();
    if (FailDone) throw EACSException("done failed");
  }
};

// Waits for the end of a job and records how it ended and on which thread.
struct TJobWatch {
  std::mutex M;
  std::condition_variable Cv;
  int DoneCount = 0, ErrorCount = 0;
  std::string Error;
  std::thread::id ErrorThread;
  bool BusyInOnDone = true;

  void Attach(TCollectSink& S) {
    S.OnDone = [this, &S](TComponent* Sender) {
      EXPECT_EQ(Sender, &S);
      std::lock_guard<std::mutex> L(M);
      BusyInOnDone = S.Busy();
      ++DoneCount;
      Cv.notify_all();
    };
    S.OnThreadException = [this](TComponent*, const std::exception& E) {
      std::lock_guard<std::mutex> L(M);
      Error = E.what();
      ErrorThread = std::this_thread::get_id();
      ++ErrorCount;
      Cv.notify_all();
    };
    S.OnProgress = [&S](TComponent*) { S.ProgressSeen.push_back(S.Progress()); };
  }
  bool WaitEnds(int N) {
    std::unique_lock<std::mutex> L(M);
    return Cv.wait_for(L, 10s, [&] { return DoneCount + ErrorCount >= N; });
  }
};

std::vector<uint8_t> Bytes(size_t N) {
  std::vector<uint8_t> V(N);
  for (size_t I = 0; I < N; ++I) V[I] = static_cast<uint8_t>(I * 7 + 3);
  return V;
}

void WaitIdle(TACSOutput& S) {
  for (int I = 0; I < 5000 && S.Status() != osIdle; ++I) std::this_thread::sleep_for(1ms);
}

class Engine : public ::testing::Test {
 protected:
  TOwned<TComponent> Form{new TComponent(nullptr)};
  TMemorySource* Src = new TMemorySource(Form.get());
  TCollectSink* Sink = new TCollectSink(Form.get());
  TJobWatch Watch;
  void SetUp() override {
    Src->Data = Bytes(100000);
    Sink->SetInput(Src);
    Watch.Attach(*Sink);
  }
};

}  // namespace

TEST_F(Engine, JobDeliversEverythingAndEndsThroughOnDoneAfterDone) {
  Sink->Run();
  ASSERT_TRUE(Watch.WaitEnds(1));
  WaitIdle(*Sink);
  EXPECT_EQ(Watch.DoneCount, 1);
  EXPECT_EQ(Watch.ErrorCount, 0);
  EXPECT_EQ(Sink->Got, Src->Data);
  EXPECT_EQ(Sink->DoneCalls, 1);
  EXPECT_FALSE(Watch.BusyInOnDone) << "Busy is cleared before OnDone is raised";
  EXPECT_EQ(Src->InitCount, 1);
  EXPECT_EQ(Src->FlushCount, 1);
  EXPECT_EQ(Sink->Status(), osIdle);
  EXPECT_FALSE(Src->Busy());
}

TEST_F(Engine, RunOnBusySinkRaisesAndLeavesTheJobRunning) {
  Sink->Hold = true;
  Sink->Run();
  while (!Sink->InStep) std::this_thread::sleep_for(1ms);
  EXPECT_EQ(Sink->Status(), osRunning);
  try {
    Sink->Run();
    ADD_FAILURE() << "Run on a busy sink must raise";
  } catch (const EACSException& E) {
    EXPECT_STREQ(E.what(), "Component is buisy");
  }
  EXPECT_EQ(Sink->PrepareCalls, 1);
  Sink->Hold = false;
  ASSERT_TRUE(Watch.WaitEnds(1));
  EXPECT_EQ(Sink->Got, Src->Data) << "the running job went on untouched";
  EXPECT_EQ(Watch.ErrorCount, 0);
}

TEST_F(Engine, RunWithoutInputRaisesAndStartsNothing) {
  Sink->SetInput(nullptr);
  try {
    Sink->Run();
    ADD_FAILURE() << "Run without input must raise";
  } catch (const EACSException& E) {
    EXPECT_STREQ(E.what(), "Input is not assigned");
  }
  EXPECT_EQ(Sink->PrepareCalls, 0);
  EXPECT_EQ(Sink->Status(), osIdle);
}

TEST_F(Engine, PrepareFailureReachesOnThreadExceptionOnTheCallingThread) {
  Sink->FailPrepare = true;
  EXPECT_NO_THROW(Sink->Run());
  // Raised inside Run, before it returned, on this thread.
  EXPECT_EQ(Watch.ErrorCount, 1);
  EXPECT_EQ(Watch.Error, "prepare failed");
  EXPECT_EQ(Watch.ErrorThread, std::this_thread::get_id());
  EXPECT_EQ(Watch.DoneCount, 0);
  EXPECT_EQ(Sink->DoneCalls, 0) << "a job that never started is not finished";
  EXPECT_EQ(Sink->Status(), osIdle);
  // The sink can run again.
  Sink->FailPrepare = false;
  Sink->Run();
  ASSERT_TRUE(Watch.WaitEnds(2));
  EXPECT_EQ(Watch.DoneCount, 1);
}

TEST_F(Engine, StopEndsTheJobThroughOnDoneWithDone) {
  Sink->Hold = true;
  Sink->Run();
  while (!Sink->InStep) std::this_thread::sleep_for(1ms);
  Sink->Stop();
  Sink->Hold = false;
  ASSERT_TRUE(Watch.WaitEnds(1));
  WaitIdle(*Sink);
  EXPECT_EQ(Watch.DoneCount, 1);
  EXPECT_EQ(Watch.ErrorCount, 0);
  EXPECT_EQ(Sink->DoneCalls, 1);
  EXPECT_LT(Sink->Got.size(), Src->Data.size());
  EXPECT_EQ(Src->FlushCount, 1);
}

TEST_F(Engine, StepFailureEndsThroughOnThreadExceptionAfterDone) {
  Src->FailAfter = 8192;
  Sink->Run();
  ASSERT_TRUE(Watch.WaitEnds(1));
  WaitIdle(*Sink);
  EXPECT_EQ(Watch.ErrorCount, 1);
  EXPECT_EQ(Watch.DoneCount, 0);
  EXPECT_EQ(Watch.Error, "Simulated read failure");
  EXPECT_NE(Watch.ErrorThread, std::this_thread::get_id()) << "raised on the worker";
  EXPECT_EQ(Sink->DoneCalls, 1) << "the error handler finishes the output";
  EXPECT_EQ(Src->FlushCount, 1);
  EXPECT_EQ(Sink->Status(), osIdle);
  // The input lock was released: the next job can read.
  Src->FailAfter = -1;
  Sink->Run();
  ASSERT_TRUE(Watch.WaitEnds(2));
  EXPECT_EQ(Watch.DoneCount, 1);
}

TEST_F(Engine, DoneFailureIsReportedAsAThreadException) {
  Sink->FailDone = true;
  Sink->Run();
  ASSERT_TRUE(Watch.WaitEnds(1));
  WaitIdle(*Sink);
  EXPECT_EQ(Watch.ErrorCount, 1);
  EXPECT_EQ(Watch.Error, "done failed");
  EXPECT_EQ(Watch.DoneCount, 0);
  EXPECT_EQ(Sink->Status(), osIdle);
}

TEST_F(Engine, ProgressFollowsTheInputSize) {
  EXPECT_EQ(Sink->Progress(), 0) << "no job yet: Position 0 of a known size";
  Src->UseReportedSize = true;
  Src->ReportedSize = -1;
  Src->Init();
  EXPECT_EQ(Sink->Progress(), -1);
  Src->Flush();
  Src->ReportedSize = 0;
  Src->Init();
  EXPECT_EQ(Sink->Progress(), 0);
  Src->Flush();
  // A capture source without a time limit reports a large negative size.
  Src->ReportedSize = -1000000;
  Src->Init();
  uint8_t B[500000];
  Src->GetData(B, sizeof B);  // Position 100000 (all the data)
  EXPECT_EQ(Sink->Progress(), -10);
  Src->Flush();
  Sink->SetInput(nullptr);
  EXPECT_EQ(Sink->Progress(), 0);
}

TEST_F(Engine, ProgressRoundsHalfToEven) {
  Src->Data = Bytes(200);
  Src->Init();
  uint8_t B[200];
  Src->GetData(B, 1);  // 0.5 % rounds to 0
  EXPECT_EQ(Sink->Progress(), 0);
  Src->GetData(B, 2);  // 1.5 % rounds to 2
  EXPECT_EQ(Sink->Progress(), 2);
  Src->GetData(B, 2);  // 2.5 % rounds to 2
  EXPECT_EQ(Sink->Progress(), 2);
  Src->Flush();
}

TEST_F(Engine, ProgressIsReportedOnlyOnChangeAndRestartsAtZero) {
  Sink->Run();
  ASSERT_TRUE(Watch.WaitEnds(1));
  WaitIdle(*Sink);
  const std::vector<int> First = Sink->ProgressSeen;
  ASSERT_FALSE(First.empty());
  EXPECT_EQ(First.back(), 100);
  for (size_t I = 1; I < First.size(); ++I) EXPECT_NE(First[I], First[I - 1]);
  EXPECT_LE(First.size(), 101u);
  Sink->ProgressSeen.clear();
  Sink->Run();
  ASSERT_TRUE(Watch.WaitEnds(2));
  WaitIdle(*Sink);
  ASSERT_FALSE(Sink->ProgressSeen.empty());
  EXPECT_EQ(Sink->ProgressSeen.front(), 0) << "the second job starts by reporting 0";
}

TEST_F(Engine, SwappingTheInputOfARunningJobFlushesTheOldAndInitsTheNew) {
  auto* Second = new TMemorySource(Form.get());
  Second->Data = std::vector<uint8_t>(20000, 0xAB);
  Sink->Hold = true;
  Sink->Run();
  while (!Sink->InStep) std::this_thread::sleep_for(1ms);
  Sink->SetInput(Second);
  EXPECT_EQ(Second->InitCount, 1);
  EXPECT_EQ(Src->FlushCount, 1);
  Sink->Hold = false;
  ASSERT_TRUE(Watch.WaitEnds(1));
  WaitIdle(*Sink);
  ASSERT_GE(Sink->Got.size(), 20000u);
  EXPECT_TRUE(std::all_of(Sink->Got.end() - 20000, Sink->Got.end(), [](uint8_t B) { return B == 0xAB; }));
  EXPECT_EQ(Second->FlushCount, 1) << "Done flushes the new input";
}

TEST_F(Engine, RemovingTheInputLeavesTheSinkWithoutInput) {
  TComponent::Free(Src);
  EXPECT_EQ(Sink->Input(), nullptr);
  EXPECT_THROW(Sink->Run(), EACSException);
}

TEST_F(Engine, RemovingTheInputOfARunningJobEndsTheJobFirst) {
  // The job cannot end by itself: only the removal can have ended it.
  Sink->Endless = true;
  Sink->Hold = true;
  Sink->Run();
  while (!Sink->InStep) std::this_thread::sleep_for(1ms);
  std::thread Releaser([this] {
    std::this_thread::sleep_for(20ms);
    Sink->Hold = false;
  });
  TComponent::Free(Src);  // waits for the job to end
  Releaser.join();
  EXPECT_EQ(Sink->Input(), nullptr);
  EXPECT_EQ(Sink->DoneCalls, 1);
  ASSERT_TRUE(Watch.WaitEnds(1));
  EXPECT_EQ(Watch.DoneCount, 1);
}

TEST_F(Engine, RemovalIsNotifiedAcrossOwners) {
  TOwned<TMemorySource> Foreign(new TMemorySource(nullptr));
  Sink->SetInput(Foreign.get());
  Foreign.reset();
  EXPECT_EQ(Sink->Input(), nullptr);
}

TEST_F(Engine, DestroyingARunningSinkNeitherFinishesNorReports) {
  // The job cannot reach its end before the destruction, however late that
  // comes.
  Sink->Endless = true;
  Sink->Hold = true;
  Sink->Run();
  while (!Sink->InStep) std::this_thread::sleep_for(1ms);
  std::thread Releaser([this] {
    std::this_thread::sleep_for(20ms);
    Sink->Hold = false;
  });
  TComponent::Free(Sink);
  Releaser.join();
  Sink = nullptr;
  EXPECT_EQ(Watch.DoneCount, 0);
  EXPECT_EQ(Watch.ErrorCount, 0);
}

TEST_F(Engine, DelayAcceptsUpTo100) {
  Sink->SetDelay(6);
  EXPECT_EQ(Sink->Delay(), 6);
  Sink->SetDelay(101);
  EXPECT_EQ(Sink->Delay(), 6);
  Sink->SetDelay(100);
  EXPECT_EQ(Sink->Delay(), 100);
}

TEST_F(Engine, OwnerDestroysWhatItOwns) {
  EXPECT_EQ(Form->ComponentCount(), 2);
  Src->SetName("Src");
  EXPECT_EQ(Form->FindComponent("Src"), Src);
  Form.reset();  // frees both; ASan reports any leak or use after free
  SUCCEED();
}

TEST_F(Engine, ManySuccessiveJobsResumeTheWorkerEachTime) {
  // A Run issued from OnDone, while the worker is between the end of a job
  // and its suspension, must not be lost.
  Src->Data = Bytes(5000);
  std::atomic<int> Left{50};
  Sink->OnDone = [&](TComponent*) {
    if (--Left > 0) {
      Sink->Run();
    } else {
      std::lock_guard<std::mutex> L(Watch.M);
      ++Watch.DoneCount;
      Watch.Cv.notify_all();
    }
  };
  Sink->Run();
  ASSERT_TRUE(Watch.WaitEnds(1)) << "a job started from OnDone never ran; " << Left << " left";
  WaitIdle(*Sink);
  EXPECT_EQ(Src->InitCount, 50);
}
