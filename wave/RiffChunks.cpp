#include "wave/RiffChunks.h"

#include <algorithm>
#include <cstring>
#include <vector>

uint32_t SizeField(int64_t V) {
  if (V < 0) return 0;
  return V > 0xFFFFFFFFll ? 0xFFFFFFFFu : static_cast<uint32_t>(V);
}

void WriteLe32At(TStream& S, int64_t Offset, uint32_t V) {
  uint8_t B[4];
  PutLe32(B, V);
  S.SetPosition(Offset);
  S.WriteBuffer(B, 4);
}

bool SameChunkName(const uint8_t* P, const char* Name) {
  for (int I = 0; I < 4; ++I) {
    const int D = P[I] - static_cast<uint8_t>(Name[I]);
    if (D != 0 && D != 32 && D != -32) return false;
  }
  return true;
}

int64_t TChunkWalk::Slide(int64_t From, const char* const* Names, int Count) const {
  for (int64_t I = From; I <= FLastStart && I + 4 <= FLen; ++I)
    for (int N = 0; N < Count; ++N)
      if (SameChunkName(FHead + I, Names[N])) return I;
  return -1;
}

bool TChunkWalk::FindForm() {
  static const char* const Forms[] = {"RIFF", "RF64", "BW64"};
  static const char* const Waves[] = {"WAVE"};
  FNext = FForm = -1;
  FWide = false;
  FRiff = Slide(0, Forms, 3);
  if (FRiff < 0) return false;
  FWide = !SameChunkName(FHead + FRiff, "RIFF");
  const int64_t Wave = Slide(FRiff + 8, Waves, 1);  // past the RIFF size field
  if (Wave < 0) return false;
  FNext = FForm = Wave + 4;
  return true;
}

bool TChunkWalk::Find(const char* Name, TChunk& C) {
  if (FNext < 0) return false;
  while (FNext <= FLastStart && FNext + 8 <= FLen) {
    C.At = FNext;
    C.Name = FHead + FNext;
    C.Size = GetLe32(FHead + FNext + 4);
    C.Body = FNext + 8;
    FNext = C.Body + C.Size;
    if (SameChunkName(C.Name, Name)) return true;
  }
  FNext = -1;  // the walk is over
  return false;
}

void PutPcmHeader(uint8_t* H, int Channels, int Rate, int Bits, int64_t DataBytes) {
  const uint32_t Align = static_cast<uint32_t>(Bits * Channels / 8);
  std::memcpy(H, "RIFF", 4);
  PutLe32(H + PcmRiffSizeAt, DataBytes < 0 ? 0xFFFFFFFFu : SizeField(DataBytes + 36));
  std::memcpy(H + 8, "WAVEfmt ", 8);
  PutLe32(H + 16, 16);
  PutLe16(H + 20, 1);
  PutLe16(H + 22, static_cast<uint32_t>(Channels));
  PutLe32(H + 24, static_cast<uint32_t>(Rate));
  PutLe32(H + 28, static_cast<uint32_t>(Rate) * Align);
  PutLe16(H + 32, Align);
  PutLe16(H + 34, static_cast<uint32_t>(Bits));
  std::memcpy(H + 36, "data", 4);
  PutLe32(H + PcmDataSizeAt, DataBytes < 0 ? 0xFFFFFFFFu : SizeField(DataBytes));
}

void PutDs64Sizes(uint8_t* P, const TDs64& D) {
  const uint64_t V[3] = {D.RiffSize, D.DataSize, D.SampleCount};
  for (int F = 0; F < 3; ++F) {
    PutLe32(P + 8 * F, static_cast<uint32_t>(V[F]));
    PutLe32(P + 8 * F + 4, static_cast<uint32_t>(V[F] >> 32));
  }
}

void PutDs64Chunk(uint8_t* P, const TDs64& D) {
  std::memcpy(P, "ds64", 4);
  PutLe32(P + 4, Ds64ChunkSize - 8);
  PutDs64Sizes(P + 8, D);
  PutLe32(P + 32, 0);  // no table of other chunk sizes
}

bool GetDs64(const uint8_t* Body, uint32_t Size, TDs64& D) {
  if (Size < 24) return false;
  auto Get64 = [Body](int At) {
    return uint64_t{GetLe32(Body + At)} | uint64_t{GetLe32(Body + At + 4)} << 32;
  };
  D.RiffSize = Get64(0);
  D.DataSize = Get64(8);
  D.SampleCount = Get64(16);
  return true;
}

// ---------------------------------------------------------------- TWaveSizes

namespace {

// Bytes moved at a time when a file is made room for a "ds64" chunk.
constexpr int MoveBufferSize = 1 << 20;

void WriteChunkName(TStream& S, int64_t Offset, const char* Name) {
  S.SetPosition(Offset);
  S.WriteBuffer(Name, 4);
}

}  // namespace

TWaveSizes TWaveSizes::PcmAt(int64_t Offset) {
  TWaveSizes W;
  W.RiffSizeOffset += Offset;
  W.FormEnd += Offset;
  W.DataSizeOffset += Offset;
  W.DataStart += Offset;
  return W;
}

int64_t TWaveSizes::MakeRoom(TStream& S, int64_t Bytes, int64_t Frames, int64_t Limit) {
  if (Ds64Offset >= 0) return 0;
  const int64_t End = S.Position();
  if (End + Bytes - RiffSizeOffset - 4 <= Limit && Frames <= Limit) return 0;
  int64_t Moved = 0;
  if (JunkOffset >= 0) {
    // Room kept for the sizes: the chunk only changes its name.
    Ds64Offset = JunkOffset;
    WriteChunkName(S, Ds64Offset, "ds64");
  } else {
    // From the end backwards, so that nothing is overwritten before it has
    // moved. A move that fails leaves a file that cannot be made true again.
    HeaderLost = true;
    std::vector<uint8_t> Buf(MoveBufferSize);
    for (int64_t Pos = End; Pos > FormEnd;) {
      const int64_t N = std::min<int64_t>(MoveBufferSize, Pos - FormEnd);
      Pos -= N;
      S.SetPosition(Pos);
      S.ReadBuffer(Buf.data(), N);
      S.SetPosition(Pos + Ds64ChunkSize);
      S.WriteBuffer(Buf.data(), N);
    }
    uint8_t D[Ds64ChunkSize];
    PutDs64Chunk(D, TDs64{});
    S.SetPosition(FormEnd);
    S.WriteBuffer(D, Ds64ChunkSize);
    HeaderLost = false;
    Ds64Offset = FormEnd;
    Moved = Ds64ChunkSize;
    DataSizeOffset += Moved;
    DataStart += Moved;
    if (FactOffset >= 0) FactOffset += Moved;
  }
  WriteChunkName(S, RiffSizeOffset - 4, "RF64");
  S.SetPosition(End + Moved);
  return Moved;
}

void TWaveSizes::Patch(TStream& S, int64_t Length, int64_t Frames, int64_t Limit) {
  const int64_t DataSize = std::max<int64_t>(0, Length - DataStart);
  const int64_t RiffSize = Length - RiffSizeOffset - 4;
  if (Ds64Offset >= 0 && RiffSize <= Limit && Frames <= Limit) {
    // The room stays as a "JUNK" chunk for a later append.
    WriteChunkName(S, RiffSizeOffset - 4, "RIFF");
    WriteChunkName(S, Ds64Offset, "JUNK");
    JunkOffset = Ds64Offset;
    Ds64Offset = -1;
  }
  if (Ds64Offset >= 0) {
    TDs64 D;
    D.RiffSize = static_cast<uint64_t>(RiffSize);
    D.DataSize = static_cast<uint64_t>(DataSize);
    D.SampleCount = static_cast<uint64_t>(Frames);
    uint8_t B[24];
    PutDs64Sizes(B, D);
    S.SetPosition(Ds64Offset + 8);
    S.WriteBuffer(B, 24);
    WriteLe32At(S, DataSizeOffset, 0xFFFFFFFFu);
    if (FactOffset >= 0) WriteLe32At(S, FactOffset, 0xFFFFFFFFu);
    WriteLe32At(S, RiffSizeOffset, 0xFFFFFFFFu);
    return;
  }
  auto Field = [Limit](int64_t V) { return V > Limit ? 0xFFFFFFFFu : SizeField(V); };
  WriteLe32At(S, DataSizeOffset, Field(DataSize));
  if (FactOffset >= 0) WriteLe32At(S, FactOffset, Field(Frames));
  WriteLe32At(S, RiffSizeOffset, Field(RiffSize));
}
