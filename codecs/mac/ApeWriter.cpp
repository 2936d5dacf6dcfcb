#include "codecs/mac/ApeWriter.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace ape {

namespace {

constexpr uint16_t kVersion = 3990;
constexpr uint32_t kDescriptorBytes = 52;
constexpr uint32_t kHeaderBytes = 24;
constexpr uint16_t kFlagCreateWavHeader = 32;
constexpr size_t kOutFlushBytes = 1 << 20;
// A stored source header larger than this is not a header.
constexpr int64_t kMaxHeaderData = 16 << 20;
// Seek-table entries laid out up front at most; a larger table is made room
// for when the file is finished.
constexpr int64_t kMaxReservedEntries = 1 << 20;

void Put16(uint8_t* P, uint32_t V) {
  P[0] = static_cast<uint8_t>(V);
  P[1] = static_cast<uint8_t>(V >> 8);
}
void Put32(uint8_t* P, uint32_t V) {
  for (int I = 0; I < 4; ++I) P[I] = static_cast<uint8_t>(V >> (8 * I));
}

}  // namespace

TApeWriter::~TApeWriter() {
  if (FState == TState::Started || FState == TState::Failed) Discard();
}

int TApeWriter::Fail(int Code) {
  // The caller may ask errno why a write failed: removing the file must not
  // change it.
  const int Saved = errno;
  Discard();
  errno = Saved;
  FState = TState::Failed;
  FError = Code;
  return Code;
}

void TApeWriter::Discard() {
  if (FFd >= 0) {
    ::close(FFd);
    FFd = -1;
    ::unlink(FFileName.c_str());
  }
}

int TApeWriter::Start(const char* FileName, const APE_WAVEFORMATEX* Format, int64_t MaxAudioBytes,
                      int Level, const void* HeaderData, int64_t HeaderBytes) {
  if (FState != TState::Idle) return APE_ERROR_INVALID_FUNCTION_PARAMETER;
  if (!FileName || !*FileName || !Format) return APE_ERROR_INVALID_FUNCTION_PARAMETER;
  if (Format->wFormatTag != 1) return APE_ERROR_UNSUPPORTED_FILE_TYPE;
  const int Bits = Format->wBitsPerSample;
  const int Channels = Format->nChannels;
  if (Bits != 8 && Bits != 16 && Bits != 24) return APE_ERROR_INPUT_FILE_UNSUPPORTED_BIT_DEPTH;
  if (Channels != 1 && Channels != 2) return APE_ERROR_INPUT_FILE_UNSUPPORTED_CHANNEL_COUNT;
  if (Format->nSamplesPerSec == 0) return APE_ERROR_INPUT_FILE_UNSUPPORTED_SAMPLE_RATE;
  if (Level % 1000 != 0 || Level < 1000 || Level > 5000) return APE_ERROR_BAD_PARAMETER;
  // Decoders disagree about the arithmetic of loud 24-bit stereo at the
  // insane level; such a file could not be read back reliably.
  if (Bits == 24 && Channels == 2 && Level == 5000)
    return APE_ERROR_INPUT_FILE_UNSUPPORTED_BIT_DEPTH;
  FStoreHeader = HeaderData != nullptr && HeaderBytes > 0;
  if (FStoreHeader && HeaderBytes > kMaxHeaderData) return APE_ERROR_BAD_PARAMETER;

  FLevel = Level;
  FBits = Bits;
  FChannels = Channels;
  FRate = Format->nSamplesPerSec;
  FBlockAlign = Channels * Bits / 8;
  FBlocksPerFrame = BlocksPerFrameForLevel(Level);
  FHeaderData.clear();
  if (FStoreHeader) {
    const auto* H = static_cast<const uint8_t*>(HeaderData);
    FHeaderData.assign(H, H + HeaderBytes);
  }

  FReservedEntries = 0;
  if (MaxAudioBytes > 0) {
    const int64_t Blocks = MaxAudioBytes / FBlockAlign;
    const int64_t Frames = Blocks / FBlocksPerFrame + (Blocks % FBlocksPerFrame != 0 ? 1 : 0);
    FReservedEntries = std::clamp<int64_t>(Frames, 1, kMaxReservedEntries);
  }
  FDataStart = kDescriptorBytes + kHeaderBytes + 4 * FReservedEntries +
               static_cast<int64_t>(FHeaderData.size());

  FFileName = FileName;
  FFd = ::open(FileName, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (FFd < 0) return APE_ERROR_INVALID_OUTPUT_FILE;

  try {
    FInput.assign(static_cast<size_t>(FBlocksPerFrame) * FBlockAlign, 0);
    FEncoder = std::make_unique<TFrameEncoder>(Level, Bits, Channels);
    FFrameBytes.reserve(FInput.size() + FInput.size() / 2 + 64);
    FOut.reserve(kOutFlushBytes + FFrameBytes.capacity() + 8);
  } catch (const std::bad_alloc&) {
    return Fail(APE_ERROR_INSUFFICIENT_MEMORY);
  }
  FInputUsed = 0;
  FCarryLen = 0;
  FLogicalBytes = 0;
  FWritten = 0;
  FFrameStarts.clear();
  FTotalBlocks = 0;
  FLastFrameBlocks = 0;
  FMd5.Reset();
  FMd5.Update(FHeaderData.data(), FHeaderData.size());
  FState = TState::Started;
  FError = 0;
  return APE_ERROR_SUCCESS;
}

int64_t TApeWriter::BufferBytesAvailable() const {
  if (FState != TState::Started) return 0;
  return static_cast<int64_t>(FInput.size() - FInputUsed);
}

uint8_t* TApeWriter::LockBuffer(int64_t* BytesAvailable) {
  if (BytesAvailable) *BytesAvailable = 0;
  if (FState != TState::Started) return nullptr;
  if (FInputUsed == FInput.size() && ProcessBuffer(false) != APE_ERROR_SUCCESS) return nullptr;
  if (BytesAvailable) *BytesAvailable = static_cast<int64_t>(FInput.size() - FInputUsed);
  return FInput.data() + FInputUsed;
}

int TApeWriter::UnlockBuffer(int64_t BytesAdded, bool Process) {
  if (FState == TState::Failed) return FError;
  if (FState != TState::Started) return APE_ERROR_INVALID_FUNCTION_PARAMETER;
  if (BytesAdded < 0 || static_cast<uint64_t>(BytesAdded) > FInput.size() - FInputUsed)
    return APE_ERROR_INVALID_FUNCTION_PARAMETER;
  FInputUsed += static_cast<size_t>(BytesAdded);
  // A full buffer is always compressed: the next LockBuffer needs room.
  if (Process || FInputUsed == FInput.size()) return ProcessBuffer(false);
  return APE_ERROR_SUCCESS;
}

int TApeWriter::AddData(const uint8_t* Data, int64_t Bytes) {
  if (FState == TState::Failed) return FError;
  if (FState != TState::Started) return APE_ERROR_INVALID_FUNCTION_PARAMETER;
  if (Bytes < 0 || (Bytes > 0 && !Data)) return APE_ERROR_INVALID_FUNCTION_PARAMETER;
  while (Bytes > 0) {
    int64_t Avail = 0;
    uint8_t* P = LockBuffer(&Avail);
    if (!P) return FState == TState::Failed ? FError : APE_ERROR_INVALID_FUNCTION_PARAMETER;
    const int64_t N = std::min(Avail, Bytes);
    std::memcpy(P, Data, static_cast<size_t>(N));
    if (const int R = UnlockBuffer(N, false)) return R;
    Data += N;
    Bytes -= N;
  }
  return APE_ERROR_SUCCESS;
}

int TApeWriter::ProcessBuffer(bool Final) {
  const size_t Blocks = FInputUsed / static_cast<size_t>(FBlockAlign);
  const bool Whole = Blocks == static_cast<size_t>(FBlocksPerFrame);
  if (!Whole && !(Final && Blocks > 0)) return APE_ERROR_SUCCESS;
  try {
    FFrameStarts.push_back(FLogicalBytes);
    FFrameBytes.clear();
    FEncoder->Encode(FInput.data(), static_cast<int>(Blocks), FFrameBytes);
    AppendLogical(FFrameBytes.data(), FFrameBytes.size());
  } catch (const std::bad_alloc&) {
    return Fail(APE_ERROR_INSUFFICIENT_MEMORY);
  }
  FLogicalBytes += FFrameBytes.size();
  FTotalBlocks += Blocks;
  FLastFrameBlocks = static_cast<uint32_t>(Blocks);
  // A trailing partial block (only possible at the end) is dropped.
  FInputUsed = 0;
  if (FOut.size() >= kOutFlushBytes) return FlushOut();
  return APE_ERROR_SUCCESS;
}

void TApeWriter::AppendLogical(const uint8_t* P, size_t N) {
  // Logical bytes 4k..4k+3 form one word whose first byte is the most
  // significant; the word is stored little-endian, so each group of four
  // bytes lands reversed.
  while (N > 0 && FCarryLen > 0) {
    FCarry[FCarryLen++] = *P++;
    --N;
    if (FCarryLen == 4) {
      FOut.insert(FOut.end(), {FCarry[3], FCarry[2], FCarry[1], FCarry[0]});
      FCarryLen = 0;
    }
  }
  const size_t Words = N / 4;
  const size_t Old = FOut.size();
  FOut.resize(Old + Words * 4);
  uint8_t* D = FOut.data() + Old;
  for (size_t W = 0; W < Words; ++W, P += 4, D += 4) {
    D[0] = P[3];
    D[1] = P[2];
    D[2] = P[1];
    D[3] = P[0];
  }
  for (size_t I = 0; I < N % 4; ++I) FCarry[FCarryLen++] = P[I];
}

int TApeWriter::WriteAt(int64_t Offset, const void* Data, size_t Bytes) {
  const auto* P = static_cast<const uint8_t*>(Data);
  while (Bytes > 0) {
    const ssize_t W = ::pwrite(FFd, P, Bytes, Offset);
    if (W < 0 && errno == EINTR) continue;
    if (W == 0) errno = ENOSPC;  // nothing taken: the device is full
    if (W <= 0) return APE_ERROR_IO_WRITE;
    P += W;
    Bytes -= static_cast<size_t>(W);
    Offset += W;
  }
  return APE_ERROR_SUCCESS;
}

int TApeWriter::ReadAt(int64_t Offset, void* Data, size_t Bytes) {
  auto* P = static_cast<uint8_t*>(Data);
  while (Bytes > 0) {
    const ssize_t R = ::pread(FFd, P, Bytes, Offset);
    if (R < 0 && errno == EINTR) continue;
    if (R <= 0) return APE_ERROR_IO_READ;
    P += R;
    Bytes -= static_cast<size_t>(R);
    Offset += R;
  }
  return APE_ERROR_SUCCESS;
}

int TApeWriter::FlushOut() {
  if (FOut.empty()) return APE_ERROR_SUCCESS;
  FMd5.Update(FOut.data(), FOut.size());
  if (const int R = WriteAt(FDataStart + FWritten, FOut.data(), FOut.size())) return Fail(R);
  FWritten += static_cast<int64_t>(FOut.size());
  FOut.clear();
  return APE_ERROR_SUCCESS;
}

int TApeWriter::MoveData(int64_t From, int64_t To, int64_t Bytes) {
  if (From == To || Bytes == 0) return APE_ERROR_SUCCESS;
  std::vector<uint8_t> Buf(static_cast<size_t>(std::min<int64_t>(Bytes, 1 << 20)));
  int64_t Done = 0;
  while (Done < Bytes) {
    const int64_t N = std::min<int64_t>(static_cast<int64_t>(Buf.size()), Bytes - Done);
    // Moving towards the end copies from the back so nothing is overwritten
    // before it was read.
    const int64_t Off = To > From ? Bytes - Done - N : Done;
    if (const int R = ReadAt(From + Off, Buf.data(), static_cast<size_t>(N))) return R;
    if (const int R = WriteAt(To + Off, Buf.data(), static_cast<size_t>(N))) return R;
    Done += N;
  }
  return APE_ERROR_SUCCESS;
}

int TApeWriter::Finish(const uint8_t* TerminatingData, int64_t TerminatingBytes,
                       int64_t WavTerminatingBytes) {
  if (FState == TState::Failed) return FError;
  if (FState != TState::Started) return APE_ERROR_INVALID_FUNCTION_PARAMETER;
  if (TerminatingBytes < 0 || (TerminatingBytes > 0 && !TerminatingData) ||
      TerminatingBytes > UINT32_MAX)
    return Fail(APE_ERROR_INVALID_FUNCTION_PARAMETER);
  if (const int R = ProcessBuffer(true)) return R;
  if (FTotalBlocks == 0) return Fail(APE_ERROR_INPUT_FILE_TOO_SMALL);

  // The frame region ends on a word boundary with at least one byte to
  // spare: a reader sizes the last frame by rounding down to whole words.
  uint8_t Pad[4] = {0, 0, 0, 0};
  AppendLogical(Pad, 4 - FCarryLen);
  if (const int R = FlushOut()) return R;

  const uint64_t Frames = FFrameStarts.size();
  const uint64_t TableBytes = 4 * Frames;
  if (TableBytes > UINT32_MAX) return Fail(APE_ERROR_INPUT_FILE_TOO_LARGE);
  const int64_t DataStart = kDescriptorBytes + kHeaderBytes + static_cast<int64_t>(TableBytes) +
                            static_cast<int64_t>(FHeaderData.size());
  if (const int R = MoveData(FDataStart, DataStart, FWritten)) return Fail(R);
  FDataStart = DataStart;

  const int64_t WavTerm = std::clamp<int64_t>(WavTerminatingBytes, 0, TerminatingBytes);
  FMd5.Update(TerminatingData, static_cast<size_t>(WavTerm));
  if (TerminatingBytes > 0) {
    if (const int R =
            WriteAt(DataStart + FWritten, TerminatingData, static_cast<size_t>(TerminatingBytes)))
      return Fail(R);
  }
  if (::ftruncate(FFd, DataStart + FWritten + TerminatingBytes) != 0)
    return Fail(APE_ERROR_IO_WRITE);

  std::vector<uint8_t> Head(static_cast<size_t>(DataStart));
  uint8_t* D = Head.data();
  uint8_t* H = D + kDescriptorBytes;
  uint8_t* T = H + kHeaderBytes;
  Put16(H + 0, static_cast<uint32_t>(FLevel));
  Put16(H + 2, FStoreHeader ? 0 : kFlagCreateWavHeader);
  Put32(H + 4, static_cast<uint32_t>(FBlocksPerFrame));
  Put32(H + 8, FLastFrameBlocks);
  Put32(H + 12, static_cast<uint32_t>(Frames));
  Put16(H + 16, static_cast<uint32_t>(FBits));
  Put16(H + 18, static_cast<uint32_t>(FChannels));
  Put32(H + 20, FRate);
  // Seek entries count from the start of the descriptor and wrap at 32 bits
  // in files beyond 4 GiB.
  for (uint64_t I = 0; I < Frames; ++I)
    Put32(T + 4 * I, static_cast<uint32_t>(static_cast<uint64_t>(DataStart) + FFrameStarts[I]));
  if (!FHeaderData.empty()) std::memcpy(T + TableBytes, FHeaderData.data(), FHeaderData.size());
  FMd5.Update(H, kHeaderBytes);
  FMd5.Update(T, TableBytes);

  std::memcpy(D, "MAC ", 4);
  Put16(D + 4, kVersion);
  Put16(D + 6, 0);
  Put32(D + 8, kDescriptorBytes);
  Put32(D + 12, kHeaderBytes);
  Put32(D + 16, static_cast<uint32_t>(TableBytes));
  Put32(D + 20, static_cast<uint32_t>(FHeaderData.size()));
  Put32(D + 24, static_cast<uint32_t>(static_cast<uint64_t>(FWritten)));
  Put32(D + 28, static_cast<uint32_t>(static_cast<uint64_t>(FWritten) >> 32));
  Put32(D + 32, static_cast<uint32_t>(TerminatingBytes));
  FMd5.Final(D + 36);
  if (const int R = WriteAt(0, Head.data(), Head.size())) return Fail(R);

  const int Fd = FFd;
  FFd = -1;
  if (::close(Fd) != 0) {
    ::unlink(FFileName.c_str());
    FState = TState::Failed;
    FError = APE_ERROR_IO_WRITE;
    return FError;
  }
  FState = TState::Finished;
  FInput = {};
  FFrameBytes = {};
  FOut = {};
  return APE_ERROR_SUCCESS;
}

int TApeWriter::Kill() {
  if (FState == TState::Started || FState == TState::Failed) Discard();
  FState = TState::Idle;
  return APE_ERROR_SUCCESS;
}

}  // namespace ape
