// velmora-cli given what a careless or hostile user gives it: options that do
// not fit, files that cannot be opened, damaged or unusual headers, long
// inputs (sparse files, so that nothing large is kept), and Ctrl+C.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/Streams.h"
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

  // Runs velmora-cli with Args (no shell between), sends it SIGINT once it has
  // written a line to stderr, and returns its exit status; its stderr in Err.
  int Interrupted(const std::vector<std::string>& Args, std::string& Err) {
    const std::string ErrFile = Dir.Path("stderr.txt");
    const std::string Program = BinDir() + "/velmora-cli";
    std::vector<char*> Argv{const_cast<char*>(Program.c_str())};
    for (const std::string& A : Args) Argv.push_back(const_cast<char*>(A.c_str()));
    Argv.push_back(nullptr);
    std::filesystem::remove(ErrFile);  // no line of an earlier run may count
    const pid_t Pid = ::fork();
    if (Pid == 0) {
      const int Fd = ::open(ErrFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      ::dup2(Fd, 2);
      ::execv(Program.c_str(), Argv.data());
      ::_exit(127);
    }
    // A progress line says the job is under way.
    const auto Until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < Until) {
      std::ifstream In(ErrFile);  // not there until the child has opened it
      std::string Line;
      if (std::getline(In, Line) && !In.eof()) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ::kill(Pid, SIGINT);
    int Status = 0;
    ::waitpid(Pid, &Status, 0);
    const auto B = ReadFileBytes(ErrFile);
    Err.assign(B.begin(), B.end());
    return WIFEXITED(Status) ? WEXITSTATUS(Status) : -1;
  }
  // A FLAC file of stream information only: Rate, 1 channel of 16 bits, and
  // Total frames (36 bits), without a frame of audio.
  void FlacHeader(const std::string& Name, uint32_t Rate, uint64_t Total) {
    std::vector<uint8_t> B = {'f', 'L',  'a', 'C', 0x80, 0, 0, 34, 0x10,
                              0,   0x10, 0,   0,   0,    0, 0, 0,  0};
    // 20 bits of rate, 3 of channels - 1, 5 of bits - 1, 36 of frames.
    const uint64_t Packed =
        uint64_t{Rate} << 44 | uint64_t{0} << 41 | uint64_t{15} << 36 | (Total & 0xFFFFFFFFFull);
    for (int I = 7; I >= 0; --I) B.push_back(static_cast<uint8_t>(Packed >> (8 * I)));
    B.resize(B.size() + 16, 0);  // no MD5
    WriteFileBytes(Dir.Path(Name), B);
  }
  // A sparse WAV file: a 44-byte PCM header declaring DataBytes (its field
  // holds at most 32 bits) and FileData bytes of zero samples after it.
  void SparseWav(const std::string& Name, int Channels, int Rate, int Bits, int64_t DataBytes,
                 int64_t FileData) {
    uint8_t H[PcmHeaderSize];
    PutPcmHeader(H, Channels, Rate, Bits, DataBytes);
    WriteFileBytes(Dir.Path(Name), std::vector<uint8_t>(H, H + PcmHeaderSize));
    std::filesystem::resize_file(Dir.Path(Name), static_cast<uintmax_t>(PcmHeaderSize + FileData));
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
  // The types that append still do.
  ASSERT_EQ(0, Cli("convert " + P("in.wav") + " " + P("a.wav")));
  ASSERT_EQ(0, Cli("convert " + P("in.wav") + " " + P("a.wav") + " --append"));
  EXPECT_EQ("44100", Info("a.wav", "samples"));
}

TEST_F(CliBadInput, InfoCountsInSixtyFourBitsAndFailsForFilesThatCannotBeOpened) {
  // Rate 1 and 2^36 - 1 frames: more seconds than an int holds.
  FlacHeader("lying.flac", 1, (uint64_t{1} << 36) - 1);
  EXPECT_EQ("1", Info("lying.flac", "valid"));
  EXPECT_EQ("68719476735", Info("lying.flac", "samples"));
  EXPECT_EQ("68719476735", Info("lying.flac", "seconds"));
  // Fourteen hours at 44.1 kHz: more frames than an int holds.
  FlacHeader("long.flac", 44100, uint64_t{44100} * 3600 * 14);
  EXPECT_EQ("2222640000", Info("long.flac", "samples"));
  EXPECT_EQ("50400", Info("long.flac", "seconds"));
  // Three thousand million frames of 8-bit mono.
  SparseWav("long.wav", 1, 22050, 8, 3000000000, 3000000000);
  EXPECT_EQ("3000000000", Info("long.wav", "samples"));
  EXPECT_EQ("136054", Info("long.wav", "seconds"));

  std::filesystem::create_directory(Dir.Path("folder.ogg"));
  for (const auto& [Name, Reason] : std::vector<std::pair<std::string, std::string>>{
           {"missing.mp3", "No such file or directory"},
           {"missing.ogg", "No such file or directory"},
           {"missing.wav", "No such file or directory"},
           {"folder.ogg", "Is a directory"}}) {
    std::string Out, Err;
    EXPECT_EQ(1, Cli("info " + P(Name), &Err, &Out)) << Name;
    EXPECT_EQ("Runtime error: " + Dir.Path(Name) + ": " + Reason + "\n", Err);
    EXPECT_EQ("", Out) << Name;
  }
}

TEST_F(CliBadInput, LongInputsAreCountedAndPositionedInSixtyFourBits) {
  // 3 000 000 000 frames of 8-bit mono; the last 10 000 of them.
  SparseWav("long.wav", 1, 22050, 8, 3000000000, 3000000000);
  std::string Err;
  ASSERT_EQ(0, Cli("convert " + P("long.wav") + " " + P("tail.flac") +
                       " --start 2999990000 --end 3000000000",
                   &Err))
      << Err;
  EXPECT_EQ("10000", Info("tail.flac", "samples"));
  // A "data" size of all ones (a writer that had more than the field holds)
  // runs to the end of the file: 4.5 GB of 16-bit stereo.
  SparseWav("huge.wav", 2, 44100, 16, -1, 4500000000);
  EXPECT_EQ("1125000000", Info("huge.wav", "samples"));
  // Its last frames, positioned past 4 GB (a WAV file of that length is
  // written in cli_longwav_test).
  ASSERT_EQ(0, Cli("convert " + P("huge.wav") + " " + P("end.wav") + " --start 1124999000", &Err))
      << Err;
  EXPECT_EQ("1000", Info("end.wav", "samples"));
}

TEST_F(CliBadInput, CtrlCStopsTheJobWithStatus130) {
  // Half an hour of silence (sparse) to FLAC: stopped, the file is complete
  // with what was read.
  SparseWav("silence.wav", 2, 44100, 16, 44100ll * 4 * 1800, 44100ll * 4 * 1800);
  std::string Err;
  EXPECT_EQ(130, Interrupted({"convert", Dir.Path("silence.wav"), Dir.Path("part.flac")}, Err));
  EXPECT_NE(std::string::npos, Err.find("Stopped.\n")) << Err;
  EXPECT_EQ("1", Info("part.flac", "valid"));
  EXPECT_LT(std::stoll(Info("part.flac", "samples")), 44100ll * 1800);

  // A long MP3 (one short file's frames over and over), read a frame at a
  // time, stops the same way: the FLAC file holds what was decoded.
  if (!HaveTool("lame")) GTEST_SKIP() << "lame is needed";
  Wav("tone.wav", 22050 * 4);
  ASSERT_EQ(0, testing_support::Run("lame --quiet -b 32 " + P("tone.wav") + " " + P("tone.mp3")));
  const auto One = ReadFileBytes(Dir.Path("tone.mp3"));
  std::vector<uint8_t> Long;
  for (int I = 0; I < 1500; ++I) Long.insert(Long.end(), One.begin(), One.end());
  WriteFileBytes(Dir.Path("long.mp3"), Long);
  EXPECT_EQ(130, Interrupted({"convert", Dir.Path("long.mp3"), Dir.Path("long.flac")}, Err));
  EXPECT_NE(std::string::npos, Err.find("Stopped.\n")) << Err;
  EXPECT_EQ("1", Info("long.flac", "valid"));
  EXPECT_LT(std::stoll(Info("long.flac", "samples")), 1500ll * 22050);
}

TEST_F(CliBadInput, OptionsOutOfRangeAreRefusedAndDoubleDashEndsTheOptions) {
  Wav();
  for (const char* Q : {"2", "nan", "-0.2", "inf"}) {
    std::string Err;
    EXPECT_EQ(1, Cli("convert " + P("in.wav") + " " + P("q.ogg") + " --quality " + Q, &Err)) << Q;
    EXPECT_NE(std::string::npos, Err.find("--quality needs a number from -0.1 to 1")) << Err;
  }
  EXPECT_FALSE(std::filesystem::exists(Dir.Path("q.ogg")));
  ASSERT_EQ(0, Cli("convert " + P("in.wav") + " " + P("q.ogg") + " --quality -0.1"));

  // 8 kHz goes no higher than 64 kbit/s: said, not hidden.
  const auto S = MakeSignal16(8000, 1, 8000);
  WritePcmWav(Dir.Path("8k.wav"), S.data(), S.size() * 2, 1, 8000, 16);
  std::string Err;
  ASSERT_EQ(0, Cli("convert " + P("8k.wav") + " " + P("8k.mp3") + " --bitrate 320", &Err)) << Err;
  EXPECT_NE(std::string::npos, Err.find("takes 64 kbit/s at this sample rate, not 320")) << Err;
  ASSERT_EQ(0, Cli("convert " + P("8k.wav") + " " + P("8k.mp3") + " --bitrate 32", &Err)) << Err;
  EXPECT_EQ(std::string::npos, Err.find("kbit/s")) << Err;

  // A file whose name starts with dashes.
  Wav("--x.wav");
  const std::string InDir = "cd " + Quote(Dir.Dir()) + " && " + Quote(BinDir() + "/velmora-cli");
  EXPECT_EQ(0, testing_support::Run(InDir + " convert --adpcm -- --x.wav --y.wav", nullptr, &Err))
      << Err;
  EXPECT_EQ("1", Info("--y.wav", "valid"));
  EXPECT_EQ(0, testing_support::Run(InDir + " info -- --x.wav"));
  EXPECT_NE(0, testing_support::Run(InDir + " info --x.wav", nullptr, &Err));
  EXPECT_NE(std::string::npos, Err.find("Unknown option --x.wav")) << Err;
}

TEST_F(CliBadInput, AdpcmRangesGiveExactlyTheFramesAskedFor) {
  if (!HaveTool("sox")) GTEST_SKIP() << "sox is needed";
  Wav("src.wav", 22050 * 4);
  for (const char* Encoding : {"ima-adpcm", "ms-adpcm"}) {
    const std::string Name = std::string(Encoding) + ".wav";
    ASSERT_EQ(0, testing_support::Run("sox " + P("src.wav") + " -e " + Encoding + " " + P(Name)));
    ASSERT_EQ(0, Cli("convert " + P(Name) + " " + P("full.wav")));
    const auto Full = ReadPcm16Wav(Dir.Path("full.wav"));
    for (const auto& [First, End] : std::vector<std::pair<int, int>>{{0, 1000}, {50000, 60000}}) {
      std::string Err;
      ASSERT_EQ(0, Cli("convert " + P(Name) + " " + P("part.wav") + " --start " +
                           std::to_string(First) + " --end " + std::to_string(End),
                       &Err))
          << Err;
      const auto Part = ReadPcm16Wav(Dir.Path("part.wav"));
      EXPECT_EQ(Part, std::vector<int16_t>(Full.begin() + 2 * First, Full.begin() + 2 * End))
          << Encoding << " " << First << " to " << End << ": " << Part.size() / 2 << " frames";
    }
  }
}

TEST_F(CliBadInput, InputsShorterThanTheirHeadersSayAreConvertedWithAWarning) {
  // 60 s declared at 8 kHz mono, 12.3 s there.
  const auto S = MakeSignal16(98400, 1, 8000);
  WritePcmWav(Dir.Path("cut.wav"), S.data(), S.size() * 2, 1, 8000, 16);
  auto B = ReadFileBytes(Dir.Path("cut.wav"));
  PutLe32(B.data() + PcmDataSizeAt, 8000 * 2 * 60);
  WriteFileBytes(Dir.Path("cut.wav"), B);
  std::string Err;
  ASSERT_EQ(0, Cli("convert " + P("cut.wav") + " " + P("cut.flac"), &Err)) << Err;
  EXPECT_NE(std::string::npos,
            Err.find(Dir.Path("cut.wav") +
                     " ends after 12.3 s of the 60.0 s its header declares; the file may be "
                     "truncated"))
      << Err;
  EXPECT_EQ("98400", Info("cut.flac", "samples"));
  // A range that ends before the cut, and a whole file, say nothing.
  ASSERT_EQ(0, Cli("convert " + P("cut.wav") + " " + P("head.flac") + " --end 8000", &Err));
  EXPECT_EQ(std::string::npos, Err.find("truncated")) << Err;
  Wav();
  ASSERT_EQ(0, Cli("convert " + P("in.wav") + " " + P("whole.flac"), &Err));
  EXPECT_EQ(std::string::npos, Err.find("truncated")) << Err;
  // A FLAC file cut in half ends before its stream information says.
  ASSERT_EQ(0, Cli("convert " + P("cut.flac") + " " + P("back.wav")));
  auto F = ReadFileBytes(Dir.Path("cut.flac"));
  F.resize(F.size() / 2);
  WriteFileBytes(Dir.Path("half.flac"), F);
  const int Rc = Cli("convert " + P("half.flac") + " " + P("half.wav"), &Err);
  if (Rc == 0)
    EXPECT_NE(std::string::npos, Err.find("the file may be truncated")) << Err;
  else
    EXPECT_NE(std::string::npos, Err.find("half.flac")) << Err;
}

TEST_F(CliBadInput, FailuresNameTheFileAndTheSystemsReason) {
  Wav();
  // Folders given as inputs, of types whose readers would guess.
  for (const char* Name : {"folder.ogg", "folder.ape", "folder.flac"}) {
    std::filesystem::create_directory(Dir.Path(Name));
    std::string Err;
    EXPECT_EQ(1, Cli("convert " + P(Name) + " " + P("out.wav"), &Err)) << Name;
    EXPECT_EQ("Runtime error: " + Dir.Path(Name) + ": Is a directory\n", Err);
  }
  // An output folder that is not there.
  for (const char* Ext : {"wav", "mp3", "ogg", "flac", "ape"}) {
    std::string Err;
    const std::string Out = Dir.Path(std::string("none/out.") + Ext);
    EXPECT_EQ(1, Cli("convert " + P("in.wav") + " " + Quote(Out), &Err)) << Ext;
    EXPECT_NE(std::string::npos,
              Err.find("Cannot create file \"" + Out + "\". No such file or directory"))
        << Err;
    EXPECT_EQ(std::string::npos, Err.find('\r')) << Err;
  }
  // A link to a pipe (as a link to a device would be): the finished file
  // must not be renamed over it.
  ASSERT_EQ(0, ::mkfifo(Dir.Path("pipe").c_str(), 0600));
  std::filesystem::create_symlink(Dir.Path("pipe"), Dir.Path("link.flac"));
  std::string Err;
  EXPECT_EQ(1, Cli("convert " + P("in.wav") + " " + P("link.flac"), &Err));
  EXPECT_NE(std::string::npos, Err.find("is a device or a pipe, not a file")) << Err;
  EXPECT_TRUE(std::filesystem::is_fifo(Dir.Path("pipe")));
}

TEST_F(CliBadInput, AFullDiskFailsWithItsCauseAndLeavesNoLyingHeader) {
  // A file system of 256 KiB of its own; skipped where mounting is not
  // allowed.
  const std::string Small = Dir.Path("small");
  std::filesystem::create_directory(Small);
  if (::mount("velmora-test", Small.c_str(), "tmpfs", 0, "size=256k") != 0)
    GTEST_SKIP() << "cannot mount a small tmpfs here: " << std::strerror(errno);
  struct TUnmount {
    std::string Dir;
    ~TUnmount() { ::umount2(Dir.c_str(), MNT_DETACH); }
  } Unmount{Small};
  // Five seconds of noise, which no codec squeezes into 256 KiB.
  std::vector<int16_t> Noise(5 * 44100 * 2);
  uint32_t X = 12345;
  for (int16_t& S : Noise) {
    X = X * 1103515245u + 12345u;
    S = static_cast<int16_t>(X >> 16);
  }
  WritePcmWav(Dir.Path("noise.wav"), Noise.data(), Noise.size() * 2, 2, 44100, 16);
  ASSERT_EQ(0, Cli("convert " + P("noise.wav") + " " + P("noise.mp3")));
  ASSERT_EQ(0, Cli("convert " + P("noise.wav") + " " + P("noise.ape")));

  // The MP3 decoder straight into a WAV file and into the other writers, the
  // APE writer from each kind of source, and the APE decoder.
  for (const auto& [In, Out] :
       std::vector<std::pair<std::string, std::string>>{{"noise.mp3", "mp3.wav"},
                                                        {"noise.mp3", "mp3.flac"},
                                                        {"noise.mp3", "mp3.ape"},
                                                        {"noise.wav", "wav.ape"},
                                                        {"noise.ape", "ape.wav"},
                                                        {"noise.ape", "ape.ape"},
                                                        {"noise.ape", "ape.flac"}}) {
    SCOPED_TRACE(In + " to " + Out);
    const std::string Target = Small + "/" + Out;
    std::string Err;
    EXPECT_EQ(1, Cli("convert " + P(In) + " " + Quote(Target), &Err));
    // The last line is the failure; the lines before it are progress.
    const size_t Last = Err.rfind('\n', Err.size() - 2);
    const std::string Failure = Err.substr(Last == std::string::npos ? 0 : Last + 1);
    EXPECT_EQ(0u, Failure.find("Runtime error: ")) << Err;
    EXPECT_NE(std::string::npos, Failure.find(Target)) << Err;
    EXPECT_NE(std::string::npos, Failure.find("No space left on device")) << Err;
    EXPECT_FALSE(std::filesystem::exists(PartFileName(Target)));
    // What is left under the name tells the truth about what it holds.
    if (std::filesystem::exists(Target)) {
      const auto B = ReadFileBytes(Target);
      if (Out.substr(Out.size() - 4) == ".wav") {
        ASSERT_GE(B.size(), 44u);
        EXPECT_EQ(B.size() - 8, GetLe32(B.data() + 4));
        EXPECT_EQ(B.size() - 44, GetLe32(B.data() + PcmDataSizeAt));
      } else if (Out.substr(Out.size() - 5) == ".flac") {
        // The length could not be corrected: it says "unknown".
        ASSERT_GE(B.size(), 26u);
        EXPECT_EQ(0, B[21] & 0x0F);
        EXPECT_EQ(0u, GetLe32(B.data() + 22));
      } else {
        ADD_FAILURE() << "an APE file is only kept when it is whole";
      }
    }
    for (const auto& E : std::filesystem::directory_iterator(Small))
      std::filesystem::remove(E.path());
  }
}

}  // namespace
