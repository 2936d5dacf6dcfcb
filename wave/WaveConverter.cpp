#include "wave/WaveConverter.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <memory>
#include <vector>

#include "wave/RiffChunks.h"

TWaveConverter::TWaveConverter() {
  uint32_t Largest = 0;
  if (acmMetrics(nullptr, kAcmMetricMaxSizeFormat, &Largest) != kAcmNoError) Largest = 0;
  // The blocks have room for so much and no more.
  FMaxFormatSize = std::min<uint32_t>(Largest, FormatBlockSize);
}

bool TWaveConverter::LoadWave(TStream& Source) {
  Clear();
  FSource = TFormatBlock{};
  const int64_t Start = Source.Position();
  const int64_t Length = std::max<int64_t>(0, Source.Size() - Start);
  // The same bytes and the same walk as the reader's header scan, so that
  // both take the same chunks for "fmt " and "data".
  std::vector<uint8_t> Head(
      static_cast<size_t>(std::min<int64_t>(Length, WaveHeaderScanLimit + 16)));
  const int64_t HeadLen = Source.Read(Head.data(), static_cast<int64_t>(Head.size()));
  TChunkWalk Walk(Head.data(), HeadLen, WaveHeaderScanLimit - 5);
  TChunk Fmt, Data;
  if (!Walk.FindForm() || !Walk.Find("fmt ", Fmt) || !Walk.Find("data", Data)) return false;

  // Only what the chunk holds and the block has room for; the extra bytes
  // the format claims are cut to those that came with it.
  const int64_t FmtBytes = std::clamp<int64_t>(
      std::min<int64_t>({static_cast<int64_t>(Fmt.Size), FormatBlockSize, HeadLen - Fmt.Body}), 0,
      FormatBlockSize);
  std::memcpy(&FSource, Head.data() + Fmt.Body, static_cast<size_t>(FmtBytes));
  const int64_t ExtraThere =
      std::max<int64_t>(0, FmtBytes - static_cast<int64_t>(sizeof(TWaveFormatEx)));
  FSource.Format.ExtraSize =
      static_cast<uint16_t>(std::min<int64_t>(FSource.Format.ExtraSize, ExtraThere));

  // The first "data" chunk is the audio, as much of it as the file holds.
  const int64_t Bytes = std::clamp<int64_t>(Length - Data.Body, 0, Data.Size);
  Source.SetPosition(Start + Data.Body);
  SetSize(Bytes);
  const int64_t Got = Bytes > 0 ? Source.Read(Memory(), Bytes) : 0;
  SetSize(Got);
  SetPosition(0);
  return true;
}

uint32_t TWaveConverter::Convert() {
  TAcmStream* Stream = nullptr;
  uint32_t R = acmStreamOpen(&Stream, nullptr, SourceFormat(), TargetFormat(), nullptr, 0, 0,
                             kAcmOpenNonRealtime);
  if (R != kAcmNoError) return R;
  uint32_t DestBytes = 0;
  R = acmStreamSize(Stream, PieceBytes, &DestBytes, kAcmSizeSource);
  if (R == kAcmNoError && DestBytes == 0) R = kAcmNotPossible;
  if (R != kAcmNoError) {
    acmStreamClose(Stream, 0);
    return R;
  }

  uint32_t Failure = kAcmNoError;
  try {
    // The input moves aside; the contents become the output as it comes.
    std::vector<uint8_t> Input(Memory(), Memory() + Size());
    Clear();
    std::vector<uint8_t> Piece(PieceBytes);
    // Room for the worst case, of which only what each call reports as used
    // is read: left uninitialised, its pages are never touched.
    std::unique_ptr<uint8_t[]> Out(new uint8_t[DestBytes]);
    TAcmStreamHeader H;
    H.Source = Piece.data();
    H.SourceLength = PieceBytes;
    H.Dest = Out.get();
    H.DestLength = DestBytes;
    Failure = acmStreamPrepareHeader(Stream, &H, 0);
    if (Failure == kAcmNoError) {
      size_t Offset = 0;
      bool First = true, Drained = false;
      while (Failure == kAcmNoError && !Drained) {
        const size_t N = std::min<size_t>(PieceBytes, Input.size() - Offset);
        if (N > 0) std::memcpy(Piece.data(), Input.data() + Offset, N);
        const bool Last = Offset + N == Input.size();
        const uint32_t Flags = kAcmConvertBlockAlign | (Last ? kAcmConvertEnd : 0);
        // The piece, then empty calls until the driver has nothing more for
        // it: what did not fit the output comes out before the next piece.
        H.SourceLength = static_cast<uint32_t>(N);
        uint64_t Moved = 0;  // bytes taken and given for this piece
        for (;;) {
          Failure = acmStreamConvert(Stream, &H, Flags | (First ? kAcmConvertStart : 0));
          if (Failure != kAcmNoError) break;
          First = false;
          Offset += H.SourceLengthUsed;
          Moved += uint64_t{H.SourceLengthUsed} + H.DestLengthUsed;
          if (Size() + H.DestLengthUsed > MaxWavePcmBytes) {
            Failure = kAcmNotPossible;
            break;
          }
          Write(Out.get(), H.DestLengthUsed);
          if (H.DestLengthUsed == 0) break;
          H.SourceLength = 0;
        }
        if (Failure != kAcmNoError) break;
        if (Last && Offset == Input.size())
          Drained = true;
        else if (Moved == 0)
          Failure = kAcmNotPossible;  // a driver that takes and gives nothing gets no further
      }
      const uint32_t U = acmStreamUnprepareHeader(Stream, &H, 0);
      if (Failure == kAcmNoError) Failure = U;
    }
  } catch (const std::bad_alloc&) {
    if (Failure == kAcmNoError) Failure = kAcmNoMemory;
  }
  const uint32_t C = acmStreamClose(Stream, 0);
  if (Failure == kAcmNoError) Failure = C;
  if (Failure != kAcmNoError) return Failure;

  std::memcpy(&FSource, &FTarget, std::max<uint32_t>(FMaxFormatSize, sizeof(TWaveFormatEx)));
  SetPosition(0);
  return kAcmNoError;
}

uint32_t TWaveConverter::SaveWave(TStream& Destination) {
  const TWaveFormatEx& F = FSource.Format;
  const int64_t Bytes = Size();
  if (F.FormatTag != 1 || Bytes > MaxWavePcmBytes) return kAcmNotPossible;
  try {
    const int64_t Keep = Position();
    uint8_t Header[PcmHeaderSize];
    PutPcmHeader(Header, F.Channels, static_cast<int>(F.SamplesPerSec), F.BitsPerSample, Bytes);
    Destination.SetPosition(0);
    Destination.WriteBuffer(Header, PcmHeaderSize);
    Destination.WriteBuffer(Memory(), Bytes);
    Destination.SetSize(PcmHeaderSize + Bytes);
    SetPosition(Keep);
    return kAcmNoError;
  } catch (const std::exception&) {
    return kAcmError;
  }
}
