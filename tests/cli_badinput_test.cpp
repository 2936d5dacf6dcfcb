// velmora-cli given what a careless or hostile user gives it: options that do
// not fit, files that cannot be opened, damaged or unusual headers, long
// inputs (sparse files, so that nothing large is kept), and Ctrl+C.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "tests/support/TestSupport.h"
#include "wave/RiffChunks.h"

using namespace testing_support;

namespace {

class CliBadInput : public ::testing::Test {
 protected:
  int Cli(const std::string& Args, std::string* Err = nullptr, std::string* Out = nullptr) {
    std::string O, E;
    const int Rc = testing_support::Run(Quote(BinDir() + "/velmora-cli") + " " + Args, &O, &E);
    if (Err) *Err = E;
    if (Out) *Out = O;
    return Rc;
  }
  std::string P(const std::string& Name) const { return Quote(Dir.Path(Name)); }
  // A short 16-bit stereo 22 kHz WAV file.
  std::string Wav(const std::string& Name = "in.wav", int Frames = 22050) {
    const auto S = MakeSignal16(Frames, 2, 22050);
    WritePcmWav(Dir.Path(Name), S.data(), S.size() * 2, 2, 22050, 16);
    return Name;
  }
  // The "key=value" lines of "info".
  std::string Info(const std::string& Name, const std::string& Key, int* Rc = nullptr) {
    std::string Out, Err;
    const int R = Cli("info " + P(Name), &Err, &Out);
    if (Rc) *Rc = R;
    const size_t At = Out.find(Key + "=");
    if (At == std::string::npos) return "";
    return Out.substr(At + Key.size() + 1, Out.find('\n', At) - At - Key.size() - 1);
  }

  TempDir Dir;
};

TEST_F(CliBadInput, AppendIsRefusedForTypesThatCannotAppendAndTheOutputIsLeftAlone) {
  Wav();
  for (const char* Ext : {"mp3", "flac", "ape"}) {
    const std::string Out = std::string("out.") + Ext;
    ASSERT_EQ(0, Cli("convert " + P("in.wav") + " " + P(Out))) << Ext;
    const auto Before = ReadFileBytes(Dir.Path(Out));
    std::string Err;
    EXPECT_EQ(1, Cli("convert " + P("in.wav") + " " + P(Out) + " --append", &Err)) << Ext;
    EXPECT_NE(std::string::npos, Err.find("--append does not apply to ." + std::string(Ext)))
        << Err;
    EXPECT_EQ(Before, ReadFileBytes(Dir.Path(Out))) << Ext;
  }
  // Options of another type are refused as well, not ignored.
  std::string Err;
  EXPECT_EQ(1, Cli("convert " + P("in.wav") + " " + P("q.mp3") + " --quality 0.3", &Err));
  EXPECT_NE(std::string::npos, Err.find("--quality does not apply to .mp3")) << Err;
  EXPECT_FALSE(std::filesystem::exists(Dir.Path("q.mp3")));
  // The types that append still do.
  ASSERT_EQ(0, Cli("convert " + P("in.wav") + " " + P("a.wav")));
  ASSERT_EQ(0, Cli("convert " + P("in.wav") + " " + P("a.wav") + " --append"));
  EXPECT_EQ("44100", Info("a.wav", "samples"));
}

}  // namespace
