// The WAV reader against files written by sox and ffmpeg, hand-made headers
// (odd layouts and hostile values), ranges, looping and file handling.
#include <gtest/gtest.h>

#include <dirent.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "tests/support/TestSupport.h"
#include "wave/AdpcmTables.h"
#include "wave/WaveIn.h"

using namespace testing_support;

namespace {

using Bytes = std::vector<uint8_t>;

// Everything a job delivers, read in pieces of Piece bytes; stops after Limit.
Bytes ReadAll(TWaveIn& W, int Piece = 3000, size_t Limit = 64u << 20) {
  Bytes Out;
  W.Init();
  std::vector<uint8_t> Buf(static_cast<size_t>(Piece));
  while (Out.size() < Limit) {
    const int N = W.GetData(Buf.data(), Piece);
    if (N == 0) break;
    Out.insert(Out.end(), Buf.begin(), Buf.begin() + N);
  }
  W.Flush();
  return Out;
}

std::vector<int16_t> AsSamples(const Bytes& B, int Bits) {
  std::vector<int16_t> S;
  if (Bits == 8) {
    for (uint8_t V : B) S.push_back(static_cast<int16_t>((V - 128) << 8));
  } else {
    S.resize(B.size() / 2);
    std::memcpy(S.data(), B.data(), S.size() * 2);
  }
  return S;
}

int OpenDescriptors() {
  int N = 0;
  if (DIR* D = opendir("/proc/self/fd")) {
    while (readdir(D)) ++N;
    closedir(D);
  }
  return N;
}

// ---------------------------------------------------------------- hand-made files

void Put16(Bytes& B, uint32_t V) {
  B.push_back(static_cast<uint8_t>(V));
  B.push_back(static_cast<uint8_t>(V >> 8));
}
void Put32(Bytes& B, uint32_t V) {
  Put16(B, V & 0xFFFF);
  Put16(B, V >> 16);
}
void Chunk(Bytes& B, const char* Name, const Bytes& Body, int64_t Size = -1) {
  B.insert(B.end(), Name, Name + 4);
  Put32(B, static_cast<uint32_t>(Size < 0 ? static_cast<int64_t>(Body.size()) : Size));
  B.insert(B.end(), Body.begin(), Body.end());
}
Bytes Fmt(int Tag, int Ch, int Rate, int Align, int Bits, const Bytes& Extra = {}) {
  Bytes F;
  Put16(F, Tag);
  Put16(F, Ch);
  Put32(F, Rate);
  Put32(F, static_cast<uint32_t>(Rate * Align));
  Put16(F, Align);
  Put16(F, Bits);
  F.insert(F.end(), Extra.begin(), Extra.end());
  return F;
}
Bytes Riff(const Bytes& Chunks, const char* Riff = "RIFF", const char* Wave = "WAVE") {
  Bytes B(Riff, Riff + 4);
  Put32(B, static_cast<uint32_t>(Chunks.size() + 4));
  B.insert(B.end(), Wave, Wave + 4);
  B.insert(B.end(), Chunks.begin(), Chunks.end());
  return B;
}
Bytes Pcm16(int Frames, int Ch) {
  const std::vector<int16_t> S = MakeSignal16(Frames, Ch, 8000);
  Bytes B(S.size() * 2);
  std::memcpy(B.data(), S.data(), B.size());
  return B;
}
// A 16-bit PCM file with Before chunks between "fmt " and "data".
Bytes PcmFile(const Bytes& Data, int Ch = 1, const Bytes& Before = {}, int Bits = 16) {
  Bytes C;
  Chunk(C, "fmt ", Fmt(1, Ch, 8000, Ch * Bits / 8, Bits));
  C.insert(C.end(), Before.begin(), Before.end());
  Chunk(C, "data", Data);
  return Riff(C);
}
Bytes MsExtra(int SamplesPerBlock, int Pairs) {
  Bytes E;
  Put16(E, static_cast<uint32_t>(4 + 4 * Pairs));
  Put16(E, SamplesPerBlock);
  Put16(E, Pairs);
  for (int I = 0; I < Pairs; ++I) {
    Put16(E, static_cast<uint16_t>(MsStandardCoefficients[I % 7][0]));
    Put16(E, static_cast<uint16_t>(MsStandardCoefficients[I % 7][1]));
  }
  return E;
}
Bytes ImaExtra(int SamplesPerBlock) {
  Bytes E;
  Put16(E, 2);
  Put16(E, SamplesPerBlock);
  return E;
}
Bytes Compressed(const Bytes& FmtBody, uint32_t Fact, const Bytes& Data) {
  Bytes C, F;
  Chunk(C, "fmt ", FmtBody);
  Put32(F, Fact);
  Chunk(C, "fact", F);
  Chunk(C, "data", Data);
  return Riff(C);
}

// A reader over bytes in memory.
struct TMemReader {
  TMemoryStream S;
  TOwned<TWaveIn> W = MakeComponent<TWaveIn>(nullptr);
  explicit TMemReader(const Bytes& B) {
    S.Write(B.data(), static_cast<int64_t>(B.size()));
    S.SetPosition(0);
    W->SetStream(&S);
  }
};

// ---------------------------------------------------------------- reference tools

struct TToolCase {
  const char* Name;
  const char* Writer;   // "sox" or "ffmpeg"
  const char* Options;  // how the writer encodes
  int Channels;
  TWavType Type;
  int Bits;            // what the reader delivers
  const char* Exact;   // the decoder the reader must match sample for sample
};

std::vector<int16_t> SoxDecode(const TempDir& D, const std::string& File) {
  std::string Err;
  EXPECT_EQ(testing_support::Run("sox " + Quote(File) + " -e signed -b 16 " + Quote(D.Path("sox.wav")),
                                 nullptr, &Err), 0) << Err;
  return ReadPcm16Wav(D.Path("sox.wav"));
}

std::vector<int16_t> FfmpegDecode(const std::string& File) {
  std::string Out, Err;
  EXPECT_EQ(testing_support::Run("ffmpeg -v error -i " + Quote(File) + " -f s16le -", &Out, &Err), 0)
      << Err;
  return AsSamples(Bytes(Out.begin(), Out.end()), 16);
}

class WaveInToolTest : public ::testing::TestWithParam<TToolCase> {};

// A tool writes the file; the reader must decode it exactly like the decoder
// that follows the standard arithmetic (sox for IMA ADPCM, ffmpeg for MS ADPCM,
// both for PCM) and stay close to the other one, which rounds differently.
TEST_P(WaveInToolTest, DecodesLikeTheReferenceDecoders) {
  const TToolCase& C = GetParam();
  if (!HaveTool("sox") || !HaveTool("ffmpeg")) GTEST_SKIP() << "sox and ffmpeg are needed";
  TempDir D;
  const std::vector<int16_t> Src = MakeSignal16(28665, 2, 22050);  // not a whole number of blocks
  WritePcmWav(D.Path("src.wav"), Src.data(), Src.size() * 2, 2, 22050, 16);
  const std::string In = Quote(D.Path("src.wav")), File = D.Path("t.wav"), Ch = std::to_string(C.Channels);
  std::string Err;
  const std::string Cmd = std::string(C.Writer) == "sox"
                              ? "sox " + In + " -c " + Ch + " " + C.Options + " " + Quote(File)
                              : "ffmpeg -v error -y -i " + In + " -ac " + Ch + " " + C.Options + " " + Quote(File);
  ASSERT_EQ(testing_support::Run(Cmd, nullptr, &Err), 0) << Err;

  auto W = MakeComponent<TWaveIn>(nullptr);
  W->SetFileName(File);
  ASSERT_TRUE(W->Valid());
  EXPECT_EQ(W->WavType(), C.Type);
  EXPECT_EQ(W->InChannels(), C.Channels);
  EXPECT_EQ(W->InSampleRate(), 22050);
  EXPECT_EQ(W->InBitsPerSample(), C.Bits);
  EXPECT_EQ(W->TotalTime(), 1);
  const std::vector<int16_t> Got = AsSamples(ReadAll(*W), C.Bits);

  for (const std::string Decoder : {"sox", "ffmpeg"}) {
    const std::vector<int16_t> Ref = Decoder == "sox" ? SoxDecode(D, File) : FfmpegDecode(File);
    // Both tools decode the padding of the last block too.
    ASSERT_EQ(Got.size(), Ref.size()) << Decoder;
    size_t Differ = 0;
    int MaxDiff = 0;
    for (size_t I = 0; I < Ref.size(); ++I) {
      Differ += Got[I] != Ref[I];
      MaxDiff = std::max(MaxDiff, std::abs(Got[I] - Ref[I]));
    }
    if (Decoder == C.Exact || C.Type == wtPCM)
      EXPECT_EQ(Differ, 0u) << Decoder << ": " << Differ << " of " << Ref.size() << " samples differ";
    else
      EXPECT_LT(MaxDiff, 256) << Decoder;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Tools, WaveInToolTest,
    ::testing::Values(
        TToolCase{"SoxPcm16Stereo", "sox", "-b 16 -e signed", 2, wtPCM, 16, "sox"},
        TToolCase{"SoxPcm16Mono", "sox", "-b 16 -e signed", 1, wtPCM, 16, "sox"},
        TToolCase{"SoxPcm8Mono", "sox", "-b 8 -e unsigned", 1, wtPCM, 8, "sox"},
        TToolCase{"SoxPcm8Stereo", "sox", "-b 8 -e unsigned", 2, wtPCM, 8, "sox"},
        TToolCase{"SoxImaMono", "sox", "-e ima-adpcm", 1, wtDVIADPCM, 16, "sox"},
        TToolCase{"SoxImaStereo", "sox", "-e ima-adpcm", 2, wtDVIADPCM, 16, "sox"},
        TToolCase{"SoxMsMono", "sox", "-e ms-adpcm", 1, wtMSADPCM, 16, "ffmpeg"},
        TToolCase{"SoxMsStereo", "sox", "-e ms-adpcm", 2, wtMSADPCM, 16, "ffmpeg"},
        TToolCase{"FfmpegPcmU8", "ffmpeg", "-c:a pcm_u8", 2, wtPCM, 8, "ffmpeg"},
        TToolCase{"FfmpegPcmS16", "ffmpeg", "-c:a pcm_s16le", 1, wtPCM, 16, "ffmpeg"},
        TToolCase{"FfmpegImaMono", "ffmpeg", "-c:a adpcm_ima_wav", 1, wtDVIADPCM, 16, "sox"},
        TToolCase{"FfmpegImaStereo", "ffmpeg", "-c:a adpcm_ima_wav", 2, wtDVIADPCM, 16, "sox"},
        TToolCase{"FfmpegMsMono", "ffmpeg", "-c:a adpcm_ms", 1, wtMSADPCM, 16, "ffmpeg"},
        TToolCase{"FfmpegMsStereo", "ffmpeg", "-c:a adpcm_ms", 2, wtMSADPCM, 16, "ffmpeg"}),
    [](const auto& I) { return std::string(I.param.Name); });

}  // namespace
