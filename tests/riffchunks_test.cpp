// The chunk walk and the PCM header shared by the WAV reader, the WAV writer
// and the MP3 decoder: the edges each of them relies on.
#include "wave/RiffChunks.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

void Chunk(Bytes& B, const char* Name, uint32_t Size, size_t BodyBytes) {
  B.insert(B.end(), Name, Name + 4);
  for (int I = 0; I < 4; ++I) B.push_back(static_cast<uint8_t>(Size >> (8 * I)));
  B.resize(B.size() + BodyBytes, 'x');
}

// "RIFF", a size, "WAVE", then a "LIST" chunk of Pad bytes so that the chunk
// after it starts at 20 + Pad, then "data".
Bytes Form(size_t Pad) {
  Bytes B{'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E'};
  Chunk(B, "LIST", static_cast<uint32_t>(Pad), Pad);
  Chunk(B, "data", 4, 4);
  return B;
}

std::string Name(const TChunk& C) { return std::string(reinterpret_cast<const char*>(C.Name), 4); }

}  // namespace

TEST(ChunkWalkTest, ChunksFollowEachOtherWithoutPadBytes) {
  Bytes B{'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E'};
  Chunk(B, "fmt ", 16, 16);
  Chunk(B, "junk", 5, 5);  // odd: "data" follows on the next byte
  Chunk(B, "DaTa", 8, 8);
  TChunkWalk W(B.data(), static_cast<int64_t>(B.size()), 8192);
  ASSERT_TRUE(W.FindForm());
  TChunk C;
  ASSERT_TRUE(W.Find("fmt ", C));
  EXPECT_EQ(C.At, 12);
  EXPECT_EQ(C.Size, 16u);
  ASSERT_TRUE(W.Find("data", C));  // "junk" is passed over by its size
  EXPECT_EQ(Name(C), "DaTa");
  EXPECT_EQ(C.At, 12 + 24 + 13);
  EXPECT_EQ(C.Body, C.At + 8);
  EXPECT_FALSE(W.Find("data", C)) << "the chunk found last is passed over";
}

TEST(ChunkWalkTest, LaterChunksAreNotFoundByGoingBack) {
  Bytes B{'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E'};
  Chunk(B, "data", 4, 4);
  Chunk(B, "fmt ", 16, 16);
  TChunkWalk W(B.data(), static_cast<int64_t>(B.size()), 8192);
  ASSERT_TRUE(W.FindForm());
  TChunk C;
  ASSERT_TRUE(W.Find("fmt ", C));
  EXPECT_FALSE(W.Find("data", C)) << "a \"data\" chunk before \"fmt \" does not count";
}

TEST(ChunkWalkTest, HeaderMayStartAtLastStartAndMustLieInTheBytes) {
  // A header at exactly LastStart is looked at, one byte later it is not.
  for (const int64_t LastStart : {8184, 8187}) {
    for (const int64_t Shift : {0, 1}) {
      const Bytes B = Form(static_cast<size_t>(LastStart + Shift - 20));
      TChunkWalk W(B.data(), static_cast<int64_t>(B.size()), LastStart);
      ASSERT_TRUE(W.FindForm());
      TChunk C;
      EXPECT_EQ(W.Find("data", C), Shift == 0) << LastStart << " + " << Shift;
    }
  }
  // The whole 8-byte header must be in the bytes given; the body need not.
  const Bytes B = Form(100);
  TChunk C;
  for (const int64_t Cut : {0, 1, 4}) {
    TChunkWalk W(B.data(), 120 + 8 - Cut, 8192);
    ASSERT_TRUE(W.FindForm());
    EXPECT_EQ(W.Find("data", C), Cut == 0) << Cut;
  }
}

TEST(ChunkWalkTest, HugeSizeEndsTheWalk) {
  Bytes B{'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E'};
  Chunk(B, "LIST", 0xFFFFFFFFu, 8);
  Chunk(B, "data", 4, 4);
  TChunkWalk W(B.data(), static_cast<int64_t>(B.size()), 8192);
  ASSERT_TRUE(W.FindForm());
  TChunk C;
  EXPECT_FALSE(W.Find("data", C));
}

TEST(ChunkWalkTest, FormIsFoundBehindJunkButWaveNotInTheRiffSize) {
  // "WAVE" as the RIFF size field is not the form type; the "wave" after it
  // is. Taken as the type, it would make "wave" a chunk of a huge size.
  const std::string S = std::string(7, 'R') + "riffWAVEwaveFMT " + std::string(20, '\0');
  const Bytes B(S.begin(), S.end());
  TChunkWalk W(B.data(), static_cast<int64_t>(B.size()), 8192);
  TChunk C;
  ASSERT_TRUE(W.FindForm());
  EXPECT_EQ(W.RiffAt(), 7);
  ASSERT_TRUE(W.Find("fmt ", C));
  EXPECT_EQ(C.At, 19);

  TChunkWalk NoWave(B.data(), 15, 8192);  // "RIFF" and its size only
  EXPECT_FALSE(NoWave.FindForm());
  EXPECT_FALSE(NoWave.Find("fmt ", C)) << "no walk without a form";

  // A form name starting past LastStart is not looked at.
  TChunkWalk Late(B.data(), static_cast<int64_t>(B.size()), 6);
  EXPECT_FALSE(Late.FindForm());
}

TEST(ChunkNameTest, CaseIsIgnoredByTheDifferenceOf32) {
  const auto Same = [](const char* A, const char* B) {
    return SameChunkName(reinterpret_cast<const uint8_t*>(A), B);
  };
  EXPECT_TRUE(Same("DATA", "data"));
  EXPECT_TRUE(Same("dAtA", "data"));
  EXPECT_FALSE(Same("dat", "data"));  // the terminating zero is not 'a' +/- 32
  EXPECT_FALSE(Same("datb", "data"));
  EXPECT_FALSE(Same("data", "fmt "));
  // Not only letters: a zero byte differs from a space by 32 too.
  EXPECT_TRUE(Same(std::string("fmt\0", 4).c_str(), "fmt "));
}

TEST(PcmHeaderTest, UnknownAndOversizedLengthsFillTheSizeFields) {
  uint8_t H[PcmHeaderSize];
  PutPcmHeader(H, 2, 44100, 16, -1);
  EXPECT_EQ(GetLe32(H + PcmRiffSizeAt), 0xFFFFFFFFu);
  EXPECT_EQ(GetLe32(H + PcmDataSizeAt), 0xFFFFFFFFu);
  EXPECT_EQ(GetLe32(H + 28), 176400u);
  EXPECT_EQ(GetLe16(H + 32), 4);

  // The RIFF size saturates before the data size does.
  PutPcmHeader(H, 1, 8000, 8, 0xFFFFFFFFll - 10);
  EXPECT_EQ(GetLe32(H + PcmRiffSizeAt), 0xFFFFFFFFu);
  EXPECT_EQ(GetLe32(H + PcmDataSizeAt), 0xFFFFFFFFu - 10);
  EXPECT_EQ(GetLe32(H + 28), 8000u);
  EXPECT_EQ(GetLe16(H + 32), 1);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(H), 4), "RIFF");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(H + 8), 8), "WAVEfmt ");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(H + 36), 4), "data");
}
