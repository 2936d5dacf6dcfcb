#include "codecs/ACS_MAC.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "codecs/MACDll.h"

namespace {

// Loads the library if needed; raises "libMACDll.so library could not be
// loaded." when it cannot.
void CheckMACDll() {
  TCodecLibrary& Lib = MACDllLibrary();
  Lib.Load();
  Lib.Check();
}

}  // namespace

// ================================================================ EAPEException

std::string EAPEException::ErrorText(int Code) {
  switch (Code) {
    case 0:
      return "OK";
    case 1000:
      return "I/O read error";
    case 1001:
      return "I/O write error";
    case 1002:
      return "invalid input file";
    case 1003:
      return "invalid output file";
    case 1004:
      return "input file file too large";
    case 1005:
      return "input file unsupported bit depth";
    case 1006:
      return "input file unsupported sample rate";
    case 1007:
      return "input file unsupported channel count";
    case 1008:
      return "input file too small";
    case 1009:
      return "invalid checksum";
    case 1010:
      return "decompressing frame";
    case 1011:
      return "initializing unmac";
    case 1012:
      return "invalid function parameter";
    case 1013:
      return "unsupported file type";
    case 2000:
      return "insufficient memory";
    case 3000:
      return "loading MAC.dll";
    case 3001:
      return "loading MACinfo.dll";
    case 3002:
      return "loading UnMAC.dll";
    case 4000:
      return "user stopped processing";
    case 4001:
      return "skipped...";
    case 5000:
      return "bad parameter";
    case 6000:
      return "APE compress too much data";
    default:
      return "undefined (" + std::to_string(Code) + ")";
  }
}

EAPEException::EAPEException(int Code)
    : std::runtime_error("MACDll error: " + ErrorText(Code)), FCode(Code) {}

// ================================================================ TAPECompress

TAPECompress::TAPECompress() {
  int Error = 0;
  FHandle = MACDll().c_APECompress_Create(&Error);
  if (Error != 0 || !FHandle) {
    if (FHandle) MACDll().c_APECompress_Destroy(FHandle);
    throw EAPEException(Error != 0 ? Error : APE_ERROR_INSUFFICIENT_MEMORY);
  }
}

TAPECompress::~TAPECompress() {
  if (FHandle) MACDll().c_APECompress_Destroy(FHandle);
}

int TAPECompress::Start(const std::string& OutputFile, const APE_WAVEFORMATEX* Format,
                        int64_t MaxAudioBytes, int CompressionLevel, const void* HeaderData,
                        int64_t HeaderBytes) {
  FLastError = MACDll().c_APECompress_Start(FHandle, OutputFile.c_str(), Format, MaxAudioBytes,
                                            CompressionLevel, HeaderData, HeaderBytes);
  return FLastError;
}

int TAPECompress::Finish(const unsigned char* TerminatingData, int64_t TerminatingBytes,
                         int64_t WavTerminatingBytes) {
  FLastError = MACDll().c_APECompress_Finish(FHandle, TerminatingData, TerminatingBytes,
                                             WavTerminatingBytes);
  return FLastError;
}

unsigned char* TAPECompress::LockBuffer(int64_t& BytesAvailable) {
  BytesAvailable = 0;
  return MACDll().c_APECompress_LockBuffer(FHandle, &BytesAvailable);
}

int TAPECompress::UnlockBuffer(int64_t BytesAdded) {
  FLastError = MACDll().c_APECompress_UnlockBuffer(FHandle, BytesAdded, 1);
  return FLastError;
}

// ================================================================ TAPEDecompress

TAPEDecompress::TAPEDecompress(const std::string& FileName) : FFileName(FileName) {
  // The library says only "invalid input file" for a file it cannot open:
  // the system's reason is asked for first.
  { TFileStream Probe(FileName, TFileMode::fmOpenRead); }
  int Error = 0;
  FHandle = MACDll().c_APEDecompress_Create(FileName.c_str(), &Error);
  if (Error != 0) {
    if (FHandle) MACDll().c_APEDecompress_Destroy(FHandle);
    FHandle = nullptr;
    throw EAPEException(Error);
  }
}

TAPEDecompress::~TAPEDecompress() {
  if (FHandle) MACDll().c_APEDecompress_Destroy(FHandle);
}

int TAPEDecompress::GetData(void* Buffer, int64_t Blocks, int64_t& Retrieved) {
  Retrieved = 0;
  FLastError =
      MACDll().c_APEDecompress_GetData(FHandle, static_cast<char*>(Buffer), Blocks, &Retrieved);
  return FLastError;
}

intptr_t TAPEDecompress::GetInfo(int Field, intptr_t Param1, intptr_t Param2) {
  return MACDll().c_APEDecompress_GetInfo(FHandle, Field, Param1, Param2);
}

int TAPEDecompress::Seek(int64_t Block) {
  FLastError = MACDll().c_APEDecompress_Seek(FHandle, Block);
  return FLastError;
}

// ================================================================ TMACOut

TMACOut::TMACOut(TComponent* AOwner) : TACSFileOut(AOwner) { CheckMACDll(); }

TMACOut::~TMACOut() {
  // Destroyed in the middle of a job (the worker is gone by now): the library
  // removes the unfinished file rather than leave one that lies.
  FCompress.reset();
}

void TMACOut::SetCompressionLevel(int Value) {
  switch (Value) {
    case APE_LEVEL_FAST:
    case APE_LEVEL_NORMAL:
    case APE_LEVEL_HIGH:
    case APE_LEVEL_EXTRA_HIGH:
      FCompressionLevel = Value;
      break;
    default:
      FCompressionLevel = APE_LEVEL_NORMAL;
  }
}

void TMACOut::Prepare() {
  if (FFileName.empty()) throw EACSException("File name is not assigned.");
  CheckInputFile();
  TACSInput* In = Input();
  try {
    In->Init();
    FInputStarted = true;
    FEndOfInput = false;
    FCompress = std::make_unique<TAPECompress>();
    MACDll().FillWaveFormatEx(&FFormat, In->InSampleRate(), In->InBitsPerSample(),
                              In->InChannels());
    // The compressor writes into the part file and Done puts that in the
    // target's place: an existing file is replaced only by a finished one.
    FPart = std::make_unique<TReplacementFile>(FFileName);
    const int R = FCompress->Start(FPart->PartName(), &FFormat, FMaxAudioBytes, FCompressionLevel,
                                   nullptr, APE_CREATE_WAV_HEADER);
    if (R != 0)
      throw EACSException("Error starting APECompress.\r\n" + EAPEException::ErrorText(R));
    FBuffer.resize(65536);
  } catch (...) {
    // The job does not start, so Done never runs: leave nothing open.
    FCompress.reset();
    FPart.reset();
    if (FInputStarted) {
      FInputStarted = false;
      In->Flush();
    }
    throw;
  }
}

bool TMACOut::DoOutput(bool Abort) {
  if (!FActive) return true;
  ReportProgress();
  if (Abort || FEndOfInput) return false;
  const int Got = ReadInput(FBuffer.data(), static_cast<int>(FBuffer.size()));
  if (Got <= 0) {
    FEndOfInput = true;
    return true;
  }
  const uint8_t* P = FBuffer.data();
  int64_t Left = Got;
  while (Left > 0) {
    int64_t Available = 0;
    unsigned char* Dst = FCompress->LockBuffer(Available);
    if (!Dst || Available <= 0) {
      const int E = FCompress->LastError();
      throw EAPEException(E != 0 ? E : APE_ERROR_INVALID_FUNCTION_PARAMETER);
    }
    const int64_t N = std::min(Available, Left);
    std::memcpy(Dst, P, static_cast<size_t>(N));
    const int R = FCompress->UnlockBuffer(N);
    if (R == APE_ERROR_IO_WRITE) RaiseWriteError(errno);
    if (R != 0) throw EACSException("APECompress.UnlockBuffer Error: " + std::to_string(R));
    P += N;
    Left -= N;
  }
  return true;
}

void TMACOut::RaiseWriteError(int Errno) {
  // The compressor only says that a write failed; the system says why.
  throw EACSException("Cannot write to \"" + FFileName + "\". " + std::strerror(Errno));
}

void TMACOut::Done() {
  int R = 0;
  int WriteErrno = 0;
  if (FCompress) {
    R = FCompress->Finish(nullptr, 0, 0);
    WriteErrno = errno;
    FCompress.reset();
  }
  // A file the compressor could not finish is gone (it removed it): the
  // target stays as it was.
  std::exception_ptr Failure;
  if (FPart && R == 0) {
    try {
      FPart->Commit();
    } catch (...) {
      Failure = std::current_exception();
    }
  }
  FPart.reset();
  std::vector<uint8_t>().swap(FBuffer);
  if (FInputStarted) {
    FInputStarted = false;
    if (TACSInput* In = Input()) In->Flush();
  }
  // A file that could not be completed is gone: the job must not look done.
  if (R == APE_ERROR_IO_WRITE) RaiseWriteError(WriteErrno);
  if (R != 0) throw EAPEException(R);
  if (Failure) std::rethrow_exception(Failure);
}

// ================================================================ TMACIn

TMACIn::TMACIn(TComponent* AOwner) : TACSFileIn(AOwner) { CheckMACDll(); }

TMACIn::~TMACIn() {
  std::lock_guard<std::recursive_mutex> L(FFileLock);
  FDecompress.reset();
  FOpened = 0;
}

void TMACIn::OpenFile() {
  std::lock_guard<std::recursive_mutex> L(FFileLock);
  FValid = true;
  if (FOpened == 0) {
    FEndOfFile = false;
    try {
      FDecompress = std::make_unique<TAPEDecompress>(FFileName);
    } catch (...) {
      FValid = false;
      throw;
    }
    if (FDecompress->Handle()) {
      FSize = FDecompress->WavDataBytes();
      FSR = FDecompress->SampleRate();
      FBPS = FDecompress->BitsPerSample();
      FChan = FDecompress->Channels();
      const int64_t Block = static_cast<int64_t>(FBPS / 8) * FChan;
      FTotalSamples = Block > 0 ? FSize / Block : 0;
    } else {
      FDecompress.reset();
      FValid = false;
      FOpened = -1;
    }
  }
  ++FOpened;
}

void TMACIn::CloseFile() {
  std::lock_guard<std::recursive_mutex> L(FFileLock);
  if (FOpened == 1) FDecompress.reset();
  if (FOpened > 0) --FOpened;
}

int TMACIn::TotalTime() {
  std::lock_guard<std::recursive_mutex> L(FFileLock);
  OpenFile();
  struct TCloser {
    TMACIn* Self;
    ~TCloser() { Self->CloseFile(); }
  } Closer{this};
  return FDecompress ? static_cast<int>(FDecompress->LengthMs() / 1000) : 0;
}

void TMACIn::Init() {
  std::lock_guard<std::recursive_mutex> L(FFileLock);
  const bool WasOpen = FOpened > 0;
  TACSFileIn::Init();
  FBufStart = 1;
  FBufEnd = 0;
  FEndOfFile = false;
  // A file held open from before may have been read from: start over.
  if (WasOpen && FStartSample == 0 && FDecompress) FDecompress->Seek(0);
}

void TMACIn::Reset() {
  std::lock_guard<std::recursive_mutex> L(FFileLock);
  TACSFileIn::Reset();
  FDecompress.reset();
}

bool TMACIn::Seek(int64_t SampleNumber) {
  std::lock_guard<std::recursive_mutex> L(FFileLock);
  if (!FSeekable || SampleNumber < 0) return false;
  OpenFile();
  struct TCloser {
    TMACIn* Self;
    ~TCloser() { Self->CloseFile(); }
  } Closer{this};
  if (!FDecompress) return false;
  // Whatever was buffered belongs to the old position.
  FBufStart = 1;
  FBufEnd = 0;
  FEndOfFile = false;
  return FDecompress->Seek(SampleNumber) == 0;
}

void TMACIn::Fill() {
  const int Block = BlockBytes();
  if (!FDecompress || Block <= 0) {
    FEndOfFile = true;
    return;
  }
  for (;;) {
    const int64_t Blocks = (kBufferBytes - FBufEnd) / Block;
    if (Blocks <= 0) return;
    int64_t Got = 0;
    // A damaged frame must not pass for the end of the file.
    if (const int R = FDecompress->GetData(FBuffer + FBufEnd, Blocks, Got)) throw EAPEException(R);
    const int64_t Gain = Got * Block;
    if (Gain <= 0) {
      FEndOfFile = true;
      return;
    }
    FBufEnd += static_cast<int>(Gain);
    if (FEndSample == -1) continue;
    const int64_t Limit =
        (static_cast<int64_t>(FEndSample) - FStartSample) * (FBPS / 8) * FChan - FPosition;
    if (Limit <= 0) {
      // Everything just decoded lies past the end of the range.
      FBufEnd = 0;
      FEndOfFile = true;
      return;
    }
    if (Limit < FBufEnd) {
      FBufEnd = static_cast<int>(Limit);
      return;
    }
  }
}

int TMACIn::GetData(void* Buffer, int BufferSize) {
  std::lock_guard<std::recursive_mutex> L(FFileLock);
  if (!FBusy) throw EACSException("The Stream is not opened");
  if (BufferSize <= 0) return 0;
  if (FBufStart > FBufEnd) {
    FBufStart = 1;
    FBufEnd = 0;
    if (!FEndOfFile) Fill();
    if (FEndOfFile && FBufEnd == 0 && FLoop) {
      Flush();
      Init();
      FEndOfFile = false;
      Fill();
    }
  }
  const int N = std::min(BufferSize, FBufEnd - FBufStart + 1);
  if (N <= 0) return 0;
  std::memcpy(Buffer, FBuffer + FBufStart - 1, static_cast<size_t>(N));
  FBufStart += N;
  FPosition += N;
  return N;
}
