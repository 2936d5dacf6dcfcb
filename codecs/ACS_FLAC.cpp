#include "codecs/ACS_FLAC.h"

#include <algorithm>
#include <bit>
#include <climits>
#include <cmath>
#include <cstring>
#include <string>
#include <utility>

#include "codecs/FLAC.h"
#include "wave/RiffChunks.h"

// PCM between components is little-endian; frames are assembled in native
// 16-bit words and handed out as bytes.
static_assert(std::endian::native == std::endian::little,
              "PCM assembly assumes a little-endian host");

namespace {

// Makes the stream information of a file whose encoder failed say that the
// length and the checksum are not known (both 0): the encoder wrote them at
// the start from the input's expected size and could not correct them.
void ForgetStreamLength(TStream& S) {
  // "fLaC", the block header, then STREAMINFO: the 36-bit sample count takes
  // the low nibble of byte 21 and bytes 22 to 25, the MD5 sum bytes 26 to 41.
  uint8_t B[21];
  S.SetPosition(21);
  S.ReadBuffer(B, 1);
  B[0] &= 0xF0;
  std::memset(B + 1, 0, 20);
  S.SetPosition(21);
  S.WriteBuffer(B, 21);
}

}  // namespace

// The library's C call-backs. None of them lets an exception out: a stream
// error is kept (the first one) and becomes the library's error status; the
// caller raises the kept error once the library call has returned.
struct TFLACCallbacks {
  // ------------------------------------------------------------- encoder
  static FLAC__StreamEncoderWriteStatus Write(const FLAC__StreamEncoder*, const FLAC__byte Buffer[],
                                              size_t Bytes, uint32_t, uint32_t, void* Client) {
    auto* Self = static_cast<TFLACOut*>(Client);
    try {
      Self->FStream->WriteBuffer(Buffer, static_cast<int64_t>(Bytes));
      return FLAC__STREAM_ENCODER_WRITE_STATUS_OK;
    } catch (...) {
      if (!Self->FStreamError) Self->FStreamError = std::current_exception();
      return FLAC__STREAM_ENCODER_WRITE_STATUS_FATAL_ERROR;
    }
  }

  static FLAC__StreamEncoderSeekStatus Seek(const FLAC__StreamEncoder*, FLAC__uint64 Offset,
                                            void* Client) {
    auto* Self = static_cast<TFLACOut*>(Client);
    try {
      Self->FStream->Seek(static_cast<int64_t>(Offset), TSeekOrigin::soBeginning);
      return FLAC__STREAM_ENCODER_SEEK_STATUS_OK;
    } catch (...) {
      if (!Self->FStreamError) Self->FStreamError = std::current_exception();
      return FLAC__STREAM_ENCODER_SEEK_STATUS_ERROR;
    }
  }

  static FLAC__StreamEncoderTellStatus Tell(const FLAC__StreamEncoder*, FLAC__uint64* Offset,
                                            void* Client) {
    auto* Self = static_cast<TFLACOut*>(Client);
    try {
      *Offset = static_cast<FLAC__uint64>(Self->FStream->Position());
      return FLAC__STREAM_ENCODER_TELL_STATUS_OK;
    } catch (...) {
      return FLAC__STREAM_ENCODER_TELL_STATUS_ERROR;
    }
  }

  // ------------------------------------------------------------- decoder
  static FLAC__StreamDecoderReadStatus Read(const FLAC__StreamDecoder*, FLAC__byte Buffer[],
                                            size_t* Bytes, void* Client) {
    auto* Self = static_cast<TFLACIn*>(Client);
    try {
      const int64_t N = *Bytes == 0 ? 0 : Self->FSource->Read(Buffer, static_cast<int64_t>(*Bytes));
      *Bytes = static_cast<size_t>(N);
      return N == 0 ? FLAC__STREAM_DECODER_READ_STATUS_END_OF_STREAM
                    : FLAC__STREAM_DECODER_READ_STATUS_CONTINUE;
    } catch (...) {
      if (!Self->FStreamError) Self->FStreamError = std::current_exception();
      *Bytes = 0;
      return FLAC__STREAM_DECODER_READ_STATUS_ABORT;
    }
  }

  static FLAC__StreamDecoderSeekStatus DecoderSeek(const FLAC__StreamDecoder*, FLAC__uint64 Offset,
                                                   void* Client) {
    auto* Self = static_cast<TFLACIn*>(Client);
    try {
      if (Offset > static_cast<FLAC__uint64>(INT64_MAX))
        return FLAC__STREAM_DECODER_SEEK_STATUS_ERROR;
      Self->FSource->Seek(static_cast<int64_t>(Offset), TSeekOrigin::soBeginning);
      return FLAC__STREAM_DECODER_SEEK_STATUS_OK;
    } catch (...) {
      return FLAC__STREAM_DECODER_SEEK_STATUS_ERROR;
    }
  }

  static FLAC__StreamDecoderTellStatus DecoderTell(const FLAC__StreamDecoder*, FLAC__uint64* Offset,
                                                   void* Client) {
    auto* Self = static_cast<TFLACIn*>(Client);
    try {
      *Offset = static_cast<FLAC__uint64>(Self->FSource->Position());
      return FLAC__STREAM_DECODER_TELL_STATUS_OK;
    } catch (...) {
      return FLAC__STREAM_DECODER_TELL_STATUS_ERROR;
    }
  }

  static FLAC__StreamDecoderLengthStatus Length(const FLAC__StreamDecoder*, FLAC__uint64* Length,
                                                void* Client) {
    auto* Self = static_cast<TFLACIn*>(Client);
    try {
      *Length = static_cast<FLAC__uint64>(Self->FSource->Size());
      return FLAC__STREAM_DECODER_LENGTH_STATUS_OK;
    } catch (...) {
      return FLAC__STREAM_DECODER_LENGTH_STATUS_ERROR;
    }
  }

  static FLAC__bool Eof(const FLAC__StreamDecoder*, void* Client) {
    auto* Self = static_cast<TFLACIn*>(Client);
    try {
      return Self->FSource->Position() >= Self->FSource->Size();
    } catch (...) {
      return true;
    }
  }

  static FLAC__StreamDecoderWriteStatus DecoderWrite(const FLAC__StreamDecoder*,
                                                     const FLAC__Frame* Frame,
                                                     const FLAC__int32* const Buffer[],
                                                     void* Client) {
    auto* Self = static_cast<TFLACIn*>(Client);
    const unsigned Channels = static_cast<unsigned>(Self->FChan);
    const unsigned Bits = static_cast<unsigned>(Self->FBPS);
    // A frame that does not match the stream information cannot be laid out
    // in the format the source reports: stop rather than deliver garbage.
    if (!Self->FFormatOK || Frame->header.channels != Channels ||
        Frame->header.bits_per_sample != Bits)
      return FLAC__STREAM_DECODER_WRITE_STATUS_ABORT;
    const size_t N = Frame->header.blocksize;
    const size_t Bytes = N * Channels * (Bits / 8);
    try {
      if (Self->FFrame.size() * 2 < Bytes) Self->FFrame.resize((Bytes + 1) / 2);
    } catch (...) {
      return FLAC__STREAM_DECODER_WRITE_STATUS_ABORT;
    }
    if (Bits == 16) {
      int16_t* Out = Self->FFrame.data();
      if (Channels == 2) {
        const FLAC__int32* L = Buffer[0];
        const FLAC__int32* R = Buffer[1];
        for (size_t I = 0; I < N; ++I) {
          Out[2 * I] = static_cast<int16_t>(L[I]);
          Out[2 * I + 1] = static_cast<int16_t>(R[I]);
        }
      } else {
        const FLAC__int32* M = Buffer[0];
        for (size_t I = 0; I < N; ++I) Out[I] = static_cast<int16_t>(M[I]);
      }
    } else if (Bits == 24) {
      // Three little-endian bytes a sample, as a WAV file holds them.
      auto* Out = reinterpret_cast<uint8_t*>(Self->FFrame.data());
      for (size_t I = 0; I < N; ++I)
        for (unsigned C = 0; C < Channels; ++C)
          PutLe24(Out + 3 * (I * Channels + C), static_cast<uint32_t>(Buffer[C][I]));
    } else {
      // Signed 8-bit FLAC samples become unsigned WAV bytes.
      auto* Out = reinterpret_cast<uint8_t*>(Self->FFrame.data());
      for (size_t I = 0; I < N; ++I)
        for (unsigned C = 0; C < Channels; ++C)
          Out[I * Channels + C] = static_cast<uint8_t>(Buffer[C][I] + 128);
    }
    Self->FFrameBytes = Bytes;
    Self->FReadIndex = 0;
    Self->FFrameArrived = true;
    return FLAC__STREAM_DECODER_WRITE_STATUS_CONTINUE;
  }

  static void Metadata(const FLAC__StreamDecoder*, const FLAC__StreamMetadata* Block,
                       void* Client) {
    if (Block->type != FLAC__METADATA_TYPE_STREAMINFO) return;
    auto* Self = static_cast<TFLACIn*>(Client);
    const FLAC__StreamMetadata_StreamInfo& Info = Block->data.stream_info;
    Self->FSR = static_cast<int>(Info.sample_rate);
    Self->FChan = static_cast<int>(Info.channels);
    Self->FBPS = static_cast<int>(Info.bits_per_sample);
    const FLAC__uint64 Total = Info.total_samples;
    Self->FTotalSamples = static_cast<int64_t>(Total);
    Self->FFormatOK =
        (Info.channels == 1 || Info.channels == 2) &&
        (Info.bits_per_sample == 8 || Info.bits_per_sample == 16 || Info.bits_per_sample == 24);
    if (!Self->FFormatOK) Self->FValid = false;
    // No total (a stream written to a pipe): the length is not known.
    Self->FSize = Total == 0 ? -1 : static_cast<int64_t>(Total) * Self->FChan * (Self->FBPS / 8);
  }

  // Lost sync, a bad frame header, a frame whose checksum fails: the decoder
  // would go on with silence in place of the frame. The status is kept, and
  // DecodeFrame ends the job with it.
  static void Error(const FLAC__StreamDecoder*, FLAC__StreamDecoderErrorStatus Status,
                    void* Client) {
    auto* Self = static_cast<TFLACIn*>(Client);
    Self->FValid = false;
    if (Self->FDecodeError < 0) Self->FDecodeError = Status;
  }
};

// ================================================================ TFLACOut

TFLACOut::TFLACOut(TComponent* AOwner) : TACSFileOut(AOwner) { CheckFLAC(); }

TFLACOut::~TFLACOut() {
  // Destroyed in the middle of a job (the worker is gone by now): complete
  // the stream information of what was encoded rather than leave it stale.
  CloseEncoder();
}

void TFLACOut::SetBestModelSearch(bool Value) {
  FBestModelSearch = Value;
  if (Value) {
    FEnableMidSideStereo = true;
    FEnableLooseMidSideStereo = false;
  }
}

void TFLACOut::SetEnableLooseMidSideStereo(bool Value) {
  FEnableLooseMidSideStereo = Value;
  if (Value) FEnableMidSideStereo = true;
}

std::string TFLACOut::CloseEncoder() {
  std::string Failure;
  bool Failed = FStreamError != nullptr;
  if (FEncoder) {
    const TFLACApi& Api = FLAC();
    const FLAC__StreamEncoderState Before = Api.FLAC__stream_encoder_get_state(FEncoder);
    if (Before != FLAC__STREAM_ENCODER_OK && Before != FLAC__STREAM_ENCODER_UNINITIALIZED)
      Failed = true;
    if (!Api.FLAC__stream_encoder_finish(FEncoder)) {
      Failure = FLACText(Api.FLAC__stream_encoder_get_state(FEncoder));
      Failed = true;
    }
    Api.FLAC__stream_encoder_delete(FEncoder);
    FEncoder = nullptr;
  }
  if (FOwnStream) {
    // Stopped, failed or finished, the file takes the target's place once its
    // stream information is true; one that cannot be made true is dropped.
    try {
      if (Failed) ForgetStreamLength(*FOwnStream);
      FOwnStream->Commit();
    } catch (...) {
      if (!FStreamError) FStreamError = std::current_exception();
      if (Failure.empty()) Failure = "the file could not be completed";
    }
  }
  FStream = nullptr;
  FOwnStream.reset();
  std::vector<uint8_t>().swap(FBlock);
  std::vector<int32_t>().swap(FSamples);
  return Failure;
}

void TFLACOut::RaiseEncodeError(const std::string& State) {
  // The stream's own error (a full disk) says more than the encoder's state.
  if (FStreamError) std::rethrow_exception(std::exchange(FStreamError, nullptr));
  throw EACSException("Failed to encode data (" + State + ").");
}

void TFLACOut::Prepare() {
  if (FFileName.empty()) throw EACSException("File name is not assigned.");
  CheckInputFile();
  const TFLACApi& Api = FLAC();
  FEndOfInput = false;
  FStreamError = nullptr;
  TACSInput* In = Input();
  // On any failure below nothing stays open and a file begun goes.
  auto Fail = [&](const char* Message) {
    if (FEncoder) {
      Api.FLAC__stream_encoder_delete(FEncoder);
      FEncoder = nullptr;
    }
    FStream = nullptr;
    FOwnStream.reset();
    if (FInputStarted) {
      FInputStarted = false;
      In->Flush();
    }
    if (Message) throw EACSException(Message);
  };
  try {
    FEncoder = Api.FLAC__stream_encoder_new();
    if (!FEncoder) Fail("Failed to initialize FLAC encoder.");
    In->Init();
    FInputStarted = true;

    const int Bits = In->InBitsPerSample();
    const int Channels = In->InChannels();
    const int Rate = In->InSampleRate();
    FLAC__StreamEncoder* E = FEncoder;
    Api.FLAC__stream_encoder_set_verify(E, FVerify);
    Api.FLAC__stream_encoder_set_channels(E, static_cast<uint32_t>(Channels));
    Api.FLAC__stream_encoder_set_bits_per_sample(E, static_cast<uint32_t>(Bits));
    Api.FLAC__stream_encoder_set_sample_rate(E, static_cast<uint32_t>(Rate));
    if (Channels == 2) {
      Api.FLAC__stream_encoder_set_do_mid_side_stereo(E, FEnableMidSideStereo);
      Api.FLAC__stream_encoder_set_loose_mid_side_stereo(E, FEnableLooseMidSideStereo);
    }
    Api.FLAC__stream_encoder_set_blocksize(E, FBlockSize);
    Api.FLAC__stream_encoder_set_max_lpc_order(E, FMaxLPCOrder);
    if (Bits + FQLPCoeffPrecision > 31) FQLPCoeffPrecision = static_cast<uint16_t>(31 - Bits);
    Api.FLAC__stream_encoder_set_qlp_coeff_precision(E, FQLPCoeffPrecision);
    Api.FLAC__stream_encoder_set_do_qlp_coeff_prec_search(E, FQLPCoeffPrecisionSearch);
    Api.FLAC__stream_encoder_set_min_residual_partition_order(E, FMinResidualPartitionOrder);
    Api.FLAC__stream_encoder_set_max_residual_partition_order(E, FMaxResidualPartitionOrder);
    Api.FLAC__stream_encoder_set_do_exhaustive_model_search(E, FBestModelSearch);
    const int64_t Size = In->Size();
    if (Size > 0 && Bits >= 8 && Channels > 0) {
      const double Frames = static_cast<double>(Size) / (Bits / 8) / Channels;
      Api.FLAC__stream_encoder_set_total_samples_estimate(
          E, static_cast<FLAC__uint64>(std::llround(Frames)));
    }
    // Only whole bytes per sample can be widened for the encoder.
    if (Bits != 8 && Bits != 16 && Bits != 24) Fail("Failed to initialize FLAC encoder.");
    // Every check that needs no file has passed: the encoder writes the
    // stream's start into a new file as it is initialised.
    FOwnStream = std::make_unique<TReplacementFile>(FFileName);
    FStream = FOwnStream.get();
    const FLAC__StreamEncoderInitStatus Init = Api.FLAC__stream_encoder_init_stream(
        E, &TFLACCallbacks::Write, &TFLACCallbacks::Seek, &TFLACCallbacks::Tell, nullptr, this);
    // A write that failed (a full disk) has its own message, naming the file.
    if (Init != FLAC__STREAM_ENCODER_INIT_STATUS_OK && FStreamError) {
      const std::exception_ptr Kept = FStreamError;
      FStreamError = nullptr;
      std::rethrow_exception(Kept);
    }
    if (Init != FLAC__STREAM_ENCODER_INIT_STATUS_OK)
      Fail(("Failed to initialize FLAC encoder (" + std::string(FLACText(Init)) + ").").c_str());

    // The block as the encoder settled it (it picks one itself for 0).
    const uint32_t Block = Api.FLAC__stream_encoder_get_blocksize(E);
    FBytesPerSample = Bits / 8;
    FChannels = Channels;
    FBlock.assign(static_cast<size_t>(Block) * Channels * FBytesPerSample, 0);
    FSamples.assign(static_cast<size_t>(Block) * Channels, 0);
  } catch (...) {
    if (FEncoder || FOwnStream || FInputStarted) Fail(nullptr);
    throw;
  }
}

bool TFLACOut::DoOutput(bool Abort) {
  if (!FActive) return true;
  ReportProgress();
  if (Abort || FEndOfInput) return false;

  size_t Got = 0;
  {
    FInputLock.Lock();
    struct Unlocker {
      TSpinFlag& F;
      ~Unlocker() { F.Unlock(); }
    } U{FInputLock};
    TACSInput* In = FInput.load();
    while (Got < FBlock.size()) {
      const int Want = static_cast<int>(std::min<size_t>(FBlock.size() - Got, INT_MAX));
      const int N = In ? In->GetData(FBlock.data() + Got, Want) : 0;
      if (N <= 0) {
        FEndOfInput = true;
        break;
      }
      Got += static_cast<size_t>(N);
    }
  }
  if (Got == 0) return false;

  const size_t Samples = Got / FBytesPerSample;
  if (FBytesPerSample == 2) {
    for (size_t I = 0; I < Samples; ++I) {
      int16_t V;
      std::memcpy(&V, FBlock.data() + 2 * I, 2);
      FSamples[I] = V;
    }
  } else if (FBytesPerSample == 3) {
    for (size_t I = 0; I < Samples; ++I) FSamples[I] = GetLe24Signed(FBlock.data() + 3 * I);
  } else {
    // Unsigned WAV bytes become the signed samples FLAC stores.
    for (size_t I = 0; I < Samples; ++I) FSamples[I] = static_cast<int32_t>(FBlock[I]) - 128;
  }
  const auto Frames = static_cast<uint32_t>(Samples / FChannels);
  if (Frames > 0 &&
      !FLAC().FLAC__stream_encoder_process_interleaved(FEncoder, FSamples.data(), Frames))
    RaiseEncodeError(FLACText(FLAC().FLAC__stream_encoder_get_state(FEncoder)));
  return true;
}

void TFLACOut::Done() {
  const std::string Failure = CloseEncoder();
  if (FInputStarted) {
    FInputStarted = false;
    if (TACSInput* In = Input()) In->Flush();
  }
  // The last frames or the stream information could not be written.
  if (!Failure.empty()) RaiseEncodeError(Failure);
}

// ================================================================ TFLACIn

TFLACIn::TFLACIn(TComponent* AOwner) : TFramedFileIn(AOwner) { CheckFLAC(); }

TFLACIn::~TFLACIn() {
  std::lock_guard<std::recursive_mutex> L(FFileLock);
  // Whatever the count, nothing outlives the component.
  Release();
  FOpened = 0;
}

void TFLACIn::Release() {
  if (FDecoder) {
    const TFLACApi& Api = FLAC();
    Api.FLAC__stream_decoder_flush(FDecoder);
    Api.FLAC__stream_decoder_finish(FDecoder);
    Api.FLAC__stream_decoder_delete(FDecoder);
    FDecoder = nullptr;
  }
  FFrameArrived = false;
  ReleaseSource();
}

void TFLACIn::OpenFile() {
  std::lock_guard<std::recursive_mutex> L(FFileLock);
  if (FOpened == 0) {
    OpenSource();
    FValid = true;
    FFormatOK = false;
    FBPS = FSR = FChan = 0;
    FTotalSamples = 0;
    FSize = 0;
    FEndOfFile = false;
    const TFLACApi& Api = FLAC();
    FDecoder = Api.FLAC__stream_decoder_new();
    if (!FDecoder ||
        Api.FLAC__stream_decoder_init_stream(
            FDecoder, &TFLACCallbacks::Read, &TFLACCallbacks::DecoderSeek,
            &TFLACCallbacks::DecoderTell, &TFLACCallbacks::Length, &TFLACCallbacks::Eof,
            &TFLACCallbacks::DecoderWrite, &TFLACCallbacks::Metadata, &TFLACCallbacks::Error,
            this) != FLAC__STREAM_DECODER_INIT_STATUS_OK) {
      Release();
      FValid = false;
      throw EACSException("Failed to initialize FLAC decoder.");
    }
    FDecodeError = -1;
    FStreamError = nullptr;
    if (!Api.FLAC__stream_decoder_process_until_end_of_metadata(FDecoder)) FValid = false;
    // Without stream information there is no format to deliver.
    if (!FFormatOK) FValid = false;
    // What went wrong before the first frame is told by Valid.
    FDecodeError = -1;
  }
  ++FOpened;
}

void TFLACIn::CloseFile() {
  std::lock_guard<std::recursive_mutex> L(FFileLock);
  if (FOpened == 1) Release();
  if (FOpened > 0) --FOpened;
}

void TFLACIn::Init() {
  std::lock_guard<std::recursive_mutex> L(FFileLock);
  const bool WasOpen = FOpened > 0;
  TACSFileIn::Init();
  FEndOfFile = false;
  // A file held open from before may have been read from: start over.
  if (WasOpen && FStartSample == 0) Seek(0);
}

void TFLACIn::Reset() {
  std::lock_guard<std::recursive_mutex> L(FFileLock);
  TACSFileIn::Reset();
  // The count is forced to 0: whatever it was, the decoder goes with it.
  Release();
}

bool TFLACIn::Seek(int64_t SampleNumber) {
  std::lock_guard<std::recursive_mutex> L(FFileLock);
  if (!FDecoder || !FFormatOK || SampleNumber < 0) return false;
  const TFLACApi& Api = FLAC();
  FFrameBytes = FReadIndex = 0;
  FFrameArrived = false;
  // The decoder hands the frame holding the target to the write call-back,
  // from the target on; it is delivered first.
  if (!Api.FLAC__stream_decoder_seek_absolute(FDecoder, static_cast<FLAC__uint64>(SampleNumber))) {
    FFrameBytes = FReadIndex = 0;
    if (Api.FLAC__stream_decoder_get_state(FDecoder) == FLAC__STREAM_DECODER_SEEK_ERROR)
      Api.FLAC__stream_decoder_flush(FDecoder);
    return false;
  }
  FEndOfFile = false;
  FDecodeError = -1;  // a frame stepped over on the way is not the job's
  return true;
}

bool TFLACIn::DecodeFrame() {
  const TFLACApi& Api = FLAC();
  for (;;) {
    FFrameArrived = false;
    FFrameBytes = FReadIndex = 0;
    const bool Ok = Api.FLAC__stream_decoder_process_single(FDecoder);
    const FLAC__StreamDecoderState State = Api.FLAC__stream_decoder_get_state(FDecoder);
    if (FStreamError) std::rethrow_exception(std::exchange(FStreamError, nullptr));
    // A damaged frame must not pass for silence: the job ends here, and what
    // was delivered before it stays.
    if (FDecodeError >= 0)
      throw EACSException(
          ReadError(FLACText(static_cast<FLAC__StreamDecoderErrorStatus>(FDecodeError))));
    if (!Ok) {
      if (State == FLAC__STREAM_DECODER_END_OF_STREAM) return false;
      throw EACSException(ReadError(FLACText(State)));
    }
    if (FFrameArrived && FFrameBytes > 0) return true;
    // Success without a frame: the end of the stream, or a metadata block
    // passed over; never hand out the previous frame again.
    if (State == FLAC__STREAM_DECODER_END_OF_STREAM) return false;
  }
}

std::string TFLACIn::ReadError(const char* Status) const {
  return std::string("Error reading FLAC file") + (FStreamAssigned ? "" : " " + FFileName) + ": " +
         Status;
}

void SetConverterFlacEncoding(TFLACOut& Out) {
  Out.SetBlockSize(4608);
  Out.SetEnableMidSideStereo(true);
  Out.SetEnableLooseMidSideStereo(false);
  Out.SetBestModelSearch(false);
  Out.SetMaxLPCOrder(0);
  Out.SetMaxResidualPartitionOrder(0);
  Out.SetMinResidualPartitionOrder(0);
  Out.SetQLPCoeffPrecision(0);
  Out.SetQLPCoeffPrecisionSearch(false);
  Out.SetVerify(false);
}
