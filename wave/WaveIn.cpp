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
  uint32_t FactSamples = 0;
  int64_t DataOffset = 0;  // from the scan's start
  uint32_t DataSize = 0;
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

// The header scan over the first bytes of a stream: Head holds them, HeadLen
// of them as read (the rest are zero). "fmt " comes first, then for anything
// but PCM a "fact" chunk, then "data"; other chunks are passed over.
TWaveHeader ScanHeader(const std::vector<uint8_t>& Head, int64_t HeadLen) {
  // The scan takes a chunk name only while it ends before the limit, so the
  // last chunk it looks at starts 5 bytes short of it.
  TChunkWalk Walk(Head.data(), static_cast<int64_t>(Head.size()), TWaveIn::HeaderScanLimit - 5);
  TChunk C;
  if (!Walk.FindForm() || !Walk.Find("fmt ", C)) return {};
  TWaveHeader H;
  // A body not wholly inside the head reaches past the scan limit or the end
  // of the stream: the scan would give up after it anyway.
  if (C.Body + C.Size > HeadLen) return {};
  if (!DecodeFmt(Head.data() + C.Body, C.Size, H)) return {};
  if (H.Type != wtPCM) {
    if (!Walk.Find("fact", C)) return {};
    if (C.Size >= 4 && C.Body + 4 <= HeadLen) H.FactSamples = GetLe32(Head.data() + C.Body);
  }
  if (!Walk.Find("data", C)) return {};
  H.DataOffset = C.Body;
  H.DataSize = C.Size;
  H.Found = true;
  return H;
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
  const TWaveHeader H = ScanHeader(Head, HeadLen);
  if (!H.Found) return;

  FWavType = H.Type;
  FChan = H.Channels;
  FSR = H.Rate;
  FBPS = H.Bits;
  FDataOffset = Start + H.DataOffset;
  // All ones: a writer that did not know the length, or had more than the
  // field holds; the data then runs to the end of the stream.
  const int64_t Declared = H.DataSize == 0xFFFFFFFFu ? INT64_MAX : int64_t{H.DataSize};
  const int64_t DataBytes = std::clamp<int64_t>(StreamLen - H.DataOffset, 0, Declared);
  FDataEnd = FDataOffset + DataBytes;
  FStream->Seek(FDataOffset, TSeekOrigin::soBeginning);

  if (H.FmtShort || FChan < 1 || FChan > 2) return;
  switch (FWavType) {
    case wtPCM: {
      if (FBPS != 8 && FBPS != 16) return;
      const int Frame = FChan * FBPS / 8;
      // Only whole frames count; a "data" size past the end counts what is there.
      FTotalSamples = DataBytes / Frame;
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

int TWaveIn::GetData(void* Buffer, int BufferSize) {
  if (!FBusy) throw EACSException("The Stream is not opened");
  if (BufferSize <= 0) return 0;
  if (FBufEnd < FBufStart && !Refill()) return 0;
  const int N = std::min(BufferSize, FBufEnd - FBufStart + 1);
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
      return true;
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
      // The start of the block that holds the frame.
      Pos = SampleNumber / FFramesPerBlock * FBlockAlign + FDataOffset;
      break;
    default:
      return false;
  }
  FStream->Seek(Pos, TSeekOrigin::soBeginning);
  return true;
}
