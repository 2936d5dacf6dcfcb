// velmora-cli converting sound longer than a 32-bit WAV size can state: the
// WAV file it writes is read by sox and ffmpeg with the exact length, and
// turns back into FLAC bit for bit. The sources are sparse files (silence and
// a marker tone), but the WAV files written are real: several GB of disk
// for a few seconds each, removed as soon as they have been looked at.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "tests/support/TestSupport.h"
#include "wave/RiffChunks.h"

using namespace testing_support;

namespace {

constexpr int64_t Rate = 44100;
constexpr int64_t FrameBytes = 4;  // 16-bit stereo

class CliLongWav : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!HaveTool("sox") || !HaveTool("ffprobe") || !HaveTool("ffmpeg") || !HaveTool("md5sum"))
      GTEST_SKIP() << "sox, ffprobe, ffmpeg and md5sum are needed";
    // The 7-hour WAV file written (4.4 GB) and what the system needs besides.
    if (std::filesystem::space(Dir.Dir()).available < (uint64_t{7} << 30))
      GTEST_SKIP() << "less than 7 GiB free under " << Dir.Dir();
  }

  int Cli(const std::string& Args, std::string* Err = nullptr) {
    return testing_support::Run(Quote(BinDir() + "/velmora-cli") + " " + Args, nullptr, Err);
  }
  std::string P(const std::string& Name) const { return Quote(Dir.Path(Name)); }
  std::string Tool(const std::string& Command) {
    std::string Out, Err;
    EXPECT_EQ(0, testing_support::Run(Command, &Out, &Err)) << Command << ": " << Err;
    while (!Out.empty() && (Out.back() == '\n' || Out.back() == '\r')) Out.pop_back();
    return Out;
  }

  // Seconds of sparse 16-bit stereo silence with one second of a 1 kHz tone
  // starting at frame Marker; the header is the 64-bit form when Wide. Returns
  // where the samples begin.
  int64_t SparseSource(const std::string& Name, int64_t Seconds, int64_t Marker, bool Wide) {
    const int64_t Bytes = Seconds * Rate * FrameBytes;
    std::vector<uint8_t> H(PcmHeaderSize);
    PutPcmHeader(H.data(), 2, static_cast<int>(Rate), 16, Wide ? -1 : Bytes);
    if (Wide) {
      uint8_t D[Ds64ChunkSize];
      PutDs64Chunk(D, TDs64{static_cast<uint64_t>(Bytes + 72), static_cast<uint64_t>(Bytes),
                            static_cast<uint64_t>(Bytes / FrameBytes)});
      H.insert(H.begin() + 12, D, D + Ds64ChunkSize);
      std::memcpy(H.data(), "RF64", 4);
    }
    WriteFileBytes(Dir.Path(Name), H);
    std::filesystem::resize_file(Dir.Path(Name), H.size() + static_cast<uint64_t>(Bytes));
    std::fstream F(Dir.Path(Name), std::ios::in | std::ios::out | std::ios::binary);
    F.seekp(static_cast<std::streamoff>(H.size()) + Marker * FrameBytes);
    const auto T = Tone();
    F.write(reinterpret_cast<const char*>(T.data()), static_cast<std::streamsize>(T.size()));
    return static_cast<int64_t>(H.size());
  }
  static std::vector<uint8_t> Tone() {
    std::vector<uint8_t> B(static_cast<size_t>(Rate * FrameBytes));
    for (int64_t I = 0; I < Rate; ++I) {
      const auto V = static_cast<int16_t>(std::lround(8000 * std::sin(2 * M_PI * 1000 * I / Rate)));
      for (int C = 0; C < 2; ++C) std::memcpy(&B[static_cast<size_t>(I * 4 + C * 2)], &V, 2);
    }
    return B;
  }
  // Two seconds decoded by ffmpeg from half a second before the marker (at a
  // whole second): silence, the tone, silence.
  void ExpectMarkerThroughFfmpeg(const std::string& Name, int64_t Marker) {
    const std::string Raw = Dir.Path("marker.raw");
    Tool("ffmpeg -v error -ss " + std::to_string(Marker / Rate - 1) + ".5 -i " + P(Name) +
         " -t 2 -f s16le -y " + Quote(Raw));
    std::vector<uint8_t> Want(static_cast<size_t>(2 * Rate * FrameBytes), 0);
    const auto T = Tone();
    std::copy(T.begin(), T.end(), Want.begin() + Rate / 2 * FrameBytes);
    EXPECT_EQ(ReadFileBytes(Raw), Want) << Name;
  }

  TempDir Dir;
};

std::vector<uint8_t> FileHead(const std::string& Name, size_t N) {
  std::vector<uint8_t> B(N);
  std::ifstream In(Name, std::ios::binary);
  In.read(reinterpret_cast<char*>(B.data()), static_cast<std::streamsize>(N));
  B.resize(static_cast<size_t>(In.gcount()));
  return B;
}

uint64_t Le64(const std::vector<uint8_t>& B, size_t At) {
  return GetLe32(&B.at(At)) | uint64_t{GetLe32(&B.at(At + 4))} << 32;
}

TEST_F(CliLongWav, SevenHoursBecomeRf64ThatToolsReadAndThatTurnsBackIntoTheSameFlac) {
  // 7 hours: 4 445 280 000 bytes of samples, past the 32-bit sizes; the
  // source is itself a (sparse) 64-bit file. The marker starts a minute
  // before the end.
  const int64_t Frames = 7 * 3600 * Rate;
  const int64_t Bytes = Frames * FrameBytes;
  const int64_t Marker = Frames - 60 * Rate;
  const int64_t SourceStart = SparseSource("src.wav", 7 * 3600, Marker, true);
  std::string Err;
  ASSERT_EQ(0, Cli("convert " + P("src.wav") + " " + P("long.wav"), &Err)) << Err;

  // The 64-bit form with every size true.
  const auto H = FileHead(Dir.Path("long.wav"), 80);
  ASSERT_EQ(H.size(), 80u);
  EXPECT_EQ(std::string(H.begin(), H.begin() + 4), "RF64");
  EXPECT_EQ(std::string(H.begin() + 12, H.begin() + 16), "ds64");
  EXPECT_EQ(Le64(H, 20), static_cast<uint64_t>(Bytes + 72));
  EXPECT_EQ(Le64(H, 28), static_cast<uint64_t>(Bytes));
  EXPECT_EQ(Le64(H, 36), static_cast<uint64_t>(Frames));
  EXPECT_EQ(std::filesystem::file_size(Dir.Path("long.wav")), static_cast<uint64_t>(Bytes + 80));
  // sox and ffmpeg: the exact length, and the marker where it was put (sox
  // reads through a 64-bit file to a position instead of seeking, which
  // takes a minute here, so the samples are looked at through ffmpeg).
  EXPECT_EQ(Tool("sox --i -s " + P("long.wav")), std::to_string(Frames));
  EXPECT_EQ(Tool("ffprobe -v error -show_entries stream=duration_ts -of csv=p=0 " + P("long.wav")),
            std::to_string(Frames));
  ExpectMarkerThroughFfmpeg("long.wav", Marker);

  // Back to FLAC: its checksum of the samples is that of the source's.
  ASSERT_EQ(0, Cli("convert " + P("long.wav") + " " + P("back.flac"), &Err)) << Err;
  std::filesystem::remove(Dir.Path("long.wav"));
  const auto F = FileHead(Dir.Path("back.flac"), 42);
  ASSERT_EQ(F.size(), 42u);
  uint64_t Total = 0;  // the low 36 bits of the 8 bytes at 18
  for (int I = 0; I < 8; ++I) Total = Total << 8 | F[18 + static_cast<size_t>(I)];
  EXPECT_EQ(Total & 0xFFFFFFFFFull, static_cast<uint64_t>(Frames));
  std::string Md5;
  for (size_t I = 26; I < 42; ++I) {
    static const char* const Hex = "0123456789abcdef";
    Md5 += Hex[F[I] >> 4];
    Md5 += Hex[F[I] & 15];
  }
  EXPECT_EQ(Tool("tail -c +" + std::to_string(SourceStart + 1) + " " + P("src.wav") + " | md5sum")
                .substr(0, 32),
            Md5);
}

TEST_F(CliLongWav, SixHoursStayAPlainRiffFile) {
  // 6 hours: 3 810 240 000 bytes, within the 32-bit sizes.
  const int64_t Frames = 6 * 3600 * Rate;
  const int64_t Bytes = Frames * FrameBytes;
  const int64_t Marker = Frames - 60 * Rate;
  SparseSource("src.wav", 6 * 3600, Marker, false);
  std::string Err;
  ASSERT_EQ(0, Cli("convert " + P("src.wav") + " " + P("long.wav"), &Err)) << Err;
  uint8_t Plain[PcmHeaderSize];
  PutPcmHeader(Plain, 2, static_cast<int>(Rate), 16, Bytes);
  EXPECT_EQ(FileHead(Dir.Path("long.wav"), PcmHeaderSize),
            std::vector<uint8_t>(Plain, Plain + PcmHeaderSize));
  EXPECT_EQ(std::filesystem::file_size(Dir.Path("long.wav")),
            static_cast<uint64_t>(Bytes + PcmHeaderSize));
  EXPECT_EQ(Tool("sox --i -s " + P("long.wav")), std::to_string(Frames));
  ExpectMarkerThroughFfmpeg("long.wav", Marker);
}

}  // namespace
