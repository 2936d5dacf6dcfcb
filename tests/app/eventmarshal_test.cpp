// Engine events carried to the window's thread: a real WAV job's progress,
// completion and failure arrive there, in order, and only through the event
// loop.
#include "app/EventMarshal.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QObject>
#include <QThread>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "tests/support/TestSupport.h"
#include "wave/ACS_Wave.h"

using testing_support::TempDir;

namespace {

// Processes events until Done() or a timeout.
template <class F>
bool PumpUntil(F Done, int Ms = 20000) {
  QElapsedTimer T;
  T.start();
  while (!Done() && T.elapsed() < Ms) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return Done();
}

struct TCall {
  char Kind;  // 'p' progress, 'd' done, 'e' error
  int Value;
  bool OnMainThread;
};

class EventMarshal : public ::testing::Test {
 protected:
  EventMarshal()
      : Owner(MakeComponent<TComponent>(nullptr)),
        In(new TWaveIn(Owner.get())),
        Out(new TWaveOut(Owner.get())) {
    Out->SetInput(In);
    Out->OnProgress = QueuedEvent(&Context, [this](TComponent* S) {
      Calls.push_back({'p', static_cast<TWaveOut*>(S)->Progress(), IsMain()});
    });
    Out->OnDone = QueuedEvent(&Context, [this](TComponent*) {
      Calls.push_back({'d', 0, IsMain()});
    });
    Out->OnThreadException = QueuedException(&Context, [this](TComponent* S, const std::string& M) {
      EXPECT_EQ(S, Out);
      Message = M;
      Calls.push_back({'e', 0, IsMain()});
    });
  }
  static bool IsMain() {
    return QThread::currentThread() == QCoreApplication::instance()->thread();
  }
  bool Finished() const {
    return !Calls.empty() && (Calls.back().Kind == 'd' || Calls.back().Kind == 'e');
  }

  QObject Context;
  TempDir Dir;
  TOwned<TComponent> Owner;
  TWaveIn* In;
  TWaveOut* Out;
  std::vector<TCall> Calls;  // window thread only
  std::string Message;
};

}  // namespace

TEST_F(EventMarshal, JobEventsArriveOnTheWindowThreadInOrder) {
  const auto Pcm = testing_support::MakeSignal16(44100 * 3, 2, 44100);
  testing_support::WritePcmWav(Dir.Path("in.wav"), Pcm.data(), Pcm.size() * 2, 2, 44100, 16);
  In->SetFileName(Dir.Path("in.wav"));
  Out->SetFileName(Dir.Path("out.wav"));
  Out->Run();
  // Nothing is handled while the window thread does not turn its event loop.
  const auto Until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (Out->Status() != osIdle && std::chrono::steady_clock::now() < Until)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_TRUE(Calls.empty());
  ASSERT_TRUE(PumpUntil([&] { return Finished(); }));
  ASSERT_GE(Calls.size(), 2u);
  EXPECT_EQ(Calls.back().Kind, 'd');
  int Last = -1;
  for (size_t I = 0; I + 1 < Calls.size(); ++I) {
    EXPECT_EQ(Calls[I].Kind, 'p');
    EXPECT_GE(Calls[I].Value, Last);
    Last = Calls[I].Value;
  }
  for (const TCall& C : Calls) EXPECT_TRUE(C.OnMainThread);
  EXPECT_EQ(testing_support::ReadPcm16Wav(Dir.Path("out.wav")), Pcm);
}

TEST_F(EventMarshal, FailureMessageOutlivesTheException) {
  const auto Pcm = testing_support::MakeSignal16(4410, 2, 44100);
  testing_support::WritePcmWav(Dir.Path("in.wav"), Pcm.data(), Pcm.size() * 2, 2, 44100, 16);
  In->SetFileName(Dir.Path("in.wav"));
  Out->SetFileName(Dir.Path("no/such/folder/out.wav"));
  Out->Run();  // the job fails while it prepares: the output cannot be created
  EXPECT_TRUE(Calls.empty());
  ASSERT_TRUE(PumpUntil([&] { return Finished(); }));
  EXPECT_EQ(Calls.back().Kind, 'e');
  EXPECT_TRUE(Calls.back().OnMainThread);
  EXPECT_FALSE(Message.empty());
}

TEST(QueuedCalls, ArgumentsAreCopiedAndAGoneContextDropsTheCall) {
  std::vector<std::pair<int, bool>> Got;
  auto Ctx = std::make_unique<QObject>();
  std::function<void(TComponent*, bool)> Done =
      Queued<TComponent*, bool>(Ctx.get(), [&](TComponent*, bool Success) {
        Got.push_back({1, Success});
      });
  std::thread([&] { Done(nullptr, true); }).join();
  std::thread([&] { Done(nullptr, false); }).join();
  EXPECT_TRUE(Got.empty());
  PumpUntil([&] { return Got.size() == 2; });
  ASSERT_EQ(Got.size(), 2u);
  EXPECT_TRUE(Got[0].second);
  EXPECT_FALSE(Got[1].second);

  Done(nullptr, true);
  Ctx.reset();
  PumpUntil([] { return false; }, 100);
  EXPECT_EQ(Got.size(), 2u);
}
