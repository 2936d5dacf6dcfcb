// What every file writer (WAV, MP3, Ogg Vorbis, FLAC, APE) promises about the
// file it is given: a refused job leaves an existing file as it was, a job cut
// short by a full disk or a kill never leaves a final name holding a file
// whose header lies, and a new file only replaces the old one when the job
// ends.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "codecs/CodecRegistry.h"
#include "tests/support/TestSupport.h"

namespace {

using namespace testing_support;
namespace fs = std::filesystem;

// The writers, made as the command line and the pages make them.
struct TWriterKind {
  const char* Name;
  const char* Extension;
  TACSFileOut* Make(TComponent* Owner) const {
    TACSOutput* S = FindCodecFor(std::string("x") + Extension)->MakeSink(Owner, "", TJobOptions{});
    return dynamic_cast<TACSFileOut*>(S);
  }
};

const TWriterKind Writers[] = {
    {"wav", ".wav"}, {"mp3", ".mp3"}, {"ogg", ".ogg"}, {"flac", ".flac"}, {"ape", ".ape"}};

const std::vector<uint8_t> OldContent = {'o', 'l', 'd', ' ', 'f', 'i', 'l', 'e', '\n'};

// Bytes no codec can squeeze: a full disk is reached after little audio.
std::vector<uint8_t> Noise(size_t Bytes) {
  std::vector<uint8_t> R(Bytes);
  uint32_t X = 12345;
  for (uint8_t& B : R) {
    X = X * 1103515245u + 12345u;
    B = static_cast<uint8_t>(X >> 16);
  }
  return R;
}

uint32_t Le32(const std::vector<uint8_t>& B, size_t At) {
  return B[At] | B[At + 1] << 8 | B[At + 2] << 16 | static_cast<uint32_t>(B[At + 3]) << 24;
}

// A small file system of its own for full-disk runs; skipped where mounting
// is not allowed.
class TSmallDisk {
 public:
  explicit TSmallDisk(const std::string& Dir) : FDir(Dir) {
    fs::create_directory(Dir);
    FMounted = ::mount("velmora-test", Dir.c_str(), "tmpfs", 0, "size=256k") == 0;
    if (!FMounted) FReason = std::strerror(errno);
  }
  ~TSmallDisk() {
    if (FMounted) ::umount2(FDir.c_str(), MNT_DETACH);
  }
  bool Mounted() const { return FMounted; }
  const std::string& Reason() const { return FReason; }

 private:
  std::string FDir;
  std::string FReason;
  bool FMounted = false;
};

// ---------------------------------------------------------------- refusals

class FileWriters : public ::testing::Test {
 protected:
  // Runs Writer on In into Out, which holds OldContent before; returns the
  // job's message and checks that Out is unchanged and no part file is left.
  std::string RunRefused(const TWriterKind& W, TComponent* Owner, TACSInput* In) {
    const std::string Out = Dir.Path(std::string("out") + W.Extension);
    WriteFileBytes(Out, OldContent);
    TACSFileOut* Sink = W.Make(Owner);
    Sink->SetFileName(Out);
    Sink->SetInput(In);
    const std::string Error = RunJob(*Sink);
    EXPECT_EQ(OldContent, ReadFileBytes(Out)) << W.Name << ": the refused job changed the file";
    EXPECT_FALSE(fs::exists(PartFileName(Out))) << W.Name;
    return Error;
  }

  TempDir Dir;
};

TEST_F(FileWriters, EveryWriterRefusesAFileSourceThatIsNotValidAndLeavesTheOutputAsItWas) {
  // Each of these used to come out as an empty file reported as done, or
  // with a message about 0-bit 0-channel audio.
  struct TBad {
    const char* What;
    std::string File;
    bool Flac;
  };
  std::vector<TBad> Bad;
  WriteFileBytes(Dir.Path("text.wav"), std::vector<uint8_t>(4000, 'x'));
  Bad.push_back({"not a WAV file at all", Dir.Path("text.wav"), false});
  const std::vector<uint8_t> Pcm32(4 * 2 * 8000, 0x11);
  WritePcmWav(Dir.Path("32bit.wav"), Pcm32.data(), Pcm32.size(), 2, 8000, 32);
  Bad.push_back({"32-bit PCM WAV", Dir.Path("32bit.wav"), false});
  if (HaveTool("flac")) {
    const std::vector<uint8_t> Pcm3(2 * 3 * 8000, 0x11);
    WritePcmWav(Dir.Path("3ch.wav"), Pcm3.data(), Pcm3.size(), 3, 8000, 16);
    ASSERT_EQ(0,
              testing_support::Run("flac -s -f --channel-map=none " + Quote(Dir.Path("3ch.wav")) +
                                   " -o " + Quote(Dir.Path("3ch.flac"))));
    Bad.push_back({"3-channel FLAC", Dir.Path("3ch.flac"), true});
  }
  for (const TWriterKind& W : Writers)
    for (const TBad& B : Bad) {
      SCOPED_TRACE(std::string(W.Name) + " from " + B.What);
      TOwned<TComponent> Owner(new TComponent(nullptr));
      auto* In = dynamic_cast<TACSFileIn*>(
          FindCodecFor(B.File)->MakeSource(Owner.get(), B.File, TJobOptions{}));
      ASSERT_NE(nullptr, In);
      EXPECT_EQ(B.File + ": not a valid or supported " + (B.Flac ? "FLAC" : "WAV") + " file",
                RunRefused(W, Owner.get(), In));
      EXPECT_FALSE(In->Busy());
    }
}

TEST_F(FileWriters, EveryRefusalOfTheInputComesBeforeTheOutputIsTouched) {
  // A source every writer refuses for its format, and the APE writer's
  // refusal of an input without a single sample, which it only finds out at
  // the end (it used to delete the file it had emptied).
  struct TCase {
    const char* Writer;
    int Bits;
    int Channels;
    size_t Bytes;
  };
  const TCase Cases[] = {{"wav", 12, 2, 4000},  {"mp3", 32, 2, 6000}, {"ogg", 32, 2, 6000},
                         {"flac", 32, 2, 6000}, {"ape", 12, 2, 6000}, {"ape", 16, 2, 0},
                         {"mp3", 16, 3, 6000},  {"flac", 16, 0, 0}};
  for (const TCase& C : Cases) {
    SCOPED_TRACE(std::string(C.Writer) + " " + std::to_string(C.Bits) + " bits " +
                 std::to_string(C.Channels) + " channels " + std::to_string(C.Bytes) + " bytes");
    const TWriterKind* W = nullptr;
    for (const TWriterKind& K : Writers)
      if (std::string(K.Name) == C.Writer) W = &K;
    ASSERT_NE(nullptr, W);
    TOwned<TComponent> Owner(new TComponent(nullptr));
    auto* Src = new TMemorySource(Owner.get());
    Src->Bits = C.Bits;
    Src->Channels = C.Channels;
    Src->Data = Noise(C.Bytes);
    EXPECT_NE("", RunRefused(*W, Owner.get(), Src));
    EXPECT_FALSE(Src->Busy());
  }
}

// ---------------------------------------------------------------- full disk

TEST_F(FileWriters, AFullDiskEndsTheJobWithItsCauseAndAFileWhoseHeaderTellsTheTruth) {
  TSmallDisk Disk(Dir.Path("small"));
  if (!Disk.Mounted()) GTEST_SKIP() << "cannot mount a small tmpfs here: " << Disk.Reason();
  // 30 seconds of noise: far more than any codec fits into 256 KiB.
  const std::vector<uint8_t> Data = Noise(30 * 44100 * 4);
  for (const TWriterKind& W : Writers) {
    SCOPED_TRACE(W.Name);
    const std::string Out = Dir.Path(std::string("small/out") + W.Extension);
    TOwned<TComponent> Owner(new TComponent(nullptr));
    auto* Src = new TMemorySource(Owner.get());
    Src->Data = Data;
    TACSFileOut* Sink = W.Make(Owner.get());
    Sink->SetFileName(Out);
    Sink->SetInput(Src);
    const std::string Error = RunJob(*Sink);
    EXPECT_NE(std::string::npos, Error.find("No space left on device")) << Error;
    EXPECT_FALSE(fs::exists(PartFileName(Out)));
    EXPECT_FALSE(Src->Busy());
    if (std::string(W.Name) == "ape") {
      // The APE writer keeps no partial file: nothing under the name.
      EXPECT_FALSE(fs::exists(Out));
      continue;
    }
    ASSERT_TRUE(fs::exists(Out)) << "what was written takes the target's name";
    const std::vector<uint8_t> B = ReadFileBytes(Out);
    if (std::string(W.Name) == "wav") {
      ASSERT_GE(B.size(), 44u);
      EXPECT_EQ(B.size() - 8, Le32(B, 4));
      EXPECT_EQ(B.size() - 44, Le32(B, 40));
    } else if (std::string(W.Name) == "flac") {
      // The encoder wrote the input's whole length at the start and could not
      // correct it: the length now says "unknown" (0), and so does the MD5.
      ASSERT_GE(B.size(), 42u);
      EXPECT_EQ(0, B[21] & 0x0F);
      EXPECT_EQ(0u, Le32(B, 22));
      EXPECT_EQ(std::vector<uint8_t>(16, 0), std::vector<uint8_t>(B.begin() + 26, B.begin() + 42));
    }
    fs::remove(Out);
  }
}

TEST_F(FileWriters, AnMp3DecodeIntoAFullDiskTellsTheCauseAndLeavesATrueHeader) {
  TSmallDisk Disk(Dir.Path("small"));
  if (!Disk.Mounted()) GTEST_SKIP() << "cannot mount a small tmpfs here: " << Disk.Reason();
  const std::string Mp3 = Dir.Path("in.mp3");
  {
    TOwned<TComponent> Owner(new TComponent(nullptr));
    auto* Src = new TMemorySource(Owner.get());
    const std::vector<int16_t> S = MakeSignal16(5 * 44100, 2, 44100);
    Src->Data.assign(reinterpret_cast<const uint8_t*>(S.data()),
                     reinterpret_cast<const uint8_t*>(S.data() + S.size()));
    TACSOutput* Enc = FindCodecFor(Mp3)->MakeSink(Owner.get(), Mp3, TJobOptions{});
    Enc->SetInput(Src);
    ASSERT_EQ("", RunJob(*Enc));
  }
  const std::string Out = Dir.Path("small/out.wav");
  std::string Error = "(none)";
  try {
    const bool Decoded = FindCodecFor(Mp3)->DecodeToWav(Mp3, Out, nullptr, nullptr);
    Error = Decoded ? "(decoded)" : "(no audio)";
  } catch (const std::exception& E) {
    Error = E.what();
  }
  EXPECT_NE(std::string::npos, Error.find("No space left on device")) << Error;
  ASSERT_TRUE(fs::exists(Out));
  const std::vector<uint8_t> B = ReadFileBytes(Out);
  ASSERT_GE(B.size(), 44u);
  EXPECT_EQ(B.size() - 8, Le32(B, 4));
  EXPECT_EQ(B.size() - 44, Le32(B, 40));
  EXPECT_FALSE(fs::exists(PartFileName(Out)));
}

// ---------------------------------------------------------------- a kill

// An endless noise source that tells a pipe once it has delivered enough for
// every writer to have written to its file, then slows down.
class TSlowNoise : public TACSInput {
 public:
  TSlowNoise(TComponent* Owner, int Signal) : TACSInput(Owner), FSignal(Signal) {}
  int InBitsPerSample() override { return 16; }
  int InChannels() override { return 2; }
  int InSampleRate() override { return 44100; }
  void Init() override {
    FPosition = 0;
    FSize = 60 * 44100 * 4;
    FBusy = true;
  }
  void Flush() override { FBusy = false; }
  int GetData(void* Buffer, int BufferSize) override {
    if (FPosition >= (1 << 20)) {
      if (!FTold) {
        FTold = true;
        const char C = 1;
        (void)!::write(FSignal, &C, 1);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const std::vector<uint8_t> N = Noise(static_cast<size_t>(BufferSize));
    std::memcpy(Buffer, N.data(), N.size());
    FPosition += BufferSize;
    return BufferSize;
  }

 private:
  int FSignal;
  bool FTold = false;
};

TEST_F(FileWriters, AKilledJobLeavesTheTargetAsItWasAndOnlyAPartFile) {
  for (const TWriterKind& W : Writers) {
    SCOPED_TRACE(W.Name);
    const std::string Out = Dir.Path(std::string("killed") + W.Extension);
    WriteFileBytes(Out, OldContent);
    int P[2];
    ASSERT_EQ(0, ::pipe(P));
    const pid_t Child = ::fork();
    ASSERT_GE(Child, 0);
    if (Child == 0) {
      ::close(P[0]);
      TComponent* Owner = new TComponent(nullptr);
      TACSFileOut* Sink = W.Make(Owner);
      Sink->SetFileName(Out);
      Sink->SetInput(new TSlowNoise(Owner, P[1]));
      Sink->Run();
      for (;;) ::pause();
    }
    ::close(P[1]);
    pollfd Fd{P[0], POLLIN, 0};
    const bool Told = ::poll(&Fd, 1, 60000) == 1;
    ::kill(Child, SIGKILL);
    int Status = 0;
    ::waitpid(Child, &Status, 0);
    ::close(P[0]);
    ASSERT_TRUE(Told) << "the job never got going";
    EXPECT_TRUE(WIFSIGNALED(Status));
    EXPECT_EQ(OldContent, ReadFileBytes(Out)) << "a killed job replaced the file";
    // What the job wrote stays under a name users can tell for what it is.
    EXPECT_TRUE(fs::exists(PartFileName(Out)));
    EXPECT_EQ(Dir.Path(std::string(".killed") + W.Extension + ".velmora-part"), PartFileName(Out));
  }
}

// ---------------------------------------------------------------- the part file

TEST(ReplacementFile, TakesTheTargetsPlaceOnlyOnCommitWithItsPermissionsAndThroughALink) {
  TempDir Dir;
  const std::string Target = Dir.Path("t.bin");
  // A new file: 0666 less the umask.
  const mode_t Mask = ::umask(027);
  {
    TReplacementFile F(Target);
    F.WriteBuffer("new", 3);
    EXPECT_FALSE(fs::exists(Target));
    F.Commit();
  }
  struct stat St {};
  ASSERT_EQ(0, ::stat(Target.c_str(), &St));
  EXPECT_EQ(0640u, St.st_mode & 0777);
  // An existing file keeps its permissions, and is untouched until Commit.
  ASSERT_EQ(0, ::chmod(Target.c_str(), 0604));
  {
    TReplacementFile F(Target);
    F.WriteBuffer("newer", 5);
    EXPECT_EQ(3u, ReadFileBytes(Target).size());
    F.Commit();
  }
  ASSERT_EQ(0, ::stat(Target.c_str(), &St));
  EXPECT_EQ(0604u, St.st_mode & 0777);
  EXPECT_EQ(5u, ReadFileBytes(Target).size());
  // Not committed: the part file goes, the target stays.
  {
    TReplacementFile F(Target);
    F.WriteBuffer("x", 1);
    EXPECT_TRUE(fs::exists(F.PartName()));
  }
  EXPECT_FALSE(fs::exists(PartFileName(Target)));
  EXPECT_EQ(5u, ReadFileBytes(Target).size());
  // A link keeps pointing at the file it named, which is replaced.
  fs::create_symlink(Target, Dir.Path("link.bin"));
  {
    TReplacementFile F(Dir.Path("link.bin"));
    F.WriteBuffer("ab", 2);
    F.Commit();
  }
  EXPECT_TRUE(fs::is_symlink(Dir.Path("link.bin")));
  EXPECT_EQ(2u, ReadFileBytes(Target).size());
  ::umask(Mask);
}

}  // namespace

TEST(SpillStream, MovesToAFileOnlyPastItsThresholdAndRemovesItAtTheEnd) {
  TempDir T;
  const std::string Folder = T.Path("made/here");
  std::vector<uint8_t> A(1000), B(600);
  for (size_t I = 0; I < A.size(); ++I) A[I] = static_cast<uint8_t>(I * 7);
  for (size_t I = 0; I < B.size(); ++I) B[I] = static_cast<uint8_t>(I * 13 + 1);
  std::string Name;
  {
    TSpillStream S(Folder, 1500);
    S.WriteBuffer(A.data(), 1000);
    S.SetSize(1500);  // up to the threshold: still memory
    S.SetPosition(1000);
    EXPECT_TRUE(S.FileName().empty());
    EXPECT_FALSE(std::filesystem::exists(Folder));
    // A write that would pass it moves everything, the position kept.
    S.WriteBuffer(B.data(), 600);
    Name = S.FileName();
    ASSERT_FALSE(Name.empty());
    EXPECT_EQ(Name.rfind(Folder + "/", 0), 0u) << Name;
    EXPECT_EQ(S.Size(), 1600);
    EXPECT_EQ(S.Position(), 1600);
    EXPECT_EQ(std::filesystem::file_size(Name), 1600u);
    std::vector<uint8_t> Back(1600);
    S.SetPosition(0);
    S.ReadBuffer(Back.data(), 1600);
    EXPECT_TRUE(std::equal(A.begin(), A.end(), Back.begin()));
    EXPECT_TRUE(std::equal(B.begin(), B.end(), Back.begin() + 1000));
    S.SetSize(44);
    EXPECT_EQ(std::filesystem::file_size(Name), 44u);
  }
  EXPECT_FALSE(std::filesystem::exists(Name));

  // A size set past the threshold moves it as well; a folder that cannot be
  // made raises, and the stream stays in memory with what it held.
  TSpillStream Sized(Folder, 100);
  Sized.SetSize(101);
  EXPECT_FALSE(Sized.FileName().empty());
  WriteFileBytes(T.Path("plain"), {1});
  TSpillStream Stuck(T.Path("plain/below"), 10);
  Stuck.WriteBuffer(A.data(), 10);
  EXPECT_THROW(Stuck.WriteBuffer(A.data(), 1), EFCreateError);
  EXPECT_TRUE(Stuck.FileName().empty());
  EXPECT_EQ(Stuck.Size(), 10);
}

TEST(MemoryStream, BytesPastTheSizeReadAsZerosAfterShrinkingAndGrowing) {
  // The block keeps its room when the stream is cut: what lay there before
  // must not come back when the stream grows again.
  TMemoryStream S;
  std::vector<uint8_t> Ones(100, 0xFF);
  S.WriteBuffer(Ones.data(), 100);
  S.SetSize(10);
  EXPECT_EQ(S.Position(), 10);
  S.SetSize(50);
  // A write past the end fills the gap with zeros as well.
  S.SetPosition(80);
  S.WriteBuffer(Ones.data(), 5);
  ASSERT_EQ(S.Size(), 85);
  std::vector<uint8_t> Back(85);
  S.SetPosition(0);
  S.ReadBuffer(Back.data(), 85);
  std::vector<uint8_t> Want(85, 0);
  std::fill(Want.begin(), Want.begin() + 10, 0xFF);
  std::fill(Want.begin() + 80, Want.end(), 0xFF);
  EXPECT_EQ(Back, Want);
  S.Clear();
  EXPECT_EQ(S.Size(), 0);
  EXPECT_EQ(S.Read(Back.data(), 1), 0);
}

// The peak resident size of this process in KB, since the last reset.
long PeakKb() {
  std::ifstream In("/proc/self/status");
  std::string Line;
  while (std::getline(In, Line))
    if (Line.rfind("VmHWM:", 0) == 0) return std::strtol(Line.c_str() + 6, nullptr, 10);
  return -1;
}

// GCC names its sanitizers by macros, clang by features.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define VELMORA_SANITIZED_ALLOCATOR 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define VELMORA_SANITIZED_ALLOCATOR 1
#endif
#endif

TEST(MemoryStream, GrowingPastItsReservationDoesNotHoldTwoCopies) {
#ifdef VELMORA_SANITIZED_ALLOCATOR
  GTEST_SKIP() << "a sanitizer's allocator copies every block it grows";
#else
  // Sized ahead to 40 MB, as the MP3 decoder sizes its image from an
  // estimate, then written on to 96 MB in 1 MB pieces. Two blocks side by
  // side (the old one and the larger one it is copied to) would pass 150 MB.
  std::ofstream Reset("/proc/self/clear_refs");
  if (!(Reset << "5" << std::flush)) GTEST_SKIP() << "the peak resident size cannot be reset here";
  Reset.close();
  const long Before = PeakKb();
  ASSERT_GT(Before, 0);
  constexpr int64_t MB = 1 << 20;
  {
    TMemoryStream S;
    S.SetSize(40 * MB);
    S.SetPosition(0);
    std::vector<uint8_t> Piece(MB);
    for (int I = 0; I < 96; ++I) {
      std::fill(Piece.begin(), Piece.end(), static_cast<uint8_t>(I + 1));
      S.WriteBuffer(Piece.data(), MB);
    }
    ASSERT_EQ(S.Size(), 96 * MB);
    EXPECT_EQ(S.Memory()[95 * MB], 96);
    EXPECT_EQ(S.Memory()[0], 1);
  }
  const long Grown = PeakKb() - Before;
  EXPECT_LT(Grown, 112 * 1024) << "peak grew by " << Grown << " KB";
#endif
}
