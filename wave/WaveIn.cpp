#include "wave/WaveIn.h"

#include <algorithm>
#include <bit>
#include <climits>
#include <cstring>

#include "wave/MSAcm.h"
#include "wave/RiffChunks.h"
#include "wave/WaveConverter.h"

static_assert(std::endian::native == std::endian::little,
              "decoded samples are stored in host order, which must be the file's");

namespace {

// What the header scan found.
struct TWaveHeader {
  bool Found = false;  // the "data" chunk was reached
  TWavType Type = wtUnsupported;
  int Channels = 0;
  int Rate = 0;
  int BlockAlign = 0;
  int Bits = 0;
  int SamplesPerBlock = 0;
  bool FmtShort = false;      // the "fmt " body lacks fields its type needs
  bool TooManyPairs = false;  // an MS table of more than 32 pairs
  TMsCoefficients Coefficients;
  int64_t FactSamples = 0;
  int64_t DataOffset = 0;  // from the scan's start
  int64_t DataSize = 0;
  bool DataSizeKnown = false;  // else the data runs to the end of the stream
};

// Reads the fields of a "fmt " body; false for a format tag of no known kind.
bool DecodeFmt(const uint8_t* B, uint32_t Size, TWaveHeader& H) {
  const int Tag = Size >= 2 ? GetLe16(B) : 0;
  switch (Tag) {
    case 1:
      H.Type = wtPCM;
      break;
    case 2:
      H.Type = wtMSADPCM;
      break;
    case 17:
      H.Type = wtDVIADPCM;
      break;
    case 85:
      H.Type = wtACM;
      break;
    case 0xFFFE:
      // The extensible form: PCM when its sub-format GUID starts with tag 1
      // (the rest of the GUID is the fixed tail every such tag shares).
      if (Size >= 40 && GetLe16(B + 24) == 1) {
        H.Type = wtPCM;
        break;
      }
      H.Type = wtUnsupported;
      return false;
    default:
      H.Type = wtUnsupported;
      return false;
  }
  if (Size < 16) {
    H.FmtShort = true;
    return true;
  }
  H.Channels = GetLe16(B + 2);
  H.Rate = static_cast<int>(std::min<uint32_t>(GetLe32(B + 4), INT_MAX));
  H.BlockAlign = GetLe16(B + 12);
  H.Bits = GetLe16(B + 14);
  if (H.Type == wtPCM) return true;
  if (Size < 20) {
    H.FmtShort = true;
    return true;
  }
  H.SamplesPerBlock = GetLe16(B + 18);
  if (H.Type != wtMSADPCM) return true;
  if (Size < 22) {
    H.FmtShort = true;
    return true;
  }
  const int Pairs = GetLe16(B + 20);
  if (Pairs > MaxMsCoefficients) {
    H.TooManyPairs = true;
    return true;
  }
  if (Size < 22u + 4u * static_cast<uint32_t>(Pairs)) {
    H.FmtShort = true;
    return true;
  }
  H.Coefficients.Count = Pairs;
  for (int I = 0; I < Pairs; ++I) {
    H.Coefficients.Pair[I][0] = static_cast<int16_t>(GetLe16(B + 22 + 4 * I));
    H.Coefficients.Pair[I][1] = static_cast<int16_t>(GetLe16(B + 24 + 4 * I));
  }
  return true;
}

// Reads Len bytes at Offset from the scan's start: from Head where it holds
// them, from the stream past it. False when the stream has fewer.
class THeaderBytes {
 public:
  THeaderBytes(const std::vector<uint8_t>& Head, int64_t HeadLen, TStream& S, int64_t Start,
               int64_t StreamLen)
      : FHead(Head), FHeadLen(HeadLen), FS(S), FStart(Start), FLen(StreamLen) {}
  int64_t Length() const { return FLen; }
  bool Read(int64_t Offset, uint8_t* Out, int64_t Len) const {
    if (Offset < 0 || Len < 0 || Offset > FLen - Len) return false;
    if (Len == 0) return true;  // an empty chunk: Out may be null
    if (Offset + Len <= FHeadLen) {
      std::memcpy(Out, FHead.data() + Offset, static_cast<size_t>(Len));
      return true;
    }
    FS.Seek(FStart + Offset, TSeekOrigin::soBeginning);
    return FS.Read(Out, Len) == Len;
  }

 private:
  const std::vector<uint8_t>& FHead;
  int64_t FHeadLen;
  TStream& FS;
  int64_t FStart;
  int64_t FLen;
};

// The most chunks looked at before "data": a file of nothing but empty chunks
// must not keep the reader busy for minutes.
constexpr int MaxChunksBeforeData = 100000;

// The header scan: "fmt " comes first, then for anything but PCM a "fact"
// chunk, then "data"; other chunks are passed over, through the whole file.
// From Wave (just past "WAVE"), chunks follow each other by their stored
// sizes, with a pad byte after an odd size when Padded. In a 64-bit form,
// Wide holds the sizes of its "ds64" chunk, which stand for the 32-bit fields
// of all ones.
TWaveHeader WalkChunks(const THeaderBytes& B, int64_t Wave, bool Padded, const TDs64* Wide) {
  int64_t Next = Wave;
  int Chunks = 0;
  // The next chunk named Name; false when the walk runs out first.
  auto Find = [&](const char* Name, TChunk& C, uint8_t* NameBytes) {
    uint8_t Hd[8];
    while (Chunks++ < MaxChunksBeforeData && B.Read(Next, Hd, 8)) {
      std::memcpy(NameBytes, Hd, 4);
      C.Name = NameBytes;
      C.Size = GetLe32(Hd + 4);
      C.At = Next;
      C.Body = Next + 8;
      Next = C.Body + C.Size + (Padded ? (C.Size & 1) : 0);
      if (SameChunkName(Hd, Name)) return true;
    }
    return false;
  };
  TChunk C;
  uint8_t Name[4];
  if (!Find("fmt ", C, Name)) return {};
  TWaveHeader H;
  // A body not wholly inside the stream has been cut short.
  if (C.Body + C.Size > B.Length()) return {};
  // The fields read take at most the MS table of 32 pairs.
  std::vector<uint8_t> Fmt(std::min<uint32_t>(C.Size, 22 + 4 * MaxMsCoefficients));
  if (!B.Read(C.Body, Fmt.data(), static_cast<int64_t>(Fmt.size()))) return {};
  if (!DecodeFmt(Fmt.data(), C.Size, H)) return {};
  if (H.Type != wtPCM) {
    if (!Find("fact", C, Name)) return {};
    uint8_t Fact[4];
    if (C.Size >= 4 && B.Read(C.Body, Fact, 4)) H.FactSamples = GetLe32(Fact);
    if (Wide && H.FactSamples == MaxSizeField)
      H.FactSamples = static_cast<int64_t>(std::min<uint64_t>(Wide->SampleCount, INT64_MAX));
  }
  if (!Find("data", C, Name)) return {};
  H.DataOffset = C.Body;
  H.DataSize = C.Size;
  H.DataSizeKnown = C.Size != MaxSizeField;
  if (Wide && !H.DataSizeKnown) {
    H.DataSize = static_cast<int64_t>(std::min<uint64_t>(Wide->DataSize, INT64_MAX));
    H.DataSizeKnown = true;
  }
  H.Found = true;
  return H;
}

// The form is looked for in the first bytes (Head, HeadLen of them as read,
// junk in front passed over); the chunks are then walked with the pad byte
// honoured, and, for files whose writers left it out, without it.
TWaveHeader ScanHeader(const std::vector<uint8_t>& Head, int64_t HeadLen, const THeaderBytes& B) {
  TChunkWalk Walk(Head.data(), static_cast<int64_t>(Head.size()), TWaveIn::HeaderScanLimit - 5);
  if (!Walk.FindForm()) return {};
  const int64_t Wave = Walk.RiffAt() >= 0 ? Walk.FormEnd() : -1;
  if (Wave < 0 || Wave > HeadLen) return {};
  // A 64-bit form has its "ds64" chunk first; without one its size fields of
  // all ones are taken as unknown sizes.
  TDs64 Ds64;
  bool HaveDs64 = false;
  if (Walk.Wide() && Wave + 8 <= HeadLen && SameChunkName(Head.data() + Wave, "ds64")) {
    const uint32_t Size = GetLe32(Head.data() + Wave + 4);
    HaveDs64 = Wave + 8 + 24 <= HeadLen && GetDs64(Head.data() + Wave + 8, Size, Ds64);
  }
  const TDs64* Wide = HaveDs64 ? &Ds64 : nullptr;
  const TWaveHeader H = WalkChunks(B, Wave, true, Wide);
  return H.Found ? H : WalkChunks(B, Wave, false, Wide);
}

// Frames a piece of Bytes bytes of an ADPCM block decodes to.
int AdpcmFrames(TWavType Type, int Bytes, int Channels, int SamplesPerBlock) {
  return Type == wtDVIADPCM ? ImaDecodedFrames(Bytes, Channels)
                            : MsDecodedFrames(Bytes, Channels, SamplesPerBlock);
}

}  // namespace

TWaveIn::TWaveIn(TComponent* AOwner) : TACSFileIn(AOwner) {}

TWavType TWaveIn::WavType() {
  return Query([this] { return FWavType; });
}

void TWaveIn::OpenFile() {
  std::lock_guard<std::recursive_mutex> L(FFileLock);
  if (FOpened == 0) {
    // An image left behind by a Reset in the middle of a job goes first.
    CloseAcmImage();
    if (!FStreamAssigned) {
      FOwnStream = std::make_unique<TFileStream>(FFileName, TFileMode::fmOpenRead);
      FStream = FOwnStream.get();
    }
    try {
      ReadHeader();
    } catch (...) {
      if (!FStreamAssigned) {
        FOwnStream.reset();
        FStream = nullptr;
      }
      throw;
    }
  }
  // Valid and the format fields change only here, at the outermost open: a
  // query during a job reports what the job's own open found.
  ++FOpened;
}

void TWaveIn::CloseFile() {
  std::lock_guard<std::recursive_mutex> L(FFileLock);
  if (FOpened == 1) {
    CloseAcmImage();
    if (FStreamAssigned) {
      if (FSeekable && FStream) FStream->Seek(0, TSeekOrigin::soBeginning);
    } else {
      FOwnStream.reset();
      FStream = nullptr;
    }
  }
  if (FOpened > 0) --FOpened;
}

void TWaveIn::ReadHeader() {
  FWavType = wtUnsupported;
  FValid = false;
  FBPS = FChan = FSR = 0;
  FTotalSamples = 0;
  FDeclaredSamples = 0;
  FSkipFrames = 0;
  FSize = 0;
  FDataOffset = FDataEnd = 0;
  FBlockAlign = FSamplesPerBlock = FFramesPerBlock = 0;
  FCoefficients = TMsCoefficients{};

  const int64_t Start = FStream->Position();
  const int64_t StreamLen = std::max<int64_t>(0, FStream->Size() - Start);
  // The scan never needs a byte past the limit plus one chunk header.
  std::vector<uint8_t> Head(
      static_cast<size_t>(std::min<int64_t>(StreamLen, HeaderScanLimit + 16)));
  const int64_t HeadLen = FStream->Read(Head.data(), static_cast<int64_t>(Head.size()));
  const TWaveHeader H =
      ScanHeader(Head, HeadLen, THeaderBytes(Head, HeadLen, *FStream, Start, StreamLen));
  if (!H.Found) return;

  FWavType = H.Type;
  FChan = H.Channels;
  FSR = H.Rate;
  FBPS = H.Bits;
  FDataOffset = Start + H.DataOffset;
  // All ones (outside a 64-bit form): a writer that did not know the length,
  // or had more than the field holds; the data then runs to the end of the
  // stream.
  const int64_t Declared = H.DataSizeKnown ? H.DataSize : INT64_MAX;
  const int64_t DataBytes = std::clamp<int64_t>(StreamLen - H.DataOffset, 0, Declared);
  FDataEnd = FDataOffset + DataBytes;
  FStream->Seek(FDataOffset, TSeekOrigin::soBeginning);

  if (H.FmtShort || FChan < 1 || FChan > 2) return;
  switch (FWavType) {
    case wtPCM: {
      if (FBPS != 8 && FBPS != 16 && FBPS != 24) return;
      const int Frame = FChan * FBPS / 8;
      // Only whole frames count; a "data" size past the end counts what is there.
      FTotalSamples = DataBytes / Frame;
      FDeclaredSamples = H.DataSizeKnown ? H.DataSize / Frame : FTotalSamples;
      FSize = static_cast<int64_t>(FTotalSamples) * Frame;
      FValid = true;
      return;
    }
    case wtDVIADPCM:
    case wtMSADPCM: {
      if (FWavType == wtDVIADPCM && FBPS != 4) {
        FBPS = 16;
        return;
      }
      FBPS = 16;
      if (H.TooManyPairs) return;
      FBlockAlign = H.BlockAlign;
      FSamplesPerBlock = H.SamplesPerBlock;
      FCoefficients = H.Coefficients;
      FFramesPerBlock = AdpcmFrames(FWavType, FBlockAlign, FChan, FSamplesPerBlock);
      if (FFramesPerBlock < 1) return;  // the block cannot hold its own header
      if (FFramesPerBlock * FChan * 2 > BufferSize) return;
      if (FWavType == wtMSADPCM) {
        if (FCoefficients.Count < 1 || FSamplesPerBlock < 2) return;
        // The header's samples per block must fit in the block.
        const int Coded = FChan == 1 ? (FSamplesPerBlock - 2) & ~1 : FSamplesPerBlock - 2;
        if (FFramesPerBlock != 2 + Coded) return;
      }
      // A "fact" count past what the blocks carry counts only what is there.
      const int64_t Rest = DataBytes % FBlockAlign;
      const int64_t Capacity =
          DataBytes / FBlockAlign * FFramesPerBlock +
          (Rest ? AdpcmFrames(FWavType, static_cast<int>(Rest), FChan, FSamplesPerBlock) : 0);
      FTotalSamples = std::min<int64_t>(H.FactSamples, Capacity);
      FDeclaredSamples = H.FactSamples;
      FSize = static_cast<int64_t>(FChan) * FTotalSamples * 2;
      FBlock.resize(static_cast<size_t>(FBlockAlign));
      FValid = true;
      return;
    }
    case wtACM:
      FValid = OpenAcmImage(Start);
      return;
    case wtUnsupported:
      return;
  }
}

bool TWaveIn::OpenAcmImage(int64_t Start) {
  // Whatever happens, the file stays an MPEG one to the caller.
  struct TKeepType {
    TWaveIn* Self;
    ~TKeepType() { Self->FWavType = wtACM; }
  } KeepType{this};
  try {
    auto Image = std::make_unique<TMemoryStream>();
    {
      TWaveConverter Converter;
      FStream->Seek(Start, TSeekOrigin::soBeginning);
      if (!Converter.LoadWave(*FStream)) return false;
      TWaveFormatEx* Target = Converter.TargetFormat();
      *Target = TWaveFormatEx{};
      Target->FormatTag = 1;
      if (acmFormatSuggest(nullptr, Converter.SourceFormat(), Target,
                           TWaveConverter::FormatBlockSize, kAcmSuggestFormatTag) != kAcmNoError)
        return false;
      // Not a single frame decoded is not an MPEG file.
      if (Converter.Convert() != kAcmNoError || Converter.Size() == 0) return false;
      if (Converter.SaveWave(*Image) != kAcmNoError) return false;
    }
    Image->SetPosition(0);
    FAcmReplaced = FStream;
    FAcmImage = std::move(Image);
    FStream = FAcmImage.get();
    try {
      ReadHeader();
    } catch (...) {
      CloseAcmImage();
      throw;
    }
    // The image is a PCM file written here: anything else means the
    // conversion produced nothing usable.
    if (!FValid || FWavType != wtPCM) {
      CloseAcmImage();
      return false;
    }
    return true;
  } catch (const std::exception&) {
    // A failed conversion makes the file invalid; the file itself stays the
    // source stream until it is closed.
    FValid = false;
    return false;
  }
}

void TWaveIn::CloseAcmImage() {
  if (!FAcmImage) return;
  FStream = FAcmReplaced;
  FAcmReplaced = nullptr;
  FAcmImage.reset();
}

void TWaveIn::Init() {
  std::lock_guard<std::recursive_mutex> L(FFileLock);
  FSkipFrames = 0;  // set again by the Seek to a start inside a block
  TACSFileIn::Init();
}

int64_t TWaveIn::DeclaredSampleCount() {
  return Query([this] { return FValid && FWavType != wtACM ? FDeclaredSamples : FTotalSamples; });
}

int TWaveIn::GetData(void* Buffer, int BufferSize) {
  if (!FBusy) throw EACSException("The Stream is not opened");
  if (BufferSize <= 0) return 0;
  // An ADPCM range with an end stops at it; without one the last block goes
  // out whole, its padding included, as other decoders give it.
  const bool Cut = (FWavType == wtDVIADPCM || FWavType == wtMSADPCM) && FEndSample != -1;
  if (Cut && FPosition.load() >= FSize.load()) FBufEnd = FBufStart - 1;
  if (FBufEnd < FBufStart && !Refill()) return 0;
  int N = std::min(BufferSize, FBufEnd - FBufStart + 1);
  // A block decoded means the range was not over (Refill may have started
  // it again, with Loop).
  if (Cut) N = static_cast<int>(std::min<int64_t>(N, FSize.load() - FPosition.load()));
  std::memcpy(Buffer, reinterpret_cast<const uint8_t*>(FBuffer.data()) + (FBufStart - 1),
              static_cast<size_t>(N));
  FBufStart += N;
  FPosition += N;
  return N;
}

bool TWaveIn::Refill() {
  if (!FValid) return false;
  // With Loop the job starts over once; an empty range would otherwise spin
  // here for ever.
  for (int Attempt = 0; Attempt < 2; ++Attempt) {
    const int N = FWavType == wtPCM || FWavType == wtACM ? ReadPcm() : DecodeBlock();
    if (N > 0) {
      FBufStart = 1;
      FBufEnd = N;
      // The first block after a Seek into it starts at the frame asked for.
      const int Skip = FSkipFrames * FChan * 2;
      FSkipFrames = 0;
      if (Skip < N) {
        FBufStart += Skip;
        return true;
      }
      --Attempt;  // a short last block ends before the frame: try the next one
      continue;
    }
    if (!FLoop || Attempt == 1) break;
    Flush();
    Init();
    if (!FValid) break;
  }
  FBufStart = 1;
  FBufEnd = 0;
  return false;
}

int TWaveIn::ReadPcm() {
  const int64_t Left = std::min(FDataEnd - FStream->Position(), FSize.load() - FPosition.load());
  const int64_t Want = std::min<int64_t>(Left, BufferSize);
  if (Want <= 0) return 0;
  return static_cast<int>(FStream->Read(FBuffer.data(), Want));
}

int TWaveIn::DecodeBlock() {
  // The end is checked only between blocks: a decoded block goes out whole.
  if (FPosition.load() >= FSize.load()) return 0;
  const int64_t Want = std::min<int64_t>(FDataEnd - FStream->Position(), FBlockAlign);
  if (Want <= 0) return 0;
  const int Got = static_cast<int>(FStream->Read(FBlock.data(), Want));
  const int Frames = FWavType == wtDVIADPCM
                         ? DecodeImaBlock(FBlock.data(), Got, FChan, FBuffer.data())
                         : DecodeMsBlock(FBlock.data(), Got, FChan, FSamplesPerBlock, FCoefficients,
                                         FBuffer.data());
  return Frames * FChan * 2;
}

bool TWaveIn::Seek(int64_t SampleNumber) {
  std::lock_guard<std::recursive_mutex> L(FFileLock);
  if (!FSeekable) return false;
  OpenFile();
  struct Closer {
    TWaveIn* Self;
    ~Closer() { Self->CloseFile(); }
  } C{this};
  if (!FValid || SampleNumber < 0) return false;
  int64_t Pos;
  switch (FWavType) {
    case wtPCM:
    case wtACM:
      Pos = SampleNumber * (FBPS / 8) * FChan + FDataOffset;
      break;
    case wtDVIADPCM:
    case wtMSADPCM:
      // The start of the block that holds the frame; its frames before the
      // one asked for are dropped when it is decoded.
      Pos = SampleNumber / FFramesPerBlock * FBlockAlign + FDataOffset;
      FSkipFrames = static_cast<int>(SampleNumber % FFramesPerBlock);
      break;
    default:
      return false;
  }
  FStream->Seek(Pos, TSeekOrigin::soBeginning);
  return true;
}
