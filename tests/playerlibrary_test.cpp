// The player library (libAudioPlayer.so) through the player component, playing
// into the in-process sound system that the test installs as the program's:
// what reaches the card, the commands, the notifications and the refusals.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "codecs/ACS_MAD.h"
#include "codecs/CodecRegistry.h"
#include "devices/XaudioPlayer.h"
#include "platform/VirtualSoundCard.h"
#include "tests/support/TestSupport.h"

using namespace testing_support;
using namespace std::chrono_literals;

namespace {

// The shell runner of the test support (gtest has a Run of its own).
int Sh(const std::string& Cmd) { return testing_support::Run(Cmd); }

std::string LibraryPath() { return BinDir() + "/libAudioPlayer.so"; }

// One player with its notifications recorded, delivered on the test's thread.
struct TProbe {
  TOwned<TXaudioPlayer> P{new TXaudioPlayer(nullptr)};
  std::vector<int> States;
  std::vector<int> Acks;
  std::vector<std::pair<int, int>> Nacks;
  std::vector<std::string> Errors;
  std::vector<uint32_t> Offsets;
  uint32_t Range = 0, Duration = 0, Frequency = 0;
  int Channels = 0;
  std::string Mime;
  std::map<int, size_t> AnswersSeen;

  TProbe() {
    P->SetXaudioPath(LibraryPath());
    P->OnNotifyPlayerState = [this](TComponent*, int S) { States.push_back(S); };
    P->OnNotifyAck = [this](TComponent*, uint8_t C) { Acks.push_back(C); };
    P->OnNotifyNack = [this](TComponent*, uint8_t C, int16_t E) { Nacks.emplace_back(C, E); };
    P->OnNotifyError = [this](TComponent*, uint8_t, int16_t, const std::string& M) {
      Errors.push_back(M);
    };
    P->OnNotifyInputPosition = [this](TComponent*, uint32_t O, uint32_t R) {
      Offsets.push_back(O);
      Range = R;
    };
    P->OnNotifyStreamDuration = [this](TComponent*, uint32_t D) { Duration = D; };
    P->OnNotifyStreamMimeType = [this](TComponent*, const std::string& M) { Mime = M; };
    P->OnNotifyStreamParameters = [this](TComponent*, uint32_t F, int16_t, uint8_t C) {
      Frequency = F;
      Channels = C;
    };
  }

  // Delivers notifications until Done() holds, at most Bound.
  bool WaitFor(const std::function<bool()>& Done, std::chrono::milliseconds Bound = 20s) {
    const auto Until = std::chrono::steady_clock::now() + Bound;
    while (!Done()) {
      if (std::chrono::steady_clock::now() >= Until) return false;
      if (P->WaitForNotification(20ms)) P->DeliverNotifications();
    }
    return true;
  }
  // Waits for the next answer (ack or nack) to Command, after those already
  // waited for.
  bool Answered(int Command) {
    auto Count = [&] {
      size_t N = 0;
      for (int A : Acks) N += A == Command;
      for (auto& K : Nacks) N += K.first == Command;
      return N;
    };
    size_t& Seen = AnswersSeen[Command];
    if (!WaitFor([&] { return Count() > Seen; })) return false;
    ++Seen;
    return true;
  }
  bool Acked(int Command) {
    for (int A : Acks)
      if (A == Command) return true;
    return false;
  }
  bool Ended() {
    return WaitFor([&] { return !States.empty() && States.back() == XA_PLAYER_STATE_EOS; });
  }
};

// The PCM the engine's reader of Name delivers.
std::vector<uint8_t> ReadThroughEngine(const std::string& Name) {
  TOwned<TComponent> Owner(new TComponent(nullptr));
  TACSInput* In = FindCodecFor(Name)->MakeSource(Owner.get(), Name, TJobOptions());
  In->Init();
  std::vector<uint8_t> All, Block(16384);
  for (int N; (N = In->GetData(Block.data(), static_cast<int>(Block.size()))) > 0;)
    All.insert(All.end(), Block.begin(), Block.begin() + N);
  In->Flush();
  return All;
}

std::vector<uint8_t> PcmBytes(const std::vector<int16_t>& S) {
  std::vector<uint8_t> B(S.size() * 2);
  std::memcpy(B.data(), S.data(), B.size());
  return B;
}

class PlayerLibrary : public ::testing::Test {
 protected:
  void SetUp() override { UseSoundCard(&Card); }
  void TearDown() override { UseSoundCard(nullptr); }

  // A stereo 16-bit 44.1 kHz WAV of Frames frames.
  std::vector<uint8_t> MakeWav(const std::string& Name, int Frames) {
    const std::vector<int16_t> S = MakeSignal16(Frames, 2, 44100);
    WritePcmWav(Name, S.data(), S.size() * 2, 2, 44100, 16);
    return PcmBytes(S);
  }

  TVirtualSoundCard Card{1, 2};
  TempDir Dir;
};

// ---------------------------------------------------------------- what is played

TEST_F(PlayerLibrary, AWavPlaysBitExactlyOnTheProgramsSoundCardWithItsNotifications) {
  const std::vector<uint8_t> Pcm = MakeWav(Dir.Path("a.wav"), 30000);
  TProbe T;
  ASSERT_EQ(T.P->OpenInput(Dir.Path("a.wav")), 0);
  ASSERT_EQ(T.P->PlayInput(), 0);
  ASSERT_TRUE(T.Ended()) << (T.Errors.empty() ? "" : T.Errors[0]);
  EXPECT_EQ(Card.Played(0), Pcm);
  EXPECT_EQ(Card.LastFormat().SampleRate, 44100);
  EXPECT_EQ(T.Mime, "audio/x-wav");
  EXPECT_EQ(T.Frequency, 44100u);
  EXPECT_EQ(T.Channels, 2);
  EXPECT_EQ(T.Duration, 30000u * 1000 / 44100);
  EXPECT_EQ(T.States, (std::vector<int>{XA_PLAYER_STATE_PLAYING, XA_PLAYER_STATE_EOS}));
  // The position rises to the end of its range; the stream is closed.
  ASSERT_FALSE(T.Offsets.empty());
  EXPECT_TRUE(std::is_sorted(T.Offsets.begin(), T.Offsets.end()));
  EXPECT_EQ(T.Offsets.back(), T.Range);
  EXPECT_EQ(T.Range, 400u);
  EXPECT_EQ(Card.OpenStreams(), 0);
  EXPECT_TRUE(T.Errors.empty());
}

TEST_F(PlayerLibrary, AnMp3PlaysTheSamplesOfTheProgramsDecoder) {
  if (!HaveTool("lame")) GTEST_SKIP() << "lame is needed";
  MakeWav(Dir.Path("s.wav"), 44100);
  ASSERT_EQ(Sh("lame --quiet -b 128 " + Quote(Dir.Path("s.wav")) + " " + Quote(Dir.Path("s.mp3"))),
            0);
  // What the decoder component makes of it.
  TMemoryStream Image;
  {
    TOwned<TMP3ToWav> D(new TMP3ToWav(nullptr));
    D->SetInputFile(Dir.Path("s.mp3"));
    D->SetOutputStream(&Image);
    D->Run();
    ASSERT_TRUE(D->WaitForEnd(20s));
  }
  ASSERT_GT(Image.Size(), 44);
  const std::vector<uint8_t> Decoded(Image.Memory() + 44, Image.Memory() + Image.Size());

  TProbe T;
  ASSERT_EQ(T.P->OpenInput(Dir.Path("s.mp3")), 0);
  T.P->PlayInput();
  ASSERT_TRUE(T.Ended()) << (T.Errors.empty() ? "" : T.Errors[0]);
  EXPECT_EQ(Card.Played(0), Decoded);
  EXPECT_EQ(T.Mime, "audio/mpeg");
  // One second at 128 kbit/s, from the headers.
  EXPECT_NEAR(T.Duration, 1000u, 60u);
}

TEST_F(PlayerLibrary, FlacOggAndApePlayWhatTheEngineReadersDeliver) {
  if (!HaveTool("flac") || !HaveTool("oggenc")) GTEST_SKIP() << "flac and oggenc are needed";
  MakeWav(Dir.Path("s.wav"), 20000);
  const std::string Wav = Quote(Dir.Path("s.wav"));
  ASSERT_EQ(Sh("flac -s -f -o " + Quote(Dir.Path("s.flac")) + " " + Wav), 0);
  ASSERT_EQ(Sh("oggenc -Q -o " + Quote(Dir.Path("s.ogg")) + " " + Wav), 0);
  ASSERT_EQ(
      Sh(Quote(BinDir() + "/velmora-cli") + " convert " + Wav + " " + Quote(Dir.Path("s.ape"))), 0);
  for (const char* Name : {"s.flac", "s.ogg", "s.ape"}) {
    SCOPED_TRACE(Name);
    TVirtualSoundCard Fresh(1, 1);
    UseSoundCard(&Fresh);
    TProbe T;
    ASSERT_EQ(T.P->OpenInput(Dir.Path(Name)), 0);
    T.P->PlayInput();
    ASSERT_TRUE(T.Ended()) << (T.Errors.empty() ? "" : T.Errors[0]);
    const std::vector<uint8_t> Expected = ReadThroughEngine(Dir.Path(Name));
    ASSERT_GT(Expected.size(), 70000u);
    EXPECT_EQ(Fresh.Played(0), Expected);
    T.P.reset();
    UseSoundCard(&Card);
  }
}

// ---------------------------------------------------------------- commands

TEST_F(PlayerLibrary, SeekPauseAndResumeLoseAndRepeatNothing) {
  const std::vector<uint8_t> Pcm = MakeWav(Dir.Path("a.wav"), 44100);
  TProbe T;
  T.P->OpenInput(Dir.Path("a.wav"));
  // Half-way (200 of 400) before playing: the card gets the second half.
  T.P->InputSeek(200, 400);
  ASSERT_TRUE(T.Answered(XA_MSG_COMMAND_SEEK));
  EXPECT_EQ(T.Offsets.back(), 200u);
  T.P->PlayInput();
  ASSERT_TRUE(T.Ended());
  EXPECT_EQ(Card.Played(0), std::vector<uint8_t>(Pcm.begin() + Pcm.size() / 2, Pcm.end()));

  // In real time: a pause leaves at most the queued blocks to play.
  TVirtualSoundCard Slow(1, 1);
  UseSoundCard(&Slow);
  Slow.SetSpeed(1);
  TProbe U;
  U.P->OpenInput(Dir.Path("a.wav"));
  U.P->PlayInput();
  ASSERT_TRUE(U.WaitFor([&] { return Slow.Played(0).size() > Pcm.size() / 5; }));
  U.P->PauseInput();
  ASSERT_TRUE(U.Answered(XA_MSG_COMMAND_PAUSE));
  const size_t AtPause = Slow.Played(0).size();
  U.WaitFor([] { return false; }, 400ms);  // longer than the queued blocks last
  EXPECT_LE(Slow.Played(0).size() - AtPause, size_t{8 * 4096});
  EXPECT_EQ(U.States.back(), XA_PLAYER_STATE_PAUSED);
  U.P->PlayInput();
  ASSERT_TRUE(U.Ended());
  EXPECT_EQ(Slow.Played(0), Pcm);
  U.P.reset();
  UseSoundCard(&Card);
}

TEST_F(PlayerLibrary, StopAndCloseEndTheStreamAndAnotherFileCanFollow) {
  MakeWav(Dir.Path("a.wav"), 44100 * 3);
  const std::vector<uint8_t> Short = MakeWav(Dir.Path("b.wav"), 5000);
  Card.SetSpeed(1);
  TProbe T;
  T.P->OpenInput(Dir.Path("a.wav"));
  T.P->PlayInput();
  ASSERT_TRUE(T.WaitFor([&] { return Card.OpenStreams() == 1 && !Card.Played(0).empty(); }));
  T.P->StopInput();
  ASSERT_TRUE(T.Answered(XA_MSG_COMMAND_STOP));
  EXPECT_EQ(Card.OpenStreams(), 0);
  EXPECT_EQ(T.States.back(), XA_PLAYER_STATE_STOPPED);
  EXPECT_EQ(T.Offsets.back(), 0u);
  T.P->CloseInput();
  ASSERT_TRUE(T.Answered(XA_MSG_COMMAND_INPUT_CLOSE));
  EXPECT_TRUE(T.Acked(XA_MSG_COMMAND_INPUT_CLOSE));

  Card.SetSpeed(0);
  TVirtualSoundCard Next(1, 1);
  UseSoundCard(&Next);
  T.P->OpenInput(Dir.Path("b.wav"));
  T.P->PlayInput();
  ASSERT_TRUE(T.Ended());
  EXPECT_EQ(Next.Played(0), Short);
  T.P.reset();
  UseSoundCard(&Card);
}

TEST_F(PlayerLibrary, TheOutputVolumeScalesEachChannel) {
  const std::vector<uint8_t> Pcm = MakeWav(Dir.Path("a.wav"), 4000);
  TProbe T;
  T.P->SetOutputVolume(50, 100, 0);  // half the level, all of it on the left
  T.P->OpenInput(Dir.Path("a.wav"));
  T.P->PlayInput();
  ASSERT_TRUE(T.Ended());
  const std::vector<uint8_t> Played = Card.Played(0);
  ASSERT_EQ(Played.size(), Pcm.size());
  for (size_t I = 0; I < Pcm.size() / 2; ++I) {
    int16_t In, Out;
    std::memcpy(&In, &Pcm[2 * I], 2);
    std::memcpy(&Out, &Played[2 * I], 2);
    ASSERT_EQ(Out, I % 2 == 0 ? static_cast<int16_t>(In * 0.5) : 0) << "sample " << I;
  }
}

TEST_F(PlayerLibrary, TheOutputDeviceIsChosenByNumber) {
  const std::vector<uint8_t> Pcm = MakeWav(Dir.Path("a.wav"), 3000);
  TProbe T;
  T.P->SetOutputName("1");
  T.P->OpenInput(Dir.Path("a.wav"));
  T.P->PlayInput();
  ASSERT_TRUE(T.Answered(XA_MSG_COMMAND_PLAY));
  ASSERT_TRUE(T.Ended());
  EXPECT_EQ(Card.LastDevice(), 1);
  EXPECT_EQ(Card.Played(1), Pcm);

  // A device the card does not have: the play is refused with the card's reason.
  T.P->SetOutputName("7");
  T.P->PlayInput();
  ASSERT_TRUE(T.Answered(XA_MSG_COMMAND_PLAY));
  ASSERT_FALSE(T.Nacks.empty());
  EXPECT_EQ(T.Nacks.back(), std::make_pair(int{XA_MSG_COMMAND_PLAY}, int{XA_ERROR_OUTPUT_FAILED}));
  ASSERT_FALSE(T.Errors.empty());
  EXPECT_NE(T.Errors.back().find('7'), std::string::npos) << T.Errors.back();
}

TEST_F(PlayerLibrary, SettingsAnswerWithTheirValuesAndShapeTheNotifications) {
  const std::vector<uint8_t> Pcm = MakeWav(Dir.Path("a.wav"), 22050);
  TProbe T;
  std::vector<std::string> Env;
  T.P->OnNotifyPlayerEnvironmentInteger = [&](TComponent*, const std::string& K, int V) {
    Env.push_back(K + "=" + std::to_string(V));
  };
  T.P->OnNotifyPlayerEnvironmentString = [&](TComponent*, const std::string& K,
                                             const std::string& V) { Env.push_back(K + "=" + V); };
  std::vector<uint32_t> Pongs;
  T.P->OnNotifyPong = [&](TComponent*, uint32_t Tag) { Pongs.push_back(Tag); };
  int Timecodes = 0;
  T.P->OnNotifyInputTimecode = [&](TComponent*, uint8_t, uint8_t, uint8_t, uint8_t) {
    ++Timecodes;
  };

  T.P->SetEnvironmentInteger("buffer", 12);
  T.P->SetEnvironmentString("name", "take one");
  T.P->GetEnvironmentInteger("buffer");
  T.P->UnsetEnvironment("buffer");
  T.P->GetEnvironmentInteger("buffer");
  T.P->Ping(42);
  ASSERT_TRUE(T.WaitFor([&] { return !Pongs.empty(); }));
  EXPECT_EQ(Env, (std::vector<std::string>{"buffer=12", "name=take one", "buffer=12"}));
  EXPECT_EQ(Pongs, std::vector<uint32_t>{42});
  ASSERT_FALSE(T.Nacks.empty());
  EXPECT_EQ(T.Nacks.back(), std::make_pair(int{XA_MSG_GET_PLAYER_ENVIRONMENT_INTEGER},
                                           int{XA_ERROR_NO_SUCH_VARIABLE}));

  // No time codes while they are masked out; the position in steps of 100.
  T.P->SetNotificationMask(0xFFFFFFFFu & ~XA_NOTIFY_MASK_INPUT_TIMECODE);
  T.P->SetInputPositionRange(100);
  T.P->OpenInput(Dir.Path("a.wav"));
  T.P->PlayInput();
  ASSERT_TRUE(T.Ended());
  EXPECT_EQ(Timecodes, 0);
  EXPECT_EQ(T.Range, 100u);
  EXPECT_EQ(T.Offsets.back(), 100u);

  // Looping: the file again from its start, until stopped.
  T.P->SetPlayerMode(XA_PLAYER_MODE_LOOP);
  TVirtualSoundCard Loop(1, 1);
  UseSoundCard(&Loop);
  T.P->PlayInput();
  ASSERT_TRUE(T.WaitFor([&] { return Loop.Played(0).size() > 2 * Pcm.size(); }));
  T.P->StopInput();
  ASSERT_TRUE(T.Answered(XA_MSG_COMMAND_STOP));
  const std::vector<uint8_t> Played = Loop.Played(0);
  EXPECT_TRUE(std::equal(Pcm.begin(), Pcm.end(), Played.begin()));
  EXPECT_TRUE(std::equal(Pcm.begin(), Pcm.end(), Played.begin() + static_cast<long>(Pcm.size())));
  EXPECT_EQ(std::count(T.States.begin(), T.States.end(), XA_PLAYER_STATE_EOS), 1);
  T.P.reset();
  UseSoundCard(&Card);
}

// ---------------------------------------------------------------- refusals and failures

TEST_F(PlayerLibrary, FilesThatCannotBePlayedAreRefusedAtOnceWithTheirReason) {
  WriteFileBytes(Dir.Path("tune.mid"), std::vector<uint8_t>(2000, 0x4D));
  std::vector<uint8_t> Noise(20000);
  for (size_t I = 0; I < Noise.size(); ++I) Noise[I] = static_cast<uint8_t>(I * 7 % 253);
  WriteFileBytes(Dir.Path("broken.mp3"), Noise);
  TProbe T;
  EXPECT_EQ(T.P->OpenInput(Dir.Path("missing.wav")), XA_ERROR_NO_SUCH_FILE);
  EXPECT_EQ(T.P->OpenInput(Dir.Path("tune.mid")), XA_ERROR_INVALID_FORMAT);
  EXPECT_EQ(T.P->OpenInput(Dir.Path("broken.mp3")), XA_ERROR_INVALID_FORMAT);
  EXPECT_EQ(T.P->SetCodecQuality(2), XA_ERROR_NOT_SUPPORTED);
  T.P->PlayInput();
  ASSERT_TRUE(T.Answered(XA_MSG_COMMAND_PLAY));
  const std::vector<std::pair<int, int>> Nacks = {
      {XA_MSG_COMMAND_INPUT_OPEN, XA_ERROR_NO_SUCH_FILE},
      {XA_MSG_COMMAND_INPUT_OPEN, XA_ERROR_INVALID_FORMAT},
      {XA_MSG_COMMAND_INPUT_OPEN, XA_ERROR_INVALID_FORMAT},
      {XA_MSG_SET_CODEC_QUALITY, XA_ERROR_NOT_SUPPORTED},
      {XA_MSG_COMMAND_PLAY, XA_ERROR_NO_INPUT},
  };
  EXPECT_EQ(T.Nacks, Nacks);
  ASSERT_EQ(T.Errors.size(), 3u);
  EXPECT_EQ(T.Errors[0], "Cannot open \"" + Dir.Path("missing.wav") + "\": no such file");
  EXPECT_EQ(T.Errors[1],
            "Cannot play \"" + Dir.Path("tune.mid") + "\": not an audio file of a supported type");
  EXPECT_NE(T.Errors[2].find("broken.mp3"), std::string::npos);
  EXPECT_EQ(T.P->ErrorString(XA_ERROR_NO_SUCH_FILE), "no such file");
  EXPECT_EQ(Card.OpenStreams(), 0);
}

TEST_F(PlayerLibrary, ADeviceThatStopsWorkingStopsThePlayingWithItsReason) {
  MakeWav(Dir.Path("a.wav"), 44100);
  Card.SetPlaybackFailAfter(20000);
  TProbe T;
  T.P->OpenInput(Dir.Path("a.wav"));
  T.P->PlayInput();
  ASSERT_TRUE(T.WaitFor([&] { return !T.Errors.empty(); }));
  ASSERT_TRUE(T.WaitFor([&] { return T.States.back() == XA_PLAYER_STATE_STOPPED; }));
  EXPECT_EQ(Card.OpenStreams(), 0);
  EXPECT_LE(Card.Played(0).size(), 20000u);
}

}  // namespace
