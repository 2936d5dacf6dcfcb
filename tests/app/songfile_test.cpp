// The window's song helpers: the play length of a file as text, and playing
// a song through the window's player (into the in-process sound system).
#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <cmath>
#include <cstring>
#include <functional>
#include <thread>

#include "app/MainForm.h"
#include "tests/app/support/AppTestSupport.h"

using namespace testing_support;

namespace {

int Sh(const std::string& Cmd, std::string* Out = nullptr) {
  return testing_support::Run(Cmd, Out);
}

// A PCM WAV whose header says Seconds of 8 kHz 8-bit mono; the data is a
// hole in the file, so an hour costs no disk.
void WriteSparseWav(const std::string& Name, uint32_t Seconds) {
  const uint32_t Data = Seconds * 8000;
  uint8_t H[44] = {'R', 'I', 'F', 'F', 0, 0, 0,   0,   'W', 'A',  'V',  'E', 'f', 'm',  't',
                   ' ', 16,  0,   0,   0, 1, 0,   1,   0,   0x40, 0x1F, 0,   0,   0x40, 0x1F,
                   0,   0,   1,   0,   8, 0, 'd', 'a', 't', 'a',  0,    0,   0,   0};
  const uint32_t Riff = Data + 36;
  std::memcpy(H + 4, &Riff, 4);
  std::memcpy(H + 40, &Data, 4);
  WriteFileBytes(Name, std::vector<uint8_t>(H, H + 44));
  ASSERT_EQ(::truncate(Name.c_str(), static_cast<off_t>(44 + Data)), 0);
}

// ffprobe's duration of Name, rounded to whole seconds; -1 when unknown.
int ProbeSeconds(const std::string& Name) {
  std::string Out;
  if (Sh("ffprobe -v error -show_entries format=duration -of csv=p=0 " + Quote(Name), &Out) != 0)
    return -1;
  return static_cast<int>(std::lround(std::stod(Out)));
}

class SongFile : public app_testing::WindowTest {
 protected:
  QString Length(const std::string& Name) { return Form().GetAudioLengthText(Dir.Path(Name)); }
  // Lets the window's events run until Done() holds, at most Ms.
  static bool RunUntil(const std::function<bool()>& Done, int Ms = 10000) {
    QElapsedTimer T;
    T.start();
    while (!Done()) {
      if (T.elapsed() > Ms) return false;
      QApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
  }
};

TEST_F(SongFile, WavLengthsShowMinutesAndSecondsWhateverTheirLength) {
  for (auto [Seconds, Text] : {std::pair{9u, "0:09"}, {70u, "1:10"}, {3725u, "62:05"}}) {
    const std::string Name = "s" + std::to_string(Seconds) + ".wav";
    WriteSparseWav(Dir.Path(Name), Seconds);
    EXPECT_EQ(Length(Name), QString::fromLatin1(Text));
    EXPECT_EQ(Form().AudioLengthSeconds, static_cast<int>(Seconds));
  }
}

TEST_F(SongFile, AnMp3OfAnHourShowsAllItsMinutesAsTheSameWavDoes) {
  if (!HaveTool("lame") || !HaveTool("sox")) GTEST_SKIP() << "lame and sox are needed";
  ASSERT_EQ(Sh("sox -n -r 44100 -c 2 -b 16 " + Quote(Dir.Path("s.wav")) + " synth 2 sine 440"), 0);
  // Constant 128 kbit/s without an information frame: 16000 bytes a second.
  ASSERT_EQ(Sh("lame --quiet -t --cbr -b 128 " + Quote(Dir.Path("s.wav")) + " " +
               Quote(Dir.Path("long.mp3"))),
            0);
  // Real frames at the start, then a hole up to 61:05 worth of bytes.
  ASSERT_EQ(::truncate(Dir.Path("long.mp3").c_str(), 3665 * 16000), 0);
  EXPECT_EQ(Length("long.mp3"), QStringLiteral("61:05"));
  EXPECT_EQ(Form().AudioLengthSeconds, 3665);
  WriteSparseWav(Dir.Path("long.wav"), 3665);
  EXPECT_EQ(Length("long.wav"), QStringLiteral("61:05"));
}

TEST_F(SongFile, OggFlacAndApeLengthsAgreeWithFfprobe) {
  if (!HaveTool("sox") || !HaveTool("oggenc") || !HaveTool("flac") || !HaveTool("ffprobe"))
    GTEST_SKIP() << "sox, oggenc, flac and ffprobe are needed";
  const std::string Wav = Quote(Dir.Path("s.wav"));
  ASSERT_EQ(Sh("sox -n -r 8000 -c 1 -b 16 " + Wav + " synth 67.4 sine 440"), 0);
  ASSERT_EQ(Sh("oggenc -Q -o " + Quote(Dir.Path("s.ogg")) + " " + Wav), 0);
  ASSERT_EQ(Sh("flac -s -f -o " + Quote(Dir.Path("s.flac")) + " " + Wav), 0);
  ASSERT_EQ(
      Sh(Quote(BinDir() + "/velmora-cli") + " convert " + Wav + " " + Quote(Dir.Path("s.ape"))), 0);
  for (const char* Name : {"s.ogg", "s.flac", "s.ape"}) {
    SCOPED_TRACE(Name);
    const int Expected = ProbeSeconds(Dir.Path(Name));
    ASSERT_EQ(Expected, 67);
    EXPECT_EQ(Length(Name), QStringLiteral("1:07"));
    EXPECT_EQ(Form().AudioLengthSeconds, Expected);
  }
}

TEST_F(SongFile, AnUnknownTypeOrABrokenFileIsUnknownAndForgetsTheLastLength) {
  WriteSparseWav(Dir.Path("s.wav"), 70);
  ASSERT_EQ(Length("s.wav"), QStringLiteral("1:10"));
  ASSERT_EQ(Form().AudioLengthSeconds, 70);

  WriteFileBytes(Dir.Path("tune.mid"), std::vector<uint8_t>(4000, 0x4D));
  EXPECT_EQ(Length("tune.mid"), QStringLiteral("Unknown"));
  EXPECT_EQ(Form().StatusText(), QStringLiteral("Invalid audio file!!!"));
  EXPECT_EQ(Form().AudioLengthSeconds, 0);

  Form().SetStatus(QString());
  Length("s.wav");
  std::vector<uint8_t> Noise(50000);
  for (size_t I = 0; I < Noise.size(); ++I) Noise[I] = static_cast<uint8_t>(I * 7 % 253);
  WriteFileBytes(Dir.Path("broken.mp3"), Noise);
  EXPECT_EQ(Length("broken.mp3"), QStringLiteral("Unknown"));
  EXPECT_EQ(Form().StatusText(), QStringLiteral("Invalid audio file!!!"));
  EXPECT_EQ(Form().AudioLengthSeconds, 0);
  EXPECT_EQ(Length("missing.wav"), QStringLiteral("Unknown"));
}

// ---------------------------------------------------------------- playing

TEST_F(SongFile, PlayInPlayerPlaysTheSongAndItsEventsReachTheWindowsThread) {
  const std::vector<int16_t> S = MakeSignal16(20000, 2, 44100);
  WritePcmWav(Dir.Path("song.wav"), S.data(), S.size() * 2, 2, 44100, 16);
  TMainForm& F = Form();
  F.Mp3Player->SetXaudioPath(BinDir() + "/libAudioPlayer.so");
  std::vector<int> States;
  bool OtherThread = false;
  const auto Me = std::this_thread::get_id();
  F.Mp3Player->OnNotifyPlayerState = [&](TComponent*, int State) {
    States.push_back(State);
    OtherThread = OtherThread || std::this_thread::get_id() != Me;
  };
  F.PlayInPlayer(Dir.Path("song.wav"));
  ASSERT_TRUE(RunUntil([&] { return !States.empty() && States.back() == XA_PLAYER_STATE_EOS; }));
  EXPECT_FALSE(OtherThread);
  const std::vector<uint8_t> Played = Card.Played(0);
  ASSERT_EQ(Played.size(), S.size() * 2);
  EXPECT_EQ(std::memcmp(Played.data(), S.data(), Played.size()), 0);
}

TEST_F(SongFile, PlayInPlayerRaisesWhatKeepsTheSongFromPlaying) {
  TMainForm& F = Form();
  auto Raised = [&](const std::string& Name) -> std::string {
    try {
      F.PlayInPlayer(Name);
    } catch (const EXaudioException& E) {
      return E.what();
    }
    return "(nothing raised)";
  };
  // The window loads the library from its program folder only.
  EXPECT_EQ(Raised(Dir.Path("song.wav")),
            "Cannot Load Xaudio DLL (" + Dir.Path("libAudioPlayer.so") + ")");
  F.Mp3Player->SetXaudioPath(BinDir() + "/libAudioPlayer.so");
  EXPECT_EQ(Raised(Dir.Path("missing.wav")),
            "Cannot play \"" + Dir.Path("missing.wav") + "\": no such file");
  WriteFileBytes(Dir.Path("broken.mp3"), std::vector<uint8_t>(3000, 0x11));
  EXPECT_EQ(Raised(Dir.Path("broken.mp3")), "Cannot play \"" + Dir.Path("broken.mp3") +
                                                "\": not an audio file of a supported type");
  EXPECT_EQ(Card.OpenStreams(), 0);
}

}  // namespace
