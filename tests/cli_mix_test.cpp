// velmora-cli mix: the two inputs through the mixer into whichever writer the
// output's extension picks, its options, and its errors, on short sox-made
// files.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>

#include "tests/support/TestSupport.h"

using namespace testing_support;

namespace {

class CliMix : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* T : {"sox", "flac"})
      if (!HaveTool(T)) GTEST_SKIP() << T << " is needed";
    Sh("sox -R -n -r 22050 -b 16 -c 2 " + Quote(Dir.Path("a.wav")) +
       " synth 1.2 sine 300 pinknoise vol 0.8");
    Sh("sox -R -n -r 22050 -b 16 -c 2 " + Quote(Dir.Path("b.wav")) + " synth 0.8 sine 750 vol 0.8");
  }
  static void Sh(const std::string& CommandLine) {
    std::string Out;
    ASSERT_EQ(testing_support::Run(CommandLine + " 2>&1", &Out), 0) << CommandLine << ": " << Out;
  }
  int Mix(const std::string& Args, std::string* Err = nullptr) {
    std::string Out, E;
    const int Rc =
        testing_support::Run(Quote(BinDir() + "/velmora-cli") + " mix " + Args, &Out, &E);
    if (Err) *Err = E;
    return Rc;
  }
  std::string P(const std::string& Name) const { return Quote(Dir.Path(Name)); }
  TempDir Dir;
};

TEST_F(CliMix, MixesIntoTheWriterTheOutputNamesWithTheVolumesGiven) {
  const std::vector<int16_t> A = ReadPcm16Wav(Dir.Path("a.wav"));
  const std::vector<int16_t> B = ReadPcm16Wav(Dir.Path("b.wav"));
  std::string Err;
  ASSERT_EQ(
      Mix(P("a.wav") + " " + P("b.wav") + " " + P("m.wav") + " --volume1 90 --volume2=0", &Err), 0)
      << Err;
  // The percentages went to stderr, ending at 100.
  EXPECT_NE(Err.find("100\n"), std::string::npos) << Err;
  const std::vector<int16_t> M = ReadPcm16Wav(Dir.Path("m.wav"));
  ASSERT_EQ(M.size(), A.size());
  for (size_t I = 0; I < M.size(); ++I)
    ASSERT_EQ(M[I], static_cast<int16_t>(std::lrint(90 / 255.0 * A[I]) / 2)) << I;

  // A FLAC output holds the same mix as the WAV one.
  ASSERT_EQ(Mix(P("a.wav") + " " + P("b.wav") + " " + P("m.flac") + " --volume1 90 --volume2 0"),
            0);
  Sh("flac -s -d " + P("m.flac") + " -o " + P("back.wav"));
  EXPECT_EQ(ReadPcm16Wav(Dir.Path("back.wav")), M);
}

TEST_F(CliMix, ConcatEqualsSoxJoiningTheFiles) {
  ASSERT_EQ(Mix(P("a.wav") + " " + P("b.wav") + " " + P("c.wav") + " --concat --volume1 3"), 0);
  Sh("sox " + P("a.wav") + " " + P("b.wav") + " " + P("ref.wav"));
  EXPECT_EQ(ReadFileBytes(Dir.Path("c.wav")), ReadFileBytes(Dir.Path("ref.wav")));
}

TEST_F(CliMix, MistakesEndWithARuntimeErrorAndWriteNothing) {
  Sh("sox -n " + P("x.aiff") + " synth 0.1 sine 300");
  const std::string Ab = P("a.wav") + " " + P("b.wav") + " ";
  const struct {
    std::string Args, Message;
  } Cases[] = {
      {Ab + P("o.wav") + " --volume1 256", "Option --volume1 must lie between 0 and 255"},
      {Ab + P("o.wav") + " --volume2 -1", "Option --volume2 must lie between 0 and 255"},
      {Ab + P("o.wav") + " --volume2 loud", "Option --volume2 needs a whole number"},
      {Ab + P("o.wav") + " --pan 3", "Unknown option --pan"},
      {Ab, "Usage: velmora-cli mix IN1 IN2 OUT"},
      {P("a.wav") + " " + P("none.wav") + " " + P("o.wav"), "File not found: "},
      {P("a.wav") + " " + P("x.aiff") + " " + P("o.wav"), "Cannot mix this type of file: "},
      {Ab + P("o.xyz"), "Cannot write this type of file: "},
      {Ab + P("b.wav"), "Input and output are the same file: " + Dir.Path("b.wav")},
  };
  const auto Before = ReadFileBytes(Dir.Path("b.wav"));
  for (const auto& C : Cases) {
    std::string Err;
    EXPECT_EQ(Mix(C.Args, &Err), 1) << C.Args;
    EXPECT_EQ(Err.rfind("Runtime error: " + C.Message, 0), 0u) << C.Args << "\n" << Err;
    EXPECT_FALSE(std::filesystem::exists(Dir.Path("o.wav"))) << C.Args;
  }
  EXPECT_EQ(ReadFileBytes(Dir.Path("b.wav")), Before);
}

}  // namespace
