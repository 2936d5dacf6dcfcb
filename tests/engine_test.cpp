// The engine's rules: busy and unassigned errors, where failures are reported,
// how a job ends, progress, input swaps and removal notifications.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
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
  std::atomic<bool> Hold{false};     // steps wait while set
  std::atomic<bool> InStep{false};   // a step is waiting on Hold
  std::vector<int> ProgressSeen;     // worker thread only

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

// Records how jobs ended and on which thread. The handlers write on the
// worker; the test reads after the sink's WaitForEnd has returned.
struct TJobWatch {
  std::mutex M;
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
    };
    S.OnThreadException = [this](TComponent*, const std::exception& E) {
      std::lock_guard<std::mutex> L(M);
      Error = E.what();
      ErrorThread = std::this_thread::get_id();
      ++ErrorCount;
    };
    S.OnProgress = [&S](TComponent*) { S.ProgressSeen.push_back(S.Progress()); };
  }
};

std::vector<uint8_t> Bytes(size_t N) {
  std::vector<uint8_t> V(N);
  for (size_t I = 0; I < N; ++I) V[I] = static_cast<uint8_t>(I * 7 + 3);
  return V;
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
  ASSERT_TRUE(Sink->WaitForEnd(10s));
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
  ASSERT_TRUE(Sink->WaitForEnd(10s));
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
  ASSERT_TRUE(Sink->WaitForEnd(10s));
  EXPECT_EQ(Watch.DoneCount, 1);
}

TEST_F(Engine, StopEndsTheJobThroughOnDoneWithDone) {
  Sink->Hold = true;
  Sink->Run();
  while (!Sink->InStep) std::this_thread::sleep_for(1ms);
  Sink->Stop();
  Sink->Hold = false;
  ASSERT_TRUE(Sink->WaitForEnd(10s));
  EXPECT_EQ(Watch.DoneCount, 1);
  EXPECT_EQ(Watch.ErrorCount, 0);
  EXPECT_EQ(Sink->DoneCalls, 1);
  EXPECT_LT(Sink->Got.size(), Src->Data.size());
  EXPECT_EQ(Src->FlushCount, 1);
}

TEST_F(Engine, StepFailureEndsThroughOnThreadExceptionAfterDone) {
  Src->FailAfter = 8192;
  Sink->Run();
  ASSERT_TRUE(Sink->WaitForEnd(10s));
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
  ASSERT_TRUE(Sink->WaitForEnd(10s));
  EXPECT_EQ(Watch.DoneCount, 1);
}

TEST_F(Engine, DoneFailureIsReportedAsAThreadException) {
  Sink->FailDone = true;
  Sink->Run();
  ASSERT_TRUE(Sink->WaitForEnd(10s));
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
  ASSERT_TRUE(Sink->WaitForEnd(10s));
  const std::vector<int> First = Sink->ProgressSeen;
  ASSERT_FALSE(First.empty());
  EXPECT_EQ(First.back(), 100);
  for (size_t I = 1; I < First.size(); ++I) EXPECT_NE(First[I], First[I - 1]);
  EXPECT_LE(First.size(), 101u);
  Sink->ProgressSeen.clear();
  Sink->Run();
  ASSERT_TRUE(Sink->WaitForEnd(10s));
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
  ASSERT_TRUE(Sink->WaitForEnd(10s));
  ASSERT_GE(Sink->Got.size(), 20000u);
  EXPECT_TRUE(
      std::all_of(Sink->Got.end() - 20000, Sink->Got.end(), [](uint8_t B) { return B == 0xAB; }));
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
  ASSERT_TRUE(Sink->WaitForEnd(10s));
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
    if (--Left > 0) Sink->Run();
  };
  Sink->Run();
  // Each wait covers the job running when it starts; the next job is begun
  // inside the handler, before the previous one counts as ended.
  for (int I = 0; I < 50; ++I)
    ASSERT_TRUE(Sink->WaitForEnd(10s))
        << "a job started from OnDone never ran; " << Left << " left";
  EXPECT_EQ(Left, 0);
  EXPECT_EQ(Src->InitCount, 50);
  EXPECT_EQ(Sink->Status(), osIdle);
}

// ---------------------------------------------------------------- WaitForEnd

TEST_F(Engine, WaitForEndReturnsOnlyAfterOnDoneHasReturned) {
  std::atomic<bool> Returned{false};
  Sink->OnDone = [&](TComponent*) {
    // Busy is already clear here: a wait on Busy would return now.
    std::this_thread::sleep_for(50ms);
    Returned = true;
  };
  Sink->Run();
  ASSERT_TRUE(Sink->WaitForEnd(10s));
  EXPECT_TRUE(Returned);
  EXPECT_EQ(Sink->Got, Src->Data);
}

TEST_F(Engine, WaitForEndReturnsOnlyAfterOnThreadExceptionHasReturned) {
  Src->FailAfter = 8192;
  std::atomic<bool> Returned{false};
  Sink->OnThreadException = [&](TComponent*, const std::exception&) {
    std::this_thread::sleep_for(50ms);
    Returned = true;
  };
  Sink->Run();
  ASSERT_TRUE(Sink->WaitForEnd(10s));
  EXPECT_TRUE(Returned);
}

TEST_F(Engine, BoundedWaitForEndTimesOutWhileTheJobRuns) {
  Sink->Hold = true;
  Sink->Run();
  while (!Sink->InStep) std::this_thread::sleep_for(1ms);
  const auto Start = std::chrono::steady_clock::now();
  EXPECT_FALSE(Sink->WaitForEnd(50ms));
  EXPECT_GE(std::chrono::steady_clock::now() - Start, 50ms);
  EXPECT_EQ(Sink->Status(), osRunning);
  Sink->Hold = false;
  ASSERT_TRUE(Sink->WaitForEnd(10s));
  EXPECT_EQ(Watch.DoneCount, 1);
  EXPECT_EQ(Sink->Got, Src->Data);
}

TEST_F(Engine, WaitForEndWithoutAJobOrAfterAFailedPrepareReturnsAtOnce) {
  EXPECT_TRUE(Sink->WaitForEnd(0ms)) << "no job ever ran";
  Sink->FailPrepare = true;
  Sink->Run();
  EXPECT_TRUE(Sink->WaitForEnd(0ms)) << "the failure was reported inside Run";
  EXPECT_EQ(Watch.ErrorCount, 1);
  EXPECT_EQ(Watch.Error, "prepare failed");
  Sink->FailPrepare = false;
  Sink->Run();
  ASSERT_TRUE(Sink->WaitForEnd(10s));
  EXPECT_TRUE(Sink->WaitForEnd(0ms)) << "a job that has ended is not waited for again";
  EXPECT_EQ(Watch.DoneCount, 1);
}

TEST_F(Engine, WaitForEndFromTheWorkersOwnHandlersReturnsFalseAtOnce) {
  std::atomic<int> InProgress{-1}, InDone{-1};
  Sink->OnProgress = [&](TComponent*) {
    if (InProgress < 0) InProgress = Sink->WaitForEnd() ? 1 : 0;
  };
  Sink->OnDone = [&](TComponent*) { InDone = Sink->WaitForEnd() ? 1 : 0; };
  Sink->Run();
  ASSERT_TRUE(Sink->WaitForEnd(10s)) << "a handler's wait deadlocked the worker";
  EXPECT_EQ(InProgress, 0);
  EXPECT_EQ(InDone, 0);
}

TEST_F(Engine, RunFromOnDoneStartsAJobThatTheNextWaitCovers) {
  std::atomic<int> Ends{0};
  std::atomic<bool> SecondStarted{false};
  Sink->OnDone = [&](TComponent*) {
    if (++Ends == 1) {
      Sink->Run();
      SecondStarted = true;
    }
  };
  Sink->Run();
  ASSERT_TRUE(Sink->WaitForEnd(10s));
  EXPECT_GE(Ends, 1);
  EXPECT_TRUE(SecondStarted) << "the first handler had not returned";
  ASSERT_TRUE(Sink->WaitForEnd(10s));
  EXPECT_EQ(Ends, 2);
  EXPECT_EQ(Src->InitCount, 2);
  EXPECT_EQ(Sink->Status(), osIdle);
}

TEST(JobCompletion, AWaitCoversTheJobsBegunBeforeIt) {
  TJobCompletion J;
  J.Begin();  // the first job
  std::atomic<int> Result{-1};
  std::thread Waiter([&] { Result = J.Wait() ? 1 : 0; });
  for (int I = 0; I < 10000 && J.Waiting() < 1; ++I) std::this_thread::sleep_for(1ms);
  ASSERT_EQ(J.Waiting(), 1);
  J.Begin();  // a second job, begun from the first one's handler
  J.End();    // the first job's handler returns
  Waiter.join();
  EXPECT_EQ(Result, 1) << "the waiter was kept for a job begun after it";
  EXPECT_FALSE(J.Wait(10ms)) << "the second job is still running";
  J.End();
  EXPECT_TRUE(J.Wait(0ms));
}

TEST_F(Engine, RemovingTheInputFromTheWorkerDoesNotWaitForItself) {
  // Freeing the source of a running job waits for the job's end, except on
  // the worker itself: there the job just finds no input and ends.
  Sink->OnProgress = [&](TComponent*) {
    if (Src) {
      TComponent::Free(Src);
      Src = nullptr;
    }
  };
  Sink->Run();
  ASSERT_TRUE(Sink->WaitForEnd(10s)) << "the worker waited for itself";
  EXPECT_EQ(Sink->Input(), nullptr);
  EXPECT_EQ(Watch.DoneCount, 1);
}

TEST(JobCompletion, ClosingReleasesEveryWaiterBeforeItReturns) {
  auto* J = new TJobCompletion;
  J->Begin();
  std::atomic<int> Released{0};
  std::vector<std::thread> Waiters;
  for (int I = 0; I < 3; ++I) Waiters.emplace_back([&] { Released += J->Wait() ? 1 : 0; });
  for (int I = 0; I < 10000 && J->Waiting() < 3; ++I) std::this_thread::sleep_for(1ms);
  ASSERT_EQ(J->Waiting(), 3);
  EXPECT_EQ(Released, 0) << "a waiter left before the job ended";
  delete J;  // the owner is destroyed with the job still running
  for (auto& W : Waiters) W.join();
  EXPECT_EQ(Released, 3);
}

TEST(JobCompletion, EndWithoutABegunJobIsIgnored) {
  TJobCompletion J;
  J.End();  // a start that failed before Begin
  J.Begin();
  EXPECT_FALSE(J.Wait(10ms)) << "the stray End counted for the later job";
  J.End();
  EXPECT_TRUE(J.Wait(0ms));
}
