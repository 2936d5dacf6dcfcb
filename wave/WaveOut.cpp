#include "wave/WaveOut.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "wave/AdpcmCodec.h"

static_assert(std::endian::native == std::endian::little,
              "WAVE samples are little-endian and are moved without swapping");

namespace {

constexpr int CopyBufferSize = 16384;
constexpr int PcmHeaderSize = 44;
constexpr int ImaHeaderSize = 60;
// The "data" chunk of a file we append to must start within this many bytes.
constexpr int64_t HeaderScanLimit = 8192;

void Put16(uint8_t* P, uint32_t V) {
  P[0] = static_cast<uint8_t>(V);
  P[1] = static_cast<uint8_t>(V >> 8);
}

void Put32(uint8_t* P, uint32_t V) {
  for (int I = 0; I < 4; ++I) P[I] = static_cast<uint8_t>(V >> (8 * I));
}

uint16_t Get16(const uint8_t* P) { return static_cast<uint16_t>(P[0] | P[1] << 8); }

uint32_t Get32(const uint8_t* P) {
  return P[0] | P[1] << 8 | P[2] << 16 | static_cast<uint32_t>(P[3]) << 24;
}

// A size field holds 32 bits; anything larger is written as the largest value.
uint32_t SizeField(int64_t V) {
  if (V < 0) return 0;
  return V > 0xFFFFFFFFll ? 0xFFFFFFFFu : static_cast<uint32_t>(V);
}

void WriteField32(TStream& S, int64_t Offset, uint32_t V) {
  uint8_t B[4];
  Put32(B, V);
  S.SetPosition(Offset);
  S.WriteBuffer(B, 4);
}

// Chunk names match when each byte is equal or differs by exactly 32, which
// makes letter case irrelevant ("data", "DATA").
bool SameName(const uint8_t* P, const char* Name) {
  for (int I = 0; I < 4; ++I) {
    const int D = P[I] - static_cast<uint8_t>(Name[I]);
    if (D != 0 && D != 32 && D != -32) return false;
  }
  return true;
}

// What the header of a file we append to says, and where its fields lie.
struct TExistingHeader {
  TWavType Type = wtUnsupported;
  int Channels = 0;
  int Rate = 0;
  int Bits = 0;
  int BlockAlign = 0;
  int SamplesPerBlock = -1;  // IMA, when the format chunk carries it
  int64_t RiffSizeOffset = 0;
  int64_t FactOffset = -1;
  uint32_t DataSize = 0;
  int64_t DataSizeOffset = 0;
  int64_t DataStart = 0;
};

// Finds "RIFF" and "WAVE" by sliding one byte at a time, then walks the chunks:
// "fmt " first, for IMA ADPCM a "fact" chunk next, then "data", skipping any
// other chunk by its stored size (no pad bytes). Every chunk header looked at
// must lie in the file and within the first HeaderScanLimit bytes, and every
// field read must lie inside its chunk; anything else leaves the type
// wtUnsupported. Never reads past what it loaded.
TExistingHeader ScanExistingHeader(TStream& S) {
  TExistingHeader H;
  // Room for a chunk header just below the limit plus the format fields read.
  std::vector<uint8_t> Buf(static_cast<size_t>(HeaderScanLimit + 64));
  S.SetPosition(0);
  const int64_t N = S.Read(Buf.data(), static_cast<int64_t>(Buf.size()));
  const int64_t Window = std::min(N, HeaderScanLimit);  // where names may be looked at
  const uint8_t* B = Buf.data();

  auto Slide = [&](int64_t From, const char* Name) -> int64_t {
    for (int64_t I = From; I + 4 <= Window; ++I)
      if (SameName(B + I, Name)) return I;
    return -1;
  };
  const int64_t Riff = Slide(0, "RIFF");
  if (Riff < 0) return H;
  const int64_t Wave = Slide(Riff + 8, "WAVE");
  if (Wave < 0) return H;
  H.RiffSizeOffset = Riff + 4;

  enum { sFmt, sFact, sData } State = sFmt;
  TWavType Type = wtUnsupported;
  int64_t Q = Wave + 4;
  while (Q + 8 <= Window) {
    const uint8_t* Name = B + Q;
    const int64_t Size = Get32(B + Q + 4);
    const int64_t Body = Q + 8;
    if (State == sFmt && SameName(Name, "fmt ")) {
      if (Size < 16 || Body + 16 > N) return H;
      const uint16_t Tag = Get16(B + Body);
      if (Tag == 1)
        Type = wtPCM;
      else if (Tag == 17)
        Type = wtDVIADPCM;
      else
        return H;
      H.Channels = Get16(B + Body + 2);
      H.Rate = static_cast<int>(std::min<uint32_t>(Get32(B + Body + 4), 0x7FFFFFFF));
      H.BlockAlign = Get16(B + Body + 12);
      H.Bits = Get16(B + Body + 14);
      if (Type == wtDVIADPCM && Size >= 20 && Body + 20 <= N) H.SamplesPerBlock = Get16(B + Body + 18);
      State = Type == wtPCM ? sData : sFact;
    } else if (State == sFact && SameName(Name, "fact")) {
      if (Size < 4 || Body + 4 > N) return H;
      H.FactOffset = Body;
      State = sData;
    } else if (State == sData && SameName(Name, "data")) {
      H.DataSize = static_cast<uint32_t>(Size);
      H.DataSizeOffset = Q + 4;
      H.DataStart = Body;
      H.Type = Type;
      return H;
    }
    Q = Body + Size;
  }
  return H;
}

}  // namespace

// ---------------------------------------------------------------- settings

TWaveOut::TWaveOut(TComponent* AOwner) : TACSFileOut(AOwner) {}

TWaveOut::~TWaveOut() = default;

void TWaveOut::SetWavType(TWavType Value) {
  if (Busy()) return;
  if (Value == wtPCM || Value == wtDVIADPCM) FWavType = Value;
}

void TWaveOut::SetBlockSize(int Value) {
  if (Busy()) return;
  if (Value <= 0 || Value % 4 != 0 || Value > MaxImaBlockSize) return;
  FBlockSize = static_cast<uint16_t>(Value);
}

void TWaveOut::SetFileMode(TFileOutputMode Value) { FFileMode = Value; }

void TWaveOut::BeforeDestruction() {
  TACSFileOut::BeforeDestruction();  // the worker has ended after this
  if (FBusy) {
    try {
      Done();
    } catch (...) {
      // Destruction has no caller to report to; the file is closed anyway.
    }
    FActive = false;
    FBusy = false;
  }
}

// ---------------------------------------------------------------- Prepare

void TWaveOut::Prepare() {
  FEndOfInput = false;
  FFactOffset = -1;
  if (FFileName.empty()) throw EACSException("File name is not assigned.");

  // The input is opened before the output so that everything that can refuse
  // the job is known before an existing file is replaced or changed.
  TACSInput* In = Input();
  In->Init();
  FInputOpen = true;
  try {
    const int Bits = In->InBitsPerSample();
    const int Channels = In->InChannels();
    const int Rate = In->InSampleRate();
    // A source that could not make sense of its file (a reader that marks
    // itself not valid and delivers nothing) has no format to describe: a
    // header with 0 channels would be a lie, so the job is refused.
    if (Channels < 1 || Rate < 1 || Bits < 8 || Bits % 8 != 0)
      throw EACSException("The source holds no audio that a .wav file can take (" +
                          std::to_string(Bits) + " bits, " + std::to_string(Channels) +
                          " channels, " + std::to_string(Rate) + " Hz).");
    if (FFileMode == foAppend && FileExists(FFileName)) {
      FFile = std::make_unique<TFileStream>(FFileName, TFileMode::fmOpenReadWrite);
      FStream = FFile.get();
      if (FFile->Size() > 0)
        PrepareAppend(Bits, Channels, Rate);
      else
        PrepareNew(Bits, Channels, Rate, In->Size());
    } else {
      PrepareNew(Bits, Channels, Rate, In->Size());
    }
    FChannels = Channels;
    FStepIndex[0] = FStepIndex[1] = 0;
    if (FJobType == wtDVIADPCM) {
      FPcmBlock.assign(static_cast<size_t>(FSamplesPerBlock) * Channels, 0);
      FAdpcmBlock.assign(static_cast<size_t>(FJobBlockSize), 0);
    } else {
      FCopyBuffer.resize(CopyBufferSize);
    }
  } catch (...) {
    // Nothing of the job may stay open: the file closes untouched and the
    // input goes back to idle.
    FFile.reset();
    FStream = nullptr;
    FInputOpen = false;
    try {
      In->Flush();
    } catch (...) {
      // The failure being raised is the cause; this one is its echo.
    }
    throw;
  }
}

void TWaveOut::PrepareNew(int Bits, int Channels, int Rate, int64_t InputSize) {
  const TWavType Type = FWavType.load();
  const int BlockSize = FBlockSize.load();
  std::vector<uint8_t> H;
  if (Type == wtDVIADPCM) {
    if (Bits != 16) throw EACSException("Cannot encode 8 bit sound into ADPCM.");
    if (Channels != 1 && Channels != 2)
      throw EACSException("Cannot encode more than 2 channels into ADPCM.");
    if (!ImaBlockLayoutValid(BlockSize, Channels))
      throw EACSException("Block size does not fit stereo ADPCM.");
    const int Spb = ImaSamplesPerBlock(BlockSize, Channels);
    // Frames and the blocks that hold them; the last block is padded with
    // silence, so a partial block counts as a whole one. Done corrects both
    // to what was really written.
    const int64_t Frames = InputSize < 0 ? -1 : InputSize / (Bits / 8) / Channels;
    const int64_t DataSize = Frames < 0 ? -1 : (Frames + Spb - 1) / Spb * BlockSize;
    H.assign(ImaHeaderSize, 0);
    std::memcpy(&H[0], "RIFF", 4);
    Put32(&H[4], DataSize < 0 ? 0xFFFFFFFFu : SizeField(DataSize + 52));
    std::memcpy(&H[8], "WAVEfmt ", 8);
    Put32(&H[16], 20);
    Put16(&H[20], 17);
    Put16(&H[22], static_cast<uint32_t>(Channels));
    Put32(&H[24], static_cast<uint32_t>(Rate));
    Put32(&H[28], static_cast<uint32_t>(Rate / Spb * BlockSize));
    Put16(&H[32], static_cast<uint32_t>(BlockSize));
    Put16(&H[34], 4);
    Put16(&H[36], 2);
    Put16(&H[38], static_cast<uint32_t>(Spb));
    std::memcpy(&H[40], "fact", 4);
    Put32(&H[44], 4);
    Put32(&H[48], Frames < 0 ? 0 : SizeField(Frames));
    std::memcpy(&H[52], "data", 4);
    Put32(&H[56], DataSize < 0 ? 0xFFFFFFFFu : SizeField(DataSize));
    FSamplesPerBlock = Spb;
    FJobBlockSize = BlockSize;
    FFactOffset = 48;
    FDataSizeOffset = 56;
  } else {
    const int Align = Bits * Channels / 8;
    H.assign(PcmHeaderSize, 0);
    std::memcpy(&H[0], "RIFF", 4);
    Put32(&H[4], InputSize < 0 ? 0xFFFFFFFFu : SizeField(InputSize + 36));
    std::memcpy(&H[8], "WAVEfmt ", 8);
    Put32(&H[16], 16);
    Put16(&H[20], 1);
    Put16(&H[22], static_cast<uint32_t>(Channels));
    Put32(&H[24], static_cast<uint32_t>(Rate));
    Put32(&H[28], static_cast<uint32_t>(Rate) * static_cast<uint32_t>(Align));
    Put16(&H[32], static_cast<uint32_t>(Align));
    Put16(&H[34], static_cast<uint32_t>(Bits));
    std::memcpy(&H[36], "data", 4);
    Put32(&H[40], InputSize < 0 ? 0xFFFFFFFFu : SizeField(InputSize));
    FDataSizeOffset = 40;
  }
  // Every check has passed: only now is an existing file replaced.
  if (!FFile) {
    FFile = std::make_unique<TFileStream>(FFileName, TFileMode::fmCreate);
    FStream = FFile.get();
  }
  FFile->SetPosition(0);
  FFile->WriteBuffer(H.data(), static_cast<int64_t>(H.size()));
  FJobType = Type;
  FRiffSizeOffset = 4;
  FDataStart = static_cast<int64_t>(H.size());
  FJobStart = FDataStart;
}

void TWaveOut::PrepareAppend(int Bits, int Channels, int Rate) {
  static const char* const CannotAppend = "Cannot append data to this .wav file.";
  static const char* const OtherFormat = "Cannot append data in different audio format.";
  const TExistingHeader H = ScanExistingHeader(*FFile);
  if (H.Type != wtPCM && H.Type != wtDVIADPCM) throw EACSException(CannotAppend);

  // Where the samples end. A size field of all ones, or one that runs past the
  // end of the file, belongs to a file whose writer never finished it: its
  // samples run to the end of the file.
  const int64_t Length = FFile->Size();
  int64_t DataEnd = H.DataStart + H.DataSize;
  if (H.DataSize == 0xFFFFFFFFu || DataEnd > Length) DataEnd = Length;
  // Other chunks after the samples would end up inside them; only the pad
  // byte of an odd-sized chunk may follow (it is cut before appending).
  const int64_t Trailing = Length - DataEnd;
  if (Trailing > 1 || (Trailing == 1 && (H.DataSize & 1) == 0)) throw EACSException(CannotAppend);
  const int64_t DataBytes = DataEnd - H.DataStart;

  if (H.Type == wtPCM) {
    const int Align = H.Bits * H.Channels / 8;
    if (H.Bits < 8 || H.Bits % 8 != 0 || Align <= 0 || DataBytes % Align != 0)
      throw EACSException(CannotAppend);
    if (Bits != H.Bits || Channels != H.Channels || Rate != H.Rate) throw EACSException(OtherFormat);
  } else {
    // The blocks are continued as they are: they must be laid out as this
    // writer lays out its own, and the old samples must end on a block.
    const int Spb = ImaSamplesPerBlock(H.BlockAlign, H.Channels);
    if (H.Bits != 4 || Spb == 0 || (H.SamplesPerBlock >= 0 && H.SamplesPerBlock != Spb) ||
        DataBytes % H.BlockAlign != 0)
      throw EACSException(CannotAppend);
    if (Bits != 16) throw EACSException("Cannot encode 8 bit sound into ADPCM.");
    if (Channels != H.Channels || Rate != H.Rate) throw EACSException(OtherFormat);
    FSamplesPerBlock = Spb;
    FJobBlockSize = H.BlockAlign;
    FFactOffset = H.FactOffset;
    FBlockSize = static_cast<uint16_t>(H.BlockAlign);
  }
  FWavType = H.Type;
  FJobType = H.Type;
  FRiffSizeOffset = H.RiffSizeOffset;
  FDataSizeOffset = H.DataSizeOffset;
  FDataStart = H.DataStart;
  if (Trailing) FFile->SetSize(DataEnd);
  FFile->SetPosition(DataEnd);
  FJobStart = DataEnd;
}

// ---------------------------------------------------------------- steps

bool TWaveOut::DoOutput(bool Abort) {
  if (!FActive) return true;
  ReportProgress();
  if (Abort || FEndOfInput || !FFile) return false;
  if (FJobType == wtDVIADPCM) return EncodeStep();
  const int N = ReadInput(FCopyBuffer.data(), CopyBufferSize);
  if (N <= 0) return false;
  FFile->WriteBuffer(FCopyBuffer.data(), N);
  return true;
}

bool TWaveOut::EncodeStep() {
  std::fill(FPcmBlock.begin(), FPcmBlock.end(), 0);
  auto* P = reinterpret_cast<uint8_t*>(FPcmBlock.data());
  const int Need = static_cast<int>(FPcmBlock.size() * sizeof(int16_t));
  int Got = 0;
  while (Got < Need) {
    const int N = ReadInput(P + Got, Need - Got);
    if (N <= 0) {
      FEndOfInput = true;
      break;
    }
    Got += N;
  }
  // An input that ended exactly on a block leaves nothing to encode: a block
  // of pure padding would only lengthen the file with silence.
  if (Got == 0) return false;
  EncodeImaBlock(FPcmBlock.data(), FChannels, FJobBlockSize, FStepIndex, FAdpcmBlock.data());
  FFile->WriteBuffer(FAdpcmBlock.data(), FJobBlockSize);
  return true;
}

// ---------------------------------------------------------------- Done

void TWaveOut::PatchHeader() {
  int64_t Length = FFile->Size();
  if (FJobType == wtDVIADPCM) {
    // A block cut short by a failed write holds nothing a decoder could use.
    const int64_t Ours = std::max<int64_t>(0, Length - FJobStart);
    const int64_t Whole = Ours / FJobBlockSize * FJobBlockSize;
    if (Whole != Ours) {
      FFile->SetSize(FJobStart + Whole);
      Length = FJobStart + Whole;
    }
  }
  const int64_t DataSize = std::max<int64_t>(0, Length - FDataStart);
  WriteField32(*FFile, FDataSizeOffset, SizeField(DataSize));
  if (FJobType == wtDVIADPCM && FFactOffset >= 0)
    WriteField32(*FFile, FFactOffset,
                 SizeField(DataSize / FJobBlockSize * static_cast<int64_t>(FSamplesPerBlock)));
  WriteField32(*FFile, FRiffSizeOffset, SizeField(Length - FRiffSizeOffset - 4));
}

void TWaveOut::CloseJob() {
  FFile.reset();
  FStream = nullptr;
  if (FInputOpen) {
    FInputOpen = false;
    if (TACSInput* In = Input()) In->Flush();
  }
}

void TWaveOut::Done() {
  if (FFile) {
    try {
      PatchHeader();
    } catch (...) {
      // The file still closes and the input is still flushed; the failure is
      // then reported.
      try {
        CloseJob();
      } catch (...) {
        // The header failure being raised is the cause.
      }
      throw;
    }
  }
  CloseJob();
}
