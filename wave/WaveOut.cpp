#include "wave/WaveOut.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "wave/AdpcmCodec.h"
#include "wave/RiffChunks.h"

static_assert(std::endian::native == std::endian::little,
              "WAVE samples are little-endian and are moved without swapping");

namespace {

constexpr int CopyBufferSize = 16384;
constexpr int ImaHeaderSize = 60;

// What the header of a file we append to says, and where its fields lie.
struct TExistingHeader {
  TWavType Type = wtUnsupported;
  int Channels = 0;
  int Rate = 0;
  int Bits = 0;
  int BlockAlign = 0;
  int SamplesPerBlock = -1;  // IMA, when the format chunk carries it
  int64_t RiffSizeOffset = 0;
  int64_t FormEnd = 0;      // just past "WAVE"
  int64_t Ds64Offset = -1;  // a 64-bit form's "ds64" chunk
  int64_t JunkOffset = -1;  // a "JUNK" chunk first after "WAVE" with room for one
  int64_t FactOffset = -1;
  int64_t DataSize = 0;
  bool DataSizeKnown = false;  // else the samples run to the end of the file
  int64_t DataSizeOffset = 0;
  int64_t DataStart = 0;
};

// Finds the form and walks the chunks (see TChunkWalk): "fmt " first, for IMA
// ADPCM a "fact" chunk next, then "data". Every chunk header looked at must lie
// in the file and within the first WaveHeaderScanLimit bytes, and every field
// read must lie inside its chunk; anything else leaves the type wtUnsupported.
// Never reads past what it loaded.
TExistingHeader ScanExistingHeader(TStream& S) {
  TExistingHeader H;
  // Room for a chunk header just below the limit plus the format fields read.
  std::vector<uint8_t> Buf(static_cast<size_t>(WaveHeaderScanLimit + 64));
  S.SetPosition(0);
  const int64_t N = S.Read(Buf.data(), static_cast<int64_t>(Buf.size()));
  const uint8_t* B = Buf.data();
  TChunkWalk Walk(B, N, WaveHeaderScanLimit - 8);
  if (!Walk.FindForm()) return H;
  H.RiffSizeOffset = Walk.RiffAt() + 4;
  H.FormEnd = Walk.FormEnd();

  // The first chunk: a 64-bit form's sizes, or room kept for them.
  TDs64 Ds64;
  const int64_t F = H.FormEnd;
  const bool HaveFirst = F + 8 <= N;
  const uint32_t FirstSize = HaveFirst ? GetLe32(B + F + 4) : 0;
  if (Walk.Wide()) {
    if (!HaveFirst || !SameChunkName(B + F, "ds64") || F + 8 + 24 > N ||
        !GetDs64(B + F + 8, FirstSize, Ds64))
      return H;
    H.Ds64Offset = F;
  } else if (HaveFirst && SameChunkName(B + F, "JUNK") && FirstSize >= Ds64ChunkSize - 8) {
    H.JunkOffset = F;
  }

  TChunk C;

  if (!Walk.Find("fmt ", C)) return H;
  if (C.Size < 16 || C.Body + 16 > N) return H;
  const uint16_t Tag = GetLe16(B + C.Body);
  TWavType Type;
  if (Tag == 1)
    Type = wtPCM;
  else if (Tag == 17)
    Type = wtDVIADPCM;
  else
    return H;
  H.Channels = GetLe16(B + C.Body + 2);
  H.Rate = static_cast<int>(std::min<uint32_t>(GetLe32(B + C.Body + 4), 0x7FFFFFFF));
  H.BlockAlign = GetLe16(B + C.Body + 12);
  H.Bits = GetLe16(B + C.Body + 14);
  if (Type == wtDVIADPCM) {
    if (C.Size >= 20 && C.Body + 20 <= N) H.SamplesPerBlock = GetLe16(B + C.Body + 18);
    if (!Walk.Find("fact", C)) return H;
    if (C.Size < 4 || C.Body + 4 > N) return H;
    H.FactOffset = C.Body;
  }
  if (!Walk.Find("data", C)) return H;
  H.DataSize = C.Size;
  H.DataSizeKnown = C.Size != MaxSizeField;
  if (H.Ds64Offset >= 0 && !H.DataSizeKnown) {
    H.DataSize = static_cast<int64_t>(std::min<uint64_t>(Ds64.DataSize, INT64_MAX));
    H.DataSizeKnown = true;
  }
  H.DataSizeOffset = C.At + 4;
  H.DataStart = C.Body;
  H.Type = Type;
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
  FFramesWritten = 0;
  FSizes = TWaveSizes{};
  if (FFileName.empty()) throw EACSException("File name is not assigned.");
  CheckInputFile();

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
    FFrameBytes = Channels * Bits / 8;
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
  const int64_t Limit = FSizeLimit.load();
  std::vector<uint8_t> H;
  bool Wide = false;
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
    PutLe32(&H[4], DataSize < 0 ? 0xFFFFFFFFu : SizeField(DataSize + 52));
    std::memcpy(&H[8], "WAVEfmt ", 8);
    PutLe32(&H[16], 20);
    PutLe16(&H[20], 17);
    PutLe16(&H[22], static_cast<uint32_t>(Channels));
    PutLe32(&H[24], static_cast<uint32_t>(Rate));
    PutLe32(&H[28], static_cast<uint32_t>(Rate / Spb * BlockSize));
    PutLe16(&H[32], static_cast<uint32_t>(BlockSize));
    PutLe16(&H[34], 4);
    PutLe16(&H[36], 2);
    PutLe16(&H[38], static_cast<uint32_t>(Spb));
    std::memcpy(&H[40], "fact", 4);
    PutLe32(&H[44], 4);
    PutLe32(&H[48], Frames < 0 ? 0 : SizeField(Frames));
    std::memcpy(&H[52], "data", 4);
    PutLe32(&H[56], DataSize < 0 ? 0xFFFFFFFFu : SizeField(DataSize));
    FSamplesPerBlock = Spb;
    FJobBlockSize = BlockSize;
    FSizes.FactOffset = 48;
    FSizes.DataSizeOffset = 56;
    Wide = DataSize + 52 > Limit || Frames > Limit;
  } else {
    H.assign(PcmHeaderSize, 0);
    PutPcmHeader(H.data(), Channels, Rate, Bits, InputSize);
    FSizes.DataSizeOffset = PcmDataSizeAt;
    Wide = InputSize + 36 > Limit;
  }
  if (Wide) {
    // A length known now to outgrow the 32-bit fields: the 64-bit form from
    // the start, its sizes written by Done.
    uint8_t D[Ds64ChunkSize];
    PutDs64Chunk(D, TDs64{});
    H.insert(H.begin() + FSizes.FormEnd, D, D + Ds64ChunkSize);
    std::memcpy(&H[0], "RF64", 4);
    PutLe32(&H[4], 0xFFFFFFFFu);
    FSizes.DataSizeOffset += Ds64ChunkSize;
    PutLe32(&H[static_cast<size_t>(FSizes.DataSizeOffset)], 0xFFFFFFFFu);
    if (FSizes.FactOffset >= 0) {
      FSizes.FactOffset += Ds64ChunkSize;
      PutLe32(&H[static_cast<size_t>(FSizes.FactOffset)], 0xFFFFFFFFu);
    }
    FSizes.Ds64Offset = FSizes.FormEnd;
  }
  // Every check has passed: only now is a file created. It takes the place of
  // an existing one when Done has made its header true.
  if (!FFile) {
    FFile = std::make_unique<TReplacementFile>(FFileName);
    FStream = FFile.get();
  }
  FFile->SetPosition(0);
  FFile->WriteBuffer(H.data(), static_cast<int64_t>(H.size()));
  FJobType = Type;
  FSizes.RiffSizeOffset = 4;
  FSizes.DataStart = static_cast<int64_t>(H.size());
  FJobStart = FSizes.DataStart;
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
  if (!H.DataSizeKnown || H.DataSize > Length || DataEnd > Length) DataEnd = Length;
  // Other chunks after the samples would end up inside them; only the pad
  // byte of an odd-sized chunk may follow (it is cut before appending).
  const int64_t Trailing = Length - DataEnd;
  if (Trailing > 1 || (Trailing == 1 && (H.DataSize & 1) == 0)) throw EACSException(CannotAppend);
  const int64_t DataBytes = DataEnd - H.DataStart;

  if (H.Type == wtPCM) {
    const int Align = H.Bits * H.Channels / 8;
    if (H.Bits < 8 || H.Bits % 8 != 0 || Align <= 0 || DataBytes % Align != 0)
      throw EACSException(CannotAppend);
    if (Bits != H.Bits || Channels != H.Channels || Rate != H.Rate)
      throw EACSException(OtherFormat);
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
    FSizes.FactOffset = H.FactOffset;
    FBlockSize = static_cast<uint16_t>(H.BlockAlign);
  }
  FWavType = H.Type;
  FJobType = H.Type;
  FSizes.RiffSizeOffset = H.RiffSizeOffset;
  FSizes.FormEnd = H.FormEnd;
  FSizes.Ds64Offset = H.Ds64Offset;
  FSizes.JunkOffset = H.JunkOffset;
  FSizes.DataSizeOffset = H.DataSizeOffset;
  FSizes.DataStart = H.DataStart;
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
  MakeRoom(N, 0);
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
  MakeRoom(FJobBlockSize, FactCount(FFile->Position()) + FSamplesPerBlock);
  FFile->WriteBuffer(FAdpcmBlock.data(), FJobBlockSize);
  // A frame the input delivered only in part still went into the block.
  const int FrameBytes = FChannels * static_cast<int>(sizeof(int16_t));
  FFramesWritten += (Got + FrameBytes - 1) / FrameBytes;
  return true;
}

void TWaveOut::MakeRoom(int64_t Bytes, int64_t Frames) {
  FJobStart += FSizes.MakeRoom(*FFile, Bytes, Frames, FSizeLimit.load());
}

int64_t TWaveOut::FactCount(int64_t Length) const {
  // The fact chunk counts the frames delivered, not the silence that pads
  // the last block. Blocks that were there before an append count whole:
  // their padding now lies inside the audio and is played.
  const int64_t Spb = FSamplesPerBlock;
  const int64_t Before = std::max<int64_t>(0, FJobStart - FSizes.DataStart) / FJobBlockSize * Spb;
  const int64_t Blocks = std::max<int64_t>(0, Length - FJobStart) / FJobBlockSize;
  return Before + std::min(FFramesWritten, Blocks * Spb);
}

// ---------------------------------------------------------------- Done

void TWaveOut::PatchHeader() {
  if (FSizes.HeaderLost)
    throw EACSException(FFileName +
                        ": the samples could not be moved to make room for the sizes "
                        "of a file past 4 GB");
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
  const int64_t DataSize = std::max<int64_t>(0, Length - FSizes.DataStart);
  const int64_t Frames =
      FJobType == wtDVIADPCM ? FactCount(Length) : DataSize / std::max(1, FFrameBytes);
  FSizes.Patch(*FFile, Length, Frames, FSizeLimit.load());
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
      // A new file replaces the target only now, stopped or failed or not:
      // its header tells what it holds. One whose header could not be made
      // true is dropped when it closes.
      if (auto* R = dynamic_cast<TReplacementFile*>(FFile.get())) R->Commit();
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
