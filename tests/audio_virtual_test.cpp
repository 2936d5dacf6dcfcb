// TAudioIn and TAudioOut on the in-process sound system: the block queues,
// the recording limit, the busy and channel errors and device failures.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "engine/ACS_Audio.h"
#include "platform/VirtualSoundCard.h"
#include "tests/support/TestSupport.h"
#include "wave/WaveOut.h"

using namespace testing_support;

namespace {

// Waits for a job's end; gives up after a generous time so a hang fails the
// test instead of blocking the suite.
struct TJobEnd {
  std::atomic<bool> Done{false};
  std::atomic<bool> Failed{false};
  std::mutex Lock;
  std::string Message;

  void Attach(TACSOutput& Sink) {
    Sink.OnDone = [this](TComponent*) { Done = true; };
    Sink.OnThreadException = [this](TComponent*, const std::exception& E) {
      {
        std::lock_guard<std::mutex> L(Lock);
        Message = E.what();
      }
      Failed = true;
    };
  }
  bool Wait(int Seconds = 30) {
    const auto Until = std::chrono::steady_clock::now() + std::chrono::seconds(Seconds);
    while (!Done && !Failed && std::chrono::steady_clock::now() < Until)
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    return Done || Failed;
  }
  std::string Text() {
    std::lock_guard<std::mutex> L(Lock);
    return Message;
  }
};

// Waits until Ready() holds, for at most Seconds; returns Ready().
bool WaitFor(const std::function<bool()>& Ready, int Seconds = 30) {
  const auto Until = std::chrono::steady_clock::now() + std::chrono::seconds(Seconds);
  while (!Ready() && std::chrono::steady_clock::now() < Until)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  return Ready();
}

std::string ErrorOf(const std::function<void()>& F) {
  try {
    F();
  } catch (const EACSException& E) {
    return E.what();
  }
  return "(no error)";
}

bool IsPattern(const uint8_t* P, size_t N, uint64_t From) {
  for (size_t I = 0; I < N; ++I)
    if (P[I] != TVirtualSoundCard::PatternByte(From + I)) return false;
  return true;
}

class AudioInVirtual : public ::testing::Test {
 protected:
  void SetUp() override { UseSoundCard(&Card); }
  void TearDown() override { UseSoundCard(nullptr); }

  TOwned<TAudioIn> MakeCapture(int RecTime, int Bits = 16, int Channels = 2, int Rate = 44100) {
    auto In = MakeComponent<TAudioIn>(nullptr);
    In->SetInBitsPerSample(Bits);
    In->SetInChannels(Channels);
    In->SetInSampleRate(Rate);
    In->SetRecTime(RecTime);
    return In;
  }

  TVirtualSoundCard Card{2, 2};
};

using AudioOutVirtual = AudioInVirtual;

}  // namespace

TEST_F(AudioInVirtual, DeliversTheDeviceBytesInOrderUpToTheFirstCallPastTheLimit) {
  // 8-bit mono at 8000 Hz for 3 s: 24000 bytes, read in odd-sized pieces.
  auto In = MakeCapture(3, 8, 1, 8000);
  EXPECT_EQ(In->TotalTime(), 3);
  In->Init();
  EXPECT_EQ(In->Size(), 24000);
  std::vector<uint8_t> Got;
  std::vector<uint8_t> Buf(3001);
  int Last = 0;
  for (;;) {
    const int N = In->GetData(Buf.data(), static_cast<int>(Buf.size()));
    if (N == 0) break;
    Last = N;
    Got.insert(Got.end(), Buf.begin(), Buf.begin() + N);
    ASSERT_LT(Got.size(), 100000u) << "the recording does not end";
  }
  In->Flush();
  EXPECT_FALSE(In->Busy());
  EXPECT_EQ(In->Position(), static_cast<int64_t>(Got.size()));
  // The call that crossed the limit was not cut short; the next one returned 0.
  EXPECT_GE(Got.size(), 24000u);
  EXPECT_LT(Got.size() - static_cast<size_t>(Last), 24000u);
  EXPECT_TRUE(IsPattern(Got.data(), Got.size(), 0));
  EXPECT_EQ(Card.OpenStreams(), 0);
  EXPECT_EQ(Card.LastFormat().BitsPerSample, 8);
  EXPECT_EQ(Card.LastFormat().Channels, 1);
  EXPECT_EQ(Card.LastFormat().SampleRate, 8000);
}

TEST_F(AudioInVirtual, OneSecondOfCdSoundEndsAtTheFirstBlockBoundaryPastIt) {
  auto In = MakeCapture(1);
  In->Init();
  EXPECT_EQ(In->Size(), 176400);
  std::vector<uint8_t> Buf(16384);
  int64_t Total = 0;
  while (int N = In->GetData(Buf.data(), 16384)) {
    EXPECT_EQ(N, 16384);
    Total += N;
  }
  In->Flush();
  EXPECT_EQ(Total, 11 * 16384);  // 176400 bytes lie inside the eleventh block
  // Two seconds of CD sound in blocks: 352800 bytes fill 22 of them.
  EXPECT_EQ(TAudioIn::BlocksQueued(TPcmFormat{44100, 2, 16}), 22);
  EXPECT_LE(Card.MaxHeld(), 22);
}

TEST_F(AudioInVirtual, BusyAndChannelRulesUseTheirMessages) {
  auto In = MakeCapture(1);
  EXPECT_EQ(ErrorOf([&] { In->SetBaseChannel(5); }), "Channel 5 is not available");
  EXPECT_EQ(ErrorOf([&] { In->SetBaseChannel(2); }), "Channel 2 is not available");
  In->SetBaseChannel(-1);
  EXPECT_EQ(In->BaseChannel(), -1);
  In->SetBaseChannel(1);
  EXPECT_EQ(In->BaseChannel(), 1);
  uint8_t B[16];
  EXPECT_EQ(ErrorOf([&] { In->GetData(B, 16); }), "The Stream is not opened");
  In->Init();
  EXPECT_EQ(Card.LastDevice(), 1);
  EXPECT_EQ(ErrorOf([&] { In->SetBaseChannel(0); }), "Component is buisy");
  EXPECT_EQ(ErrorOf([&] { In->Init(); }), "The component is buisy");
  In->Flush();
  In->SetBaseChannel(0);
  EXPECT_EQ(In->BaseChannel(), 0);
}

TEST_F(AudioInVirtual, MapperIsAcceptedWithoutAnyDevice) {
  TVirtualSoundCard None(0, 0);
  UseSoundCard(&None);
  auto In = MakeCapture(1);
  In->SetBaseChannel(-1);
  EXPECT_EQ(ErrorOf([&] { In->SetBaseChannel(0); }), "Channel 0 is not available");
  // The playback side quietly falls back to 0.
  auto Out = MakeComponent<TAudioOut>(nullptr);
  Out->SetBaseChannel(3);
  EXPECT_EQ(Out->BaseChannel(), 0);
}

TEST_F(AudioInVirtual, DeviceThatCannotOpenRaisesAndLeavesTheSourceIdle) {
  Card.SetOpenFailure("device is in use");
  auto In = MakeCapture(1);
  const std::string Msg = ErrorOf([&] { In->Init(); });
  EXPECT_NE(Msg.find("device is in use"), std::string::npos) << Msg;
  EXPECT_FALSE(In->Busy());
  Card.SetOpenFailure("");
  In->Init();  // not "The component is buisy"
  In->Flush();
}

TEST_F(AudioInVirtual, DeviceFailureDeliversWhatWasRecordedThenRaises) {
  Card.SetCaptureFailAfter(40000);
  auto In = MakeCapture(-1);
  In->Init();
  EXPECT_LT(In->Size(), -1);  // no limit: a large negative size
  std::vector<uint8_t> Got, Buf(5000);
  std::string Msg;
  try {
    for (;;) {
      const int N = In->GetData(Buf.data(), 5000);
      ASSERT_GT(N, 0);
      Got.insert(Got.end(), Buf.begin(), Buf.begin() + N);
    }
  } catch (const EACSException& E) {
    Msg = E.what();
  }
  EXPECT_NE(Msg.find("unplugged"), std::string::npos) << Msg;
  EXPECT_EQ(Got.size(), 40000u);
  EXPECT_TRUE(IsPattern(Got.data(), Got.size(), 0));
  In->Flush();  // returns: the failed device holds nothing
  EXPECT_FALSE(In->Busy());
}

TEST_F(AudioInVirtual, HungDeviceRaisesInsteadOfWaitingForever) {
  Card.SetStalled(true);
  auto In = MakeCapture(1);
  In->Init();
  uint8_t B[100];
  EXPECT_EQ(ErrorOf([&] { In->GetData(B, 100); }), "No sound arrives from capture device 0");
  In->Flush();
  EXPECT_EQ(Card.OpenStreams(), 0);
}

TEST_F(AudioInVirtual, RecordingWithoutLimitRunsUntilStopIntoATrueWavFile) {
  TempDir T;
  Card.SetSpeed(4);  // four times real time
  auto In = MakeCapture(-1);
  auto Wav = MakeComponent<TWaveOut>(nullptr);
  Wav->SetFileName(T.Path("rec.wav"));
  Wav->SetInput(In.get());
  TJobEnd End;
  End.Attach(*Wav);
  Wav->Run();
  ASSERT_TRUE(WaitFor([&] { return In->Position() > 100000; }));
  EXPECT_EQ(Wav->Status(), osRunning);
  EXPECT_LT(Wav->Progress(), 0);
  Wav->Stop();
  ASSERT_TRUE(End.Wait());
  EXPECT_TRUE(End.Done) << End.Text();
  int Ch = 0, Rate = 0;
  const std::vector<int16_t> S = ReadPcm16Wav(T.Path("rec.wav"), &Ch, &Rate);
  EXPECT_EQ(Ch, 2);
  EXPECT_EQ(Rate, 44100);
  EXPECT_GT(S.size() * 2, 100000u);
  const std::vector<uint8_t> File = ReadFileBytes(T.Path("rec.wav"));
  EXPECT_EQ(File.size(), 44 + S.size() * 2);  // the header tells the true length
  EXPECT_TRUE(IsPattern(reinterpret_cast<const uint8_t*>(S.data()), S.size() * 2, 0));
  EXPECT_FALSE(In->Busy());
  EXPECT_EQ(Card.OpenStreams(), 0);
}

TEST_F(AudioInVirtual, DeviceLostMidRecordingEndsThroughThreadExceptionKeepingTheFile) {
  TempDir T;
  Card.SetCaptureFailAfter(100000);
  auto In = MakeCapture(30);
  auto Wav = MakeComponent<TWaveOut>(nullptr);
  Wav->SetFileName(T.Path("rec.wav"));
  Wav->SetInput(In.get());
  TJobEnd End;
  End.Attach(*Wav);
  Wav->Run();
  ASSERT_TRUE(End.Wait());
  EXPECT_TRUE(End.Failed);
  EXPECT_NE(End.Text().find("unplugged"), std::string::npos) << End.Text();
  const std::vector<int16_t> S = ReadPcm16Wav(T.Path("rec.wav"));
  EXPECT_EQ(S.size() * 2, 100000u);
  EXPECT_EQ(ReadFileBytes(T.Path("rec.wav")).size(), 44 + 100000u);
  EXPECT_TRUE(IsPattern(reinterpret_cast<const uint8_t*>(S.data()), 100000, 0));
  EXPECT_EQ(Wav->Status(), osIdle);
  EXPECT_FALSE(In->Busy());
}

// ---------------------------------------------------------------- playback

TEST_F(AudioOutVirtual, PlaysEveryByteOfItsInputAndKeepsAtMostNineBlocksQueued) {
  auto Src = MakeComponent<TMemorySource>(nullptr);
  const std::vector<int16_t> Sig = MakeSignal16(44100, 2, 44100);
  Src->Data.assign(reinterpret_cast<const uint8_t*>(Sig.data()),
                   reinterpret_cast<const uint8_t*>(Sig.data()) + Sig.size() * 2);
  Src->MaxChunk = 5001;  // blocks that end inside a frame
  auto Out = MakeComponent<TAudioOut>(nullptr);
  EXPECT_EQ(Out->Delay(), 6);
  EXPECT_EQ(Out->Volume(), 255);
  Out->SetBaseChannel(1);
  Out->SetInput(Src.get());
  TJobEnd End;
  End.Attach(*Out);
  std::atomic<int> Progress{0};
  Out->OnProgress = [&](TComponent*) { Progress = Out->Progress(); };
  Out->Run();
  EXPECT_EQ(ErrorOf([&] { Out->SetBaseChannel(0); }), "Component is buisy");
  EXPECT_EQ(ErrorOf([&] { Out->Run(); }), "Component is buisy");
  ASSERT_TRUE(End.Wait());
  EXPECT_TRUE(End.Done) << End.Text();
  EXPECT_EQ(Card.Played(1), Src->Data);
  EXPECT_TRUE(Card.Played(0).empty());
  // Progress is reported after a step moved data; the step that finds the
  // input exhausted ends the job before reporting. One step refills up to
  // nine blocks of at most 5001 bytes here, so the last report may be up to
  // 9 * 5001 of 176400 bytes (25.5 %) short of the end.
  EXPECT_GE(Progress, 74);
  EXPECT_LE(Card.MaxHeld(), 9);
  EXPECT_EQ(Src->FlushCount, 1);
  EXPECT_EQ(Card.OpenStreams(), 0);
}

TEST_F(AudioOutVirtual, VolumeScalesTheSamples) {
  auto Src = MakeComponent<TMemorySource>(nullptr);
  const int16_t S[] = {32767, -32768, 1000, -1000, 0, 255};
  Src->Data.assign(reinterpret_cast<const uint8_t*>(S),
                   reinterpret_cast<const uint8_t*>(S) + sizeof S);
  auto Out = MakeComponent<TAudioOut>(nullptr);
  Out->SetVolume(51);  // one fifth
  Out->SetInput(Src.get());
  TJobEnd End;
  End.Attach(*Out);
  Out->Run();
  ASSERT_TRUE(End.Wait());
  const std::vector<uint8_t> P = Card.Played(0);
  ASSERT_EQ(P.size(), sizeof S);
  int16_t R[6];
  std::memcpy(R, P.data(), sizeof R);
  EXPECT_EQ(R[0], 6553);
  EXPECT_EQ(R[1], -6553);
  EXPECT_EQ(R[2], 200);
  EXPECT_EQ(R[3], -200);
  EXPECT_EQ(R[4], 0);
  EXPECT_EQ(R[5], 51);
}

TEST_F(AudioOutVirtual, StopLetsTheQueuedBlocksPlayBeforeOnDone) {
  Card.SetSpeed(1);
  auto Src = MakeComponent<TMemorySource>(nullptr);
  Src->Data.resize(44100 * 4 * 10);  // ten seconds
  for (size_t I = 0; I < Src->Data.size(); ++I) Src->Data[I] = static_cast<uint8_t>(I * 7);
  auto Out = MakeComponent<TAudioOut>(nullptr);
  Out->SetInput(Src.get());
  TJobEnd End;
  End.Attach(*Out);
  Out->Run();
  // Once more than the nine queued blocks were taken, some have played.
  ASSERT_TRUE(WaitFor([&] { return Src->Position() > 8192 * 9; }));
  Out->Stop();
  ASSERT_TRUE(End.Wait());
  EXPECT_TRUE(End.Done);
  // Everything taken from the input was played, nothing more.
  const std::vector<uint8_t> P = Card.Played(0);
  EXPECT_EQ(static_cast<int64_t>(P.size()), Src->Position());
  EXPECT_GT(P.size(), 8192u * 9);
  EXPECT_LT(P.size(), Src->Data.size());
  EXPECT_TRUE(std::equal(P.begin(), P.end(), Src->Data.begin()));
}

TEST_F(AudioOutVirtual, DeviceThatCannotOpenEndsThroughThreadExceptionAndFlushesTheInput) {
  Card.SetOpenFailure("no such speaker");
  auto Src = MakeComponent<TMemorySource>(nullptr);
  Src->Data.resize(1000);
  auto Out = MakeComponent<TAudioOut>(nullptr);
  Out->SetInput(Src.get());
  TJobEnd End;
  End.Attach(*Out);
  Out->Run();  // raises nothing: the failure goes to the event
  EXPECT_TRUE(End.Failed);
  EXPECT_NE(End.Text().find("no such speaker"), std::string::npos) << End.Text();
  EXPECT_EQ(Src->InitCount, 1);
  EXPECT_EQ(Src->FlushCount, 1);
  EXPECT_FALSE(Src->Busy());
  EXPECT_EQ(Out->Status(), osIdle);
}

TEST_F(AudioOutVirtual, DeviceLostDuringPlaybackEndsThroughThreadException) {
  Card.SetPlaybackFailAfter(30000);
  auto Src = MakeComponent<TMemorySource>(nullptr);
  Src->Data.resize(1000000);
  auto Out = MakeComponent<TAudioOut>(nullptr);
  Out->SetInput(Src.get());
  TJobEnd End;
  End.Attach(*Out);
  Out->Run();
  ASSERT_TRUE(End.Wait());
  EXPECT_TRUE(End.Failed);
  EXPECT_NE(End.Text().find("unplugged"), std::string::npos) << End.Text();
  EXPECT_EQ(Card.Played(0).size(), 30000u);
  EXPECT_EQ(Src->FlushCount, 1);
  EXPECT_EQ(Card.OpenStreams(), 0);
}

TEST_F(AudioOutVirtual, CaptureStraightToPlaybackCopiesTheRecording) {
  // Both directions at once: device threads on both sides, one worker.
  auto In = MakeCapture(2, 16, 1, 22050);
  auto Out = MakeComponent<TAudioOut>(nullptr);
  Out->SetInput(In.get());
  TJobEnd End;
  End.Attach(*Out);
  Out->Run();
  ASSERT_TRUE(End.Wait());
  EXPECT_TRUE(End.Done) << End.Text();
  const std::vector<uint8_t> P = Card.Played(0);
  EXPECT_GE(P.size(), 88200u);
  EXPECT_TRUE(IsPattern(P.data(), P.size(), 0));
  EXPECT_EQ(Card.LastFormat().SampleRate, 22050);
  EXPECT_EQ(Card.LastFormat().Channels, 1);
}

// ---------------------------------------------------------------- falling behind

namespace {

// Every 16-bit stereo frame of the signal holds its own number, so a frame
// that was lost shows as a jump.
void NumberFrames(uint8_t* To, size_t Count, uint64_t Offset, const TPcmFormat&) {
  for (size_t I = 0; I < Count; ++I) {
    const uint64_t At = Offset + I;
    To[I] = static_cast<uint8_t>((At / 4) >> (8 * (At % 4)));
  }
}

uint32_t FrameNumber(const uint8_t* Frame) {
  uint32_t N;
  std::memcpy(&N, Frame, 4);
  return N;
}

// The frames missing between the ones delivered; -1 when the frames are not
// in order or do not start at frame 0.
int64_t MissingFrames(const std::vector<uint8_t>& Got) {
  int64_t Missing = 0;
  uint32_t Expected = 0;
  for (size_t I = 0; I + 4 <= Got.size(); I += 4) {
    const uint32_t N = FrameNumber(&Got[I]);
    if (N < Expected) return -1;
    Missing += N - Expected;
    Expected = N + 1;
  }
  return Got.empty() || FrameNumber(&Got[0]) == 0 ? Missing : -1;
}

class AudioInRealTime : public AudioInVirtual {
 protected:
  void SetUp() override {
    AudioInVirtual::SetUp();
    Card.SetRealTimeCapture(true);
    Card.SetGenerator(NumberFrames);
  }
  // Reads Bytes of the recording into Got.
  void Read(TAudioIn& In, std::vector<uint8_t>& Got, size_t Bytes) {
    std::vector<uint8_t> Buf(4096);
    const size_t Until = Got.size() + Bytes;
    while (Got.size() < Until) {
      const int N = In.GetData(Buf.data(), static_cast<int>(Buf.size()));
      ASSERT_GT(N, 0);
      Got.insert(Got.end(), Buf.begin(), Buf.begin() + N);
    }
  }
};

void SleepMs(int Ms) { std::this_thread::sleep_for(std::chrono::milliseconds(Ms)); }

}  // namespace

TEST_F(AudioInRealTime, SoundFromTheFirstMomentIsKeptUntilTheReaderAsksForIt) {
  Card.SetSpeed(2);
  auto In = MakeCapture(-1);
  In->Init();
  // The device records while the sink is still getting ready.
  SleepMs(300);
  std::vector<uint8_t> Got;
  Read(*In, Got, 176400);
  In->Flush();
  EXPECT_EQ(FrameNumber(&Got[0]), 0u);
  EXPECT_EQ(MissingFrames(Got), 0);
  EXPECT_EQ(In->DroppedBytes(), 0u);
}

TEST_F(AudioInRealTime, AReaderHeldUpForAFewHundredMillisecondsLosesNothing) {
  Card.SetSpeed(2);
  auto In = MakeCapture(-1);
  In->Init();
  std::vector<uint8_t> Got;
  Read(*In, Got, 88200);
  SleepMs(250);  // half a second of sound at twice real time: a slow disk
  Read(*In, Got, 176400);
  In->Flush();
  EXPECT_EQ(MissingFrames(Got), 0);
  EXPECT_EQ(In->DroppedBytes(), 0u);
}

TEST_F(AudioInRealTime, AReaderFarBehindLosesSoundAndTheLossIsCountedExactly) {
  Card.SetSpeed(8);
  auto In = MakeCapture(-1);
  In->Init();
  std::vector<uint8_t> Got;
  Read(*In, Got, 44100);
  // Four seconds of sound at eight times real time: twice what the queued
  // blocks hold.
  SleepMs(500);
  Read(*In, Got, 4 * 176400);
  In->Flush();
  const int64_t Missing = MissingFrames(Got);
  ASSERT_GT(Missing, 0);
  EXPECT_EQ(static_cast<uint64_t>(Missing) * 4, In->DroppedBytes());
  // Kept after the job, and cleared by the next one.
  EXPECT_FALSE(In->Busy());
  EXPECT_GT(In->DroppedBytes(), 0u);
  In->Init();
  EXPECT_EQ(In->DroppedBytes(), 0u);
  In->Flush();
}
