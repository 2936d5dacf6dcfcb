// Capture and playback against a real sound server: the one that
// scripts/pulse.sh starts (a virtual speaker, and a virtual microphone that
// hears what is played into its feed sink), or a private one for the test
// that takes its server away.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

#include "engine/ACS_Audio.h"
#include "engine/ACS_Indicator.h"
#include "platform/PulseSoundCard.h"
#include "tests/support/TestServerDevices.h"
#include "tests/support/TestSupport.h"
#include "tests/support/ToneMeasure.h"
#include "wave/ACS_Wave.h"

using namespace testing_support;

namespace {

struct TJobEnd {
  std::atomic<bool> Done{false}, Failed{false};
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
  bool Wait(int Seconds) {
    const auto Until = std::chrono::steady_clock::now() + std::chrono::seconds(Seconds);
    while (!Done && !Failed && std::chrono::steady_clock::now() < Until)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
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
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  return Ready();
}

// The size of a file, 0 when it is missing.
uint64_t FileSize(const std::string& Name) {
  std::error_code E;
  const uintmax_t N = std::filesystem::file_size(Name, E);
  return E ? 0 : N;
}

class SoundCardPulse : public ::testing::Test {
 protected:
  void SetUp() override {
    Card = std::make_unique<TPulseSoundCard>();
    Capture = Card->CaptureDevices();
    Playback = Card->PlaybackDevices();
  }
  void TearDown() override { UseSoundCard(nullptr); }

  // True when the test server of scripts/pulse.sh answers; otherwise the test
  // is skipped by the caller.
  bool HaveTestServer() {
    return !Capture.empty() && FindDevice(Capture, kMic) > 0 && FindDevice(Playback, kFeed) > 0 &&
           FindDevice(Playback, kSpeaker) > 0;
  }

  TOwned<TAudioIn> MakeCapture(int RecTime, int Device) {
    auto In = MakeComponent<TAudioIn>(nullptr);
    In->SetInBitsPerSample(16);
    In->SetInChannels(2);
    In->SetInSampleRate(44100);
    In->SetRecTime(RecTime);
    In->SetBaseChannel(Device);
    return In;
  }

  // A 6-second 1 kHz tone played into the microphone's feed.
  struct TFeedTone {
    TOwned<TMemorySource> Tone = MakeComponent<TMemorySource>(nullptr);
    TOwned<TAudioOut> Player = MakeComponent<TAudioOut>(nullptr);
    TJobEnd End;
  };
  // Starts Feed; returns once the tone flows: more than the player's nine
  // queued blocks have gone to the server.
  void StartFeedTone(TFeedTone& Feed) {
    Feed.Tone->Data = ToneBytes(6, 1000, 0.5);
    Feed.Player->SetBaseChannel(FindDevice(Playback, kFeed));
    Feed.Player->SetInput(Feed.Tone.get());
    Feed.End.Attach(*Feed.Player);
    Feed.Player->Run();
    ASSERT_TRUE(WaitFor([&] { return Feed.Tone->Position() > 10 * 8192; })) << Feed.End.Text();
  }

  std::unique_ptr<TPulseSoundCard> Card;
  std::vector<TSoundDevice> Capture, Playback;
};

#define REQUIRE_TEST_SERVER()                                                               \
  if (!HaveTestServer())                                                                    \
  GTEST_SKIP() << "no test sound server answers (start one with: source scripts/pulse.sh; " \
                  "pulse_start)"

}  // namespace

TEST_F(SoundCardPulse, ListsTheServersDevicesAfterTheRecordingSelection) {
  REQUIRE_TEST_SERVER();
  ASSERT_GE(Capture.size(), 4u);  // selection + two monitors + microphone
  EXPECT_EQ(Capture[0].Index, 0);
  EXPECT_EQ(Capture[0].Name, kMic);  // the server's default source
  const int Mic = FindDevice(Capture, kMic);
  EXPECT_EQ(Capture[static_cast<size_t>(Mic)].Description, "Test Microphone");
  EXPECT_GT(FindDevice(Capture, kSpeaker + ".monitor"), 0);
  EXPECT_EQ(Playback[0].Name, kSpeaker);  // the default output
  for (size_t I = 0; I < Capture.size(); ++I) EXPECT_EQ(Capture[I].Index, static_cast<int>(I));

  UseSoundCard(Card.get());
  auto In = MakeComponent<TAudioIn>(nullptr);
  const int Beyond = static_cast<int>(Capture.size());
  try {
    In->SetBaseChannel(Beyond);
    ADD_FAILURE() << "a missing device was accepted";
  } catch (const EACSException& E) {
    EXPECT_EQ(std::string(E.what()), "Channel " + std::to_string(Beyond) + " is not available");
  }
  // The selection moves device 0 to another source, for this program only.
  Card->SetRecordingSelection(kSpeaker + ".monitor");
  EXPECT_EQ(Card->CaptureDevices()[0].Name, kSpeaker + ".monitor");
}

TEST_F(SoundCardPulse, ToneInTheMicrophoneIsRecordedThroughTheMeterIntoAWav) {
  REQUIRE_TEST_SERVER();
  UseSoundCard(Card.get());
  TempDir T;
  auto In = MakeCapture(3, 0);  // device 0: the default source, the test microphone
  auto Meter = MakeComponent<TSoundIndicator>(nullptr);
  Meter->SetInput(In.get());
  auto Wav = MakeComponent<TWaveOut>(nullptr);
  Wav->SetFileName(T.Path("mic.wav"));
  Wav->SetInput(Meter.get());
  TJobEnd RecEnd;
  RecEnd.Attach(*Wav);

  TFeedTone Feed;
  // The recording starts once the tone flows.
  ASSERT_NO_FATAL_FAILURE(StartFeedTone(Feed));
  Wav->Run();
  // Read the meter as the window's timer does, keeping the read where band 1
  // was highest.
  double Best[32] = {};
  for (int I = 0; I < 300 && !RecEnd.Done && !RecEnd.Failed; ++I) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    double V[32];
    Meter->GetValues(V);
    if (V[1] > Best[1]) std::copy(V, V + 32, Best);
  }
  ASSERT_TRUE(RecEnd.Wait(30));
  EXPECT_TRUE(RecEnd.Done) << RecEnd.Text();
  Feed.Player->Stop();
  ASSERT_TRUE(Feed.End.Wait(30));
  EXPECT_TRUE(Feed.End.Done) << Feed.End.Text();

  int Ch = 0, Rate = 0;
  const std::vector<int16_t> S = ReadPcm16Wav(T.Path("mic.wav"), &Ch, &Rate);
  EXPECT_EQ(Ch, 2);
  EXPECT_EQ(Rate, 44100);
  ASSERT_GE(S.size() * 2, 3u * 176400);
  const TToneFit Fit = MeasureTone(S, 44100, 44100);  // the middle second
  EXPECT_NEAR(Fit.Frequency, 1000, 10);
  EXPECT_NEAR(Fit.RmsDb, SineDb(0.5), 1.0);
  // 1 kHz falls in band 1 (689 ... 1378 Hz); high bands hold only rounding noise.
  EXPECT_GT(Best[1], 20);
  EXPECT_GT(Best[1], Best[20] + 20);
  // Nothing the microphone heard during the job missed its block.
  EXPECT_EQ(In->DroppedBytes(), 0u);
}

TEST_F(SoundCardPulse, FilePlayedToTheSpeakerIsHeardOnItsMonitor) {
  REQUIRE_TEST_SERVER();
  if (!HaveTool("parec")) GTEST_SKIP() << "parec (pulseaudio-utils) is not installed";
  UseSoundCard(Card.get());
  TempDir T;
  const std::vector<uint8_t> Tone = ToneBytes(2, 1500, 0.25);
  WritePcmWav(T.Path("tone.wav"), Tone.data(), Tone.size(), 2, 44100, 16);
  auto File = MakeComponent<TWaveIn>(nullptr);
  File->SetFileName(T.Path("tone.wav"));
  auto Player = MakeComponent<TAudioOut>(nullptr);  // device 0: the default output
  Player->SetInput(File.get());
  TJobEnd End;
  End.Attach(*Player);

  // parec on the speaker's monitor, the other side of the test. The monitor
  // runs in real time, so the file grows from the moment parec listens.
  const std::string Raw = T.Path("heard.raw");
  std::string PidText;
  ASSERT_EQ(testing_support::Run(
                "parec --raw --format=s16le --rate=44100 --channels=2 --latency-msec=10 -d " +
                    Quote(kSpeaker + ".monitor") + " > " + Quote(Raw) +
                    " 2>/dev/null </dev/null & echo $!",
                &PidText),
            0);
  struct TListener {
    pid_t Pid;
    void End() {
      if (Pid <= 0) return;
      ::kill(Pid, SIGTERM);
      for (int I = 0; I < 1000 && ::kill(Pid, 0) == 0; ++I)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      Pid = -1;
    }
    ~TListener() { End(); }
  } Listener{static_cast<pid_t>(std::stol(PidText))};
  ASSERT_TRUE(WaitFor([&] { return FileSize(Raw) > 0; })) << "parec hears nothing";
  const auto Start = std::chrono::steady_clock::now();
  Player->Run();
  ASSERT_TRUE(End.Wait(30));
  const double Took =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - Start).count();
  // What was played has been heard once half a second more has come in.
  const uint64_t HeardAtEnd = FileSize(Raw);
  ASSERT_TRUE(WaitFor([&] { return FileSize(Raw) >= HeardAtEnd + 88200; }));
  Listener.End();
  EXPECT_TRUE(End.Done) << End.Text();
  // OnDone came after the whole file had played, not when it was queued.
  EXPECT_GE(Took, 1.9);

  const std::vector<uint8_t> B = ReadFileBytes(Raw);
  std::vector<int16_t> S(B.size() / 2);
  std::memcpy(S.data(), B.data(), S.size() * 2);
  // Find where the tone starts, then measure one second inside it.
  size_t Onset = 0;
  while (Onset * 2 + 1 < S.size() && std::abs(S[Onset * 2]) < 2000) ++Onset;
  ASSERT_LT(Onset * 2 + 1, S.size()) << "nothing was heard on the speaker's monitor";
  const TToneFit Fit = MeasureTone(S, Onset + 22050, 44100);
  EXPECT_NEAR(Fit.Frequency, 1500, 15);
  EXPECT_NEAR(Fit.RmsDb, SineDb(0.25), 1.0);
}

// The clocks of a playback into the microphone's feed and of the recording
// of the microphone, read every 50 ms: both run in real time, the playback
// tells a moment inside what it has been given, and the capture's clock never
// runs ahead of what it has delivered. A reading taken during a stall of the
// player (starved of time) is off; the medians are not.
TEST_F(SoundCardPulse, TheStreamClocksRunInRealTimeBehindTheirData) {
  REQUIRE_TEST_SERVER();
  UseSoundCard(Card.get());
  TempDir T;
  TStreamClock P, C;
  EXPECT_FALSE(ReadStreamClocks(P, C)) << "no stream, no clock";
  auto In = MakeCapture(3, 0);
  auto Wav = MakeComponent<TWaveOut>(nullptr);
  Wav->SetFileName(T.Path("mic.wav"));
  Wav->SetInput(In.get());
  TJobEnd RecEnd;
  RecEnd.Attach(*Wav);
  TFeedTone Feed;
  // The recording starts once the tone flows.
  ASSERT_NO_FATAL_FAILURE(StartFeedTone(Feed));
  Wav->Run();
  ASSERT_TRUE(WaitFor([&] { return ReadStreamClocks(P, C) || RecEnd.Done || RecEnd.Failed; }));
  std::vector<double> PlayDrift, CaptureDrift;
  std::vector<int64_t> CaptureLatency;
  TStreamClock LastP = P, LastC = C;
  for (int I = 0; I < 30 && !RecEnd.Done && !RecEnd.Failed; ++I) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (!ReadStreamClocks(P, C)) continue;
    PlayDrift.push_back(
        static_cast<double>((P.PositionUs - LastP.PositionUs) - (P.AtUs - LastP.AtUs)));
    CaptureDrift.push_back(
        static_cast<double>((C.PositionUs - LastC.PositionUs) - (C.AtUs - LastC.AtUs)));
    CaptureLatency.push_back(C.LatencyUs);
    EXPECT_GE(P.DeviceUs, 0);
    EXPECT_GE(P.LatencyUs, P.DeviceUs);
    EXPECT_LE(P.PositionUs, static_cast<int64_t>(Feed.Tone->Position()) * 1000000 / 176400);
    LastP = P;
    LastC = C;
  }
  Feed.Player->Stop();
  ASSERT_TRUE(Feed.End.Wait(30));
  ASSERT_TRUE(RecEnd.Wait(30));
  ASSERT_GE(PlayDrift.size(), 10u);
  const auto Median = [](std::vector<double> V) {
    std::sort(V.begin(), V.end());
    return V[V.size() / 2];
  };
  // The playback's sink takes its sound in blocks but tells its own latency;
  // the capture's sound comes in fragments of 10 ms.
  EXPECT_NEAR(Median(PlayDrift), 0, 1000);
  EXPECT_NEAR(Median(CaptureDrift), 0, 10000);
  EXPECT_GE(*std::min_element(CaptureLatency.begin(), CaptureLatency.end()), 0);
}

TEST_F(SoundCardPulse, OneSecondEndsAtTheFirstBlockBoundaryPastIt) {
  REQUIRE_TEST_SERVER();
  UseSoundCard(Card.get());
  TempDir T;
  auto In = MakeCapture(1, FindDevice(Capture, kMic));
  auto Meter = MakeComponent<TSoundIndicator>(nullptr);
  Meter->SetInput(In.get());
  auto Wav = MakeComponent<TWaveOut>(nullptr);
  Wav->SetFileName(T.Path("one.wav"));
  Wav->SetInput(Meter.get());
  TJobEnd End;
  End.Attach(*Wav);
  std::atomic<int> LastProgress{-5};
  Wav->OnProgress = [&](TComponent*) { LastProgress = Wav->Progress(); };
  Wav->Run();
  ASSERT_TRUE(End.Wait(30));
  EXPECT_TRUE(End.Done) << End.Text();
  // 176400 bytes lie inside the eleventh block of 16384.
  EXPECT_EQ(ReadFileBytes(T.Path("one.wav")).size(), 44u + 11 * 16384);
  EXPECT_EQ(In->Size(), 176400);
  EXPECT_GE(LastProgress, 100);
  EXPECT_FALSE(In->Busy());
  EXPECT_EQ(In->DroppedBytes(), 0u);
}

TEST_F(SoundCardPulse, NoTimeLimitRecordsUntilStop) {
  REQUIRE_TEST_SERVER();
  UseSoundCard(Card.get());
  TempDir T;
  auto In = MakeCapture(-1, 0);
  auto Wav = MakeComponent<TWaveOut>(nullptr);
  Wav->SetFileName(T.Path("open.wav"));
  Wav->SetInput(In.get());
  TJobEnd End;
  End.Attach(*Wav);
  Wav->Run();
  ASSERT_TRUE(WaitFor([&] { return In->Position() > 176400 || End.Failed; })) << End.Text();
  EXPECT_EQ(Wav->Status(), osRunning);
  Wav->Stop();
  const int64_t AtStop = In->Position();
  ASSERT_TRUE(End.Wait(30));
  EXPECT_TRUE(End.Done) << End.Text();
  const size_t Bytes = ReadFileBytes(T.Path("open.wav")).size() - 44;
  EXPECT_EQ(ReadPcm16Wav(T.Path("open.wav")).size() * 2, Bytes);
  EXPECT_GT(Bytes, 176400u);  // over a second was recorded
  // and it did stop: at most the step under way read one more block.
  EXPECT_LE(static_cast<int64_t>(Bytes), AtStop + TAudioIn::kBlockSize);
}

TEST_F(SoundCardPulse, StoppingALongRecordingLeavesAValidShorterFile) {
  REQUIRE_TEST_SERVER();
  if (!HaveTool("sox")) GTEST_SKIP() << "sox is not installed";
  UseSoundCard(Card.get());
  TempDir T;
  auto In = MakeCapture(20, 0);
  auto Wav = MakeComponent<TWaveOut>(nullptr);
  Wav->SetFileName(T.Path("cut.wav"));
  Wav->SetInput(In.get());
  TJobEnd End;
  End.Attach(*Wav);
  Wav->Run();
  ASSERT_TRUE(WaitFor([&] { return In->Position() > 100000 || End.Failed; })) << End.Text();
  Wav->Stop();
  const int64_t AtStop = In->Position();
  ASSERT_TRUE(End.Wait(30));
  EXPECT_TRUE(End.Done) << End.Text();
  // sox reads the header: the length it reports is the length on disk.
  std::string Out;
  ASSERT_EQ(testing_support::Run("soxi -s " + Quote(T.Path("cut.wav")), &Out), 0);
  const long Frames = std::stol(Out);
  EXPECT_EQ(static_cast<size_t>(Frames) * 4 + 44, ReadFileBytes(T.Path("cut.wav")).size());
  EXPECT_GT(Frames, 20000);
  EXPECT_LE(Frames * 4, AtStop + TAudioIn::kBlockSize);
}

TEST(SoundCardNoServer, NoDevicesAndAClearErrorWhenNoServerAnswers) {
  TempDir T;
  TPulseSoundCard Gone("unix:" + T.Path("no-server"));
  EXPECT_EQ(Gone.CaptureDeviceCount(), 0);
  EXPECT_EQ(Gone.PlaybackDeviceCount(), 0);
  try {
    Gone.OpenCapture(0, TPcmFormat{}, [](TSoundBlock*) {});
    ADD_FAILURE() << "opened a device without a server";
  } catch (const ESoundCardError& E) {
    EXPECT_NE(std::string(E.what()).find("cannot be reached"), std::string::npos) << E.what();
  }
  UseSoundCard(&Gone);
  auto In = MakeComponent<TAudioIn>(nullptr);
  try {
    In->Init();
    ADD_FAILURE() << "Init succeeded without a server";
  } catch (const EACSException& E) {
    EXPECT_NE(std::string(E.what()).find("sound server cannot be reached"), std::string::npos)
        << E.what();
  }
  EXPECT_FALSE(In->Busy());
  auto Src = MakeComponent<TMemorySource>(nullptr);
  Src->Data.resize(4000);
  auto Out = MakeComponent<TAudioOut>(nullptr);
  Out->SetInput(Src.get());
  std::string Failure;
  Out->OnThreadException = [&](TComponent*, const std::exception& E) { Failure = E.what(); };
  Out->Run();
  EXPECT_NE(Failure.find("cannot be reached"), std::string::npos) << Failure;
  EXPECT_EQ(Src->FlushCount, 1);
  UseSoundCard(nullptr);
}

TEST(SoundCardServerLoss, ServerGoingAwayEndsTheRecordingWithATrueFile) {
  if (!HaveTool("pulseaudio")) GTEST_SKIP() << "pulseaudio is not installed";
  // A server of this test's own, so that killing it disturbs nobody.
  TempDir T;
  std::filesystem::create_directories(T.Path("run"));
  std::filesystem::create_directories(T.Path("home"));
  std::filesystem::permissions(T.Path("run"), std::filesystem::perms::owner_all);
  WriteFileBytes(T.Path("server.pa"), [] {
    const std::string S =
        "load-module module-native-protocol-unix auth-anonymous=1\n"
        "load-module module-null-sink sink_name=lone rate=44100 channels=2 "
        "format=s16le\n";
    return std::vector<uint8_t>(S.begin(), S.end());
  }());
  std::string PidText;
  ASSERT_EQ(testing_support::Run(
                "HOME=" + Quote(T.Path("home")) + " XDG_RUNTIME_DIR=" + Quote(T.Path("run")) +
                    " pulseaudio -n -F " + Quote(T.Path("server.pa")) +
                    " --daemonize=no --exit-idle-time=-1 --disallow-exit --use-pid-file=no"
                    " --log-target=file:" +
                    T.Path("pa.log") + " </dev/null >/dev/null 2>&1 & echo $!",
                &PidText),
            0);
  const pid_t Pid = static_cast<pid_t>(std::stol(PidText));
  struct TKill {
    pid_t P;
    ~TKill() { ::kill(P, SIGKILL); }
  } Reaper{Pid};
  TPulseSoundCard Private("unix:" + T.Path("run") + "/pulse/native");
  WaitFor([&] { return Private.CaptureDeviceCount() > 0; });
  ASSERT_GT(Private.CaptureDeviceCount(), 0) << "the private server did not start";
  UseSoundCard(&Private);

  auto In = MakeComponent<TAudioIn>(nullptr);
  In->SetInBitsPerSample(16);
  In->SetInChannels(2);
  In->SetInSampleRate(44100);
  In->SetRecTime(30);
  auto Wav = MakeComponent<TWaveOut>(nullptr);
  Wav->SetFileName(T.Path("lost.wav"));
  Wav->SetInput(In.get());
  TJobEnd End;
  End.Attach(*Wav);
  Wav->Run();
  WaitFor([&] { return In->Position() >= 65536 || End.Failed; });
  ASSERT_GE(In->Position(), 65536) << End.Text();
  ::kill(Pid, SIGKILL);
  ASSERT_TRUE(End.Wait(30)) << "the recording waits forever for a server that is gone";
  EXPECT_TRUE(End.Failed);
  EXPECT_NE(End.Text().find("stopped working"), std::string::npos) << End.Text();
  const size_t Size = ReadFileBytes(T.Path("lost.wav")).size();
  EXPECT_GE(Size, 44u + 65536);
  EXPECT_EQ(ReadPcm16Wav(T.Path("lost.wav")).size() * 2 + 44, Size);
  UseSoundCard(nullptr);
}
