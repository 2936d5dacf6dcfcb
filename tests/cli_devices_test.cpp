// velmora-cli devices / record / play against the test sound server.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <thread>

#include "platform/PulseSoundCard.h"
#include "tests/support/TestServerDevices.h"
#include "tests/support/TestSupport.h"

using namespace testing_support;

namespace {
// The shell runner of the test support (gtest has a Run of its own).
int Sh(const std::string& Cmd, std::string* Out = nullptr, std::string* Err = nullptr) {
  return testing_support::Run(Cmd, Out, Err);
}
}  // namespace

namespace {

std::string Cli() { return Quote(BinDir() + "/velmora-cli"); }

bool HaveTestServer() {
  for (const TSoundDevice& D : TPulseSoundCard().CaptureDevices())
    if (D.Name == EnvOr("VELMORA_TEST_MIC", "velmora_mic")) return true;
  return false;
}

// A 1 kHz tone at half of full scale played into the microphone by paplay
// for up to 20 seconds: the microphone hears it once Playing() is true.
class TFeed {
 public:
  explicit TFeed(const TempDir& T) {
    const std::string Tone = T.Path("feed.wav");
    if (Sh("sox -n -r 44100 -c 2 -b 16 " + Quote(Tone) + " synth 20 sine 1000 vol 0.5") != 0)
      return;
    std::string PidText;
    if (Sh("paplay --device=" + EnvOr("VELMORA_TEST_FEED", "velmora_mic_feed") + " " + Quote(Tone) +
               " </dev/null >/dev/null 2>&1 & echo $!",
           &PidText) != 0)
      return;
    FPid = static_cast<pid_t>(std::stol(PidText));
    // Playing once its stream is on the server.
    const std::string Tag = "application.process.id = \"" + std::to_string(FPid) + "\"";
    const auto Until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    std::string Inputs;
    while (Sh("pactl list sink-inputs", &Inputs) == 0 && Inputs.find(Tag) == std::string::npos &&
           std::chrono::steady_clock::now() < Until)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    FPlaying = Inputs.find(Tag) != std::string::npos;
  }
  ~TFeed() {
    if (FPid <= 0) return;
    ::kill(FPid, SIGTERM);
    for (int I = 0; I < 1000 && ::kill(FPid, 0) == 0; ++I)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  bool Playing() const { return FPlaying; }

 private:
  pid_t FPid = -1;
  bool FPlaying = false;
};

#define REQUIRE_TEST_SERVER()                                                               \
  if (!HaveTestServer())                                                                    \
  GTEST_SKIP() << "no test sound server answers (start one with: source scripts/pulse.sh; " \
                  "pulse_start)"

}  // namespace

TEST(SoundCardCli, DevicesListsCaptureAndPlaybackDevicesByNumber) {
  REQUIRE_TEST_SERVER();
  std::string Out;
  ASSERT_EQ(Sh(Cli() + " devices", &Out), 0);
  EXPECT_NE(Out.find("Capture devices:\n  0  "), std::string::npos) << Out;
  EXPECT_NE(Out.find("Test Microphone"), std::string::npos) << Out;
  EXPECT_NE(Out.find("Playback devices:\n  0  " + EnvOr("VELMORA_TEST_SPEAKER", "velmora_speaker")),
            std::string::npos)
      << Out;
}

TEST(SoundCardCli, RecordWritesTheMicrophoneToAWavAndPrintsTheLevel) {
  REQUIRE_TEST_SERVER();
  if (!HaveTool("paplay") || !HaveTool("sox")) GTEST_SKIP() << "paplay and sox are needed";
  TempDir T;
  TFeed Feed(T);
  ASSERT_TRUE(Feed.Playing()) << "paplay never played";
  std::string Err;
  const int Rc =
      Sh(Cli() + " record " + Quote(T.Path("rec.wav")) + " --seconds 2 --device 0", nullptr, &Err);
  ASSERT_EQ(Rc, 0) << Err;
  // About ten level lines a second; the tone shows in them.
  std::istringstream Lines(Err);
  std::string Line;
  int Count = 0, Loud = 0;
  while (std::getline(Lines, Line))
    if (Line.rfind("level ", 0) == 0) {
      ++Count;
      if (std::stoi(Line.substr(6)) > 10) ++Loud;
    }
  EXPECT_GE(Count, 12) << Err;
  EXPECT_GE(Loud, 5) << Err;
  int Ch = 0, Rate = 0;
  const std::vector<int16_t> S = ReadPcm16Wav(T.Path("rec.wav"), &Ch, &Rate);
  EXPECT_EQ(Ch, 2);
  EXPECT_EQ(Rate, 44100);
  EXPECT_EQ(S.size() * 2, 22u * 16384);  // 352800 bytes end inside the 22nd block
  std::string Stat;
  Sh("sox " + Quote(T.Path("rec.wav")) + " -n trim 0.5 1 stat", nullptr, &Stat);
  EXPECT_NE(Stat.find("Maximum amplitude:     0.5"), std::string::npos) << Stat;
}

TEST(SoundCardCli, RecordRefusesAFormatTheCardCannotCarry) {
  TempDir T;
  std::string Err;
  EXPECT_EQ(
      Sh(Cli() + " record " + Quote(T.Path("x.wav")) + " --seconds 1 --bits 12", nullptr, &Err), 1);
  EXPECT_NE(Err.find("Runtime error: Option --bits must be 8 or 16"), std::string::npos) << Err;
  EXPECT_EQ(Sh(Cli() + " record " + Quote(T.Path("x.wav")) + " --channels 3", nullptr, &Err), 1);
  EXPECT_NE(Err.find("--channels"), std::string::npos) << Err;
  EXPECT_FALSE(std::filesystem::exists(T.Path("x.wav")));
}

TEST(SoundCardCli, PlayRunsToTheEndShowingThePositionAndRefusesWhatItCannotPlay) {
  std::string Err;
  EXPECT_EQ(Sh(Cli() + " play /nonexistent/x.wav", nullptr, &Err), 1);
  EXPECT_NE(Err.find("File not found"), std::string::npos) << Err;
  TempDir T;
  WriteFileBytes(T.Path("tune.mid"), std::vector<uint8_t>(1000, 0x4D));
  EXPECT_EQ(Sh(Cli() + " play " + Quote(T.Path("tune.mid")), nullptr, &Err), 1);
  EXPECT_NE(Err.find("Runtime error: Cannot play \"" + T.Path("tune.mid") +
                     "\": not an audio file of a supported type"),
            std::string::npos)
      << Err;
  REQUIRE_TEST_SERVER();
  const std::vector<int16_t> S = MakeSignal16(57330, 2, 44100);  // 1.3 s
  WritePcmWav(T.Path("song.wav"), S.data(), S.size() * 2, 2, 44100, 16);
  std::string Out;
  const auto Start = std::chrono::steady_clock::now();
  ASSERT_EQ(Sh(Cli() + " play " + Quote(T.Path("song.wav")), &Out, &Err), 0) << Err;
  // It ended once the song had been heard, not when it was queued.
  EXPECT_GE(std::chrono::steady_clock::now() - Start, std::chrono::milliseconds(1250));
  // Not a terminal: one line per second reached, the song's length beside it.
  EXPECT_EQ(Err, "0:00 / 0:01\n0:01 / 0:01\n");
}

TEST(SoundCardCli, RecordWritesMp3WhenTheNameSaysSo) {
  REQUIRE_TEST_SERVER();
  if (!HaveTool("ffprobe")) GTEST_SKIP() << "ffprobe is needed";
  TempDir T;
  std::string Err, Out;
  ASSERT_EQ(Sh(Cli() + " record " + Quote(T.Path("rec.mp3")) + " --seconds 1", nullptr, &Err), 0)
      << Err;
  ASSERT_EQ(Sh("ffprobe -v error -show_entries format=format_name,duration -of csv=p=0 " +
                   Quote(T.Path("rec.mp3")),
               &Out),
            0);
  EXPECT_EQ(Out.substr(0, 4), "mp3,") << Out;
  // A little over a second: the recording ends on a block boundary.
  const double Seconds = std::stod(Out.substr(4));
  EXPECT_GT(Seconds, 0.99);
  EXPECT_LT(Seconds, 1.3);
}

namespace {

// The peak of a WAV file's second half-second in dB of full scale, as sox
// reports it (silence: -inf, given as -200).
double PeakDb(const std::string& Wav) {
  std::string Stat;
  Sh("sox " + Quote(Wav) + " -n trim 0.5 0.5 stats", nullptr, &Stat);
  const size_t At = Stat.find("Pk lev dB");
  if (At == std::string::npos) return -300;
  std::istringstream In(Stat.substr(At + 9));
  std::string Word;
  In >> Word;
  return Word == "-inf" ? -200 : std::stod(Word);
}

// The server's default source for the length of a test.
class TDefaultSource {
 public:
  explicit TDefaultSource(const std::string& Name) {
    Sh("pactl get-default-source", &FOld);
    while (!FOld.empty() && (FOld.back() == '\n' || FOld.back() == ' ')) FOld.pop_back();
    Sh("pactl set-default-source " + Quote(Name));
  }
  ~TDefaultSource() { Sh("pactl set-default-source " + Quote(FOld)); }

 private:
  std::string FOld;
};

}  // namespace

TEST(SoundCardCli, RecordRoutesTheMicrophoneWhereverTheDefaultSourcePoints) {
  REQUIRE_TEST_SERVER();
  if (!HaveTool("paplay") || !HaveTool("sox")) GTEST_SKIP() << "paplay and sox are needed";
  TempDir T;
  TFeed Feed(T);
  ASSERT_TRUE(Feed.Playing()) << "paplay never played";
  // The speaker's own mix is what device 0 records unless the microphone is
  // chosen; the microphone is heard there silently (--mic-output 0).
  TDefaultSource Mix(EnvOr("VELMORA_TEST_SPEAKER", "velmora_speaker") + ".monitor");
  std::string Modules, Err;
  Sh("pactl list short modules", &Modules);
  ASSERT_EQ(Sh(Cli() + " record " + Quote(T.Path("routed.wav")) + " --seconds 1 --mic-output 0",
               nullptr, &Err),
            0)
      << Err;
  ASSERT_EQ(Sh(Cli() + " record " + Quote(T.Path("asis.wav")) + " --seconds 1 --no-routing",
               nullptr, &Err),
            0)
      << Err;
  // The tone's peak is half of full scale: -6 dB.
  EXPECT_NEAR(PeakDb(T.Path("routed.wav")), -6.0, 1.0);
  EXPECT_LT(PeakDb(T.Path("asis.wav")), -60);
  std::string After;
  Sh("pactl list short modules", &After);
  EXPECT_EQ(After, Modules);
}

TEST(SoundCardCli, RecordDrawsTheLevelAsOneBarOnATerminal) {
  REQUIRE_TEST_SERVER();
  if (!HaveTool("script")) GTEST_SKIP() << "script (util-linux) is needed for a terminal";
  TempDir T;
  // script runs the tool on a terminal of its own and copies what it shows.
  std::string Shown;
  ASSERT_EQ(
      Sh("script -qec " + Quote(Cli() + " record " + Quote(T.Path("bar.wav")) + " --seconds 1") +
             " /dev/null",
         &Shown),
      0)
      << Shown;
  // Redrawn in place: carriage returns and no line feeds until the end.
  EXPECT_EQ(Shown.find("level 0\n"), std::string::npos) << Shown;
  EXPECT_NE(Shown.find("\rlevel ["), std::string::npos) << Shown;
  EXPECT_NE(Shown.find("\x1b[K"), std::string::npos) << Shown;
  EXPECT_NE(Shown.find(" / 0:01"), std::string::npos) << Shown;
  const size_t FirstBar = Shown.find("\rlevel [");
  const size_t FirstNewLine = Shown.find('\n');
  EXPECT_GT(Shown.find("\rlevel [", FirstBar + 1), FirstBar);
  EXPECT_TRUE(FirstNewLine == std::string::npos || FirstNewLine > Shown.rfind("\rlevel ["))
      << Shown;
  EXPECT_GT(ReadPcm16Wav(T.Path("bar.wav")).size(), 0u);
}
