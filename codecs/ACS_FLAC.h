// FLAC file sink and source over libFLAC (bound at run time).
#pragma once

#include <FLAC/stream_decoder.h>
#include <FLAC/stream_encoder.h>

#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "codecs/FramedFileIn.h"
#include "engine/ACS_Classes.h"

struct TFLACCallbacks;

// Encodes 8- or 16-bit PCM from Input into a FLAC file, with every encoder
// parameter as a property (there is no single compression level). The
// encoder hands back every frame through this component's stream, and seeks
// back at the end so that the stream information (total samples, MD5 of the
// samples) describes what was really written, also after Stop or a failure.
//
// 8-bit input is unsigned, as in WAV files; FLAC stores signed samples, so
// each byte is shifted by 128 on the way in.
class TFLACOut : public TACSFileOut {
 public:
  // Raises "<file name> library could not be loaded." without libFLAC.
  explicit TFLACOut(TComponent* AOwner);

  // Exhaustive model search. Switching it on also switches mid-side stereo on
  // and loose mid-side stereo off.
  bool BestModelSearch() const { return FBestModelSearch; }
  void SetBestModelSearch(bool Value);
  // Samples per channel in each block (4608). Each step encodes one block.
  uint16_t BlockSize() const { return FBlockSize; }
  void SetBlockSize(uint16_t Value) { FBlockSize = Value; }
  // Mid-side stereo for stereo input (on by default). Stored as given.
  bool EnableMidSideStereo() const { return FEnableMidSideStereo; }
  void SetEnableMidSideStereo(bool Value) { FEnableMidSideStereo = Value; }
  // Loose mid-side stereo for stereo input; switching it on also switches
  // mid-side stereo on.
  bool EnableLooseMidSideStereo() const { return FEnableLooseMidSideStereo; }
  void SetEnableLooseMidSideStereo(bool Value);
  // Maximum LPC order; 0 uses fixed predictors only.
  uint16_t MaxLPCOrder() const { return FMaxLPCOrder; }
  void SetMaxLPCOrder(uint16_t Value) { FMaxLPCOrder = Value; }
  uint16_t MaxResidualPartitionOrder() const { return FMaxResidualPartitionOrder; }
  void SetMaxResidualPartitionOrder(uint16_t Value) { FMaxResidualPartitionOrder = Value; }
  uint16_t MinResidualPartitionOrder() const { return FMinResidualPartitionOrder; }
  void SetMinResidualPartitionOrder(uint16_t Value) { FMinResidualPartitionOrder = Value; }
  // Quantised LPC coefficient precision; 0 lets the encoder choose. A job
  // lowers it to 31 - InBitsPerSample when the sum would pass 31, and the
  // lowered value stays.
  uint16_t QLPCoeffPrecision() const { return FQLPCoeffPrecision; }
  void SetQLPCoeffPrecision(uint16_t Value) { FQLPCoeffPrecision = Value; }
  bool QLPCoeffPrecisionSearch() const { return FQLPCoeffPrecisionSearch; }
  void SetQLPCoeffPrecisionSearch(bool Value) { FQLPCoeffPrecisionSearch = Value; }
  // Decodes every frame again while encoding and fails the job on a mismatch.
  bool Verify() const { return FVerify; }
  void SetVerify(bool Value) { FVerify = Value; }

 protected:
  ~TFLACOut() override;
  // Creates FileName, Inits the input and starts the encoder. On failure
  // nothing is left open and the file it created is removed.
  void Prepare() override;
  // Encodes one block of BlockSize samples; false once the input is over.
  bool DoOutput(bool Abort) override;
  // Finishes the encoder (completing the stream information), closes the
  // file, flushes the input. Safe to call again.
  void Done() override;

 private:
  friend struct TFLACCallbacks;
  // Releases the encoder and puts the file in the target's place (after a
  // failure with a length of "unknown" in its stream information) without
  // touching the input; "" when all went well, else libFLAC's name of its
  // state (a failure of the file itself is kept in FStreamError).
  std::string CloseEncoder();
  // Raises the kept stream error, else "Failed to encode data (<State>).".
  [[noreturn]] void RaiseEncodeError(const std::string& State);

  // Properties: written by the window while idle, read by Prepare.
  bool FBestModelSearch = false;
  uint16_t FBlockSize = 4608;
  bool FEnableMidSideStereo = true;
  bool FEnableLooseMidSideStereo = false;
  uint16_t FMaxLPCOrder = 0;
  uint16_t FMaxResidualPartitionOrder = 0;
  uint16_t FMinResidualPartitionOrder = 0;
  uint16_t FQLPCoeffPrecision = 0;
  bool FQLPCoeffPrecisionSearch = false;
  bool FVerify = false;

  // Job state: set up by Prepare (caller's thread) before the worker is
  // resumed, then used by the worker only.
  FLAC__StreamEncoder* FEncoder = nullptr;
  std::unique_ptr<TReplacementFile> FOwnStream;  // the file this component made
  bool FInputStarted = false;                    // the input was Init-ed and not flushed yet
  bool FEndOfInput = false;
  std::exception_ptr FStreamError;  // the first failure of the output stream
  int FBytesPerSample = 2;
  int FChannels = 2;
  std::vector<uint8_t> FBlock;    // one block of PCM as read from the input
  std::vector<int32_t> FSamples;  // the same block widened for the encoder
};

// Decodes a FLAC file to 8- or 16-bit PCM, one FLAC frame per refill. The
// format, SampleCount and Size come from the stream information block.
//
// A file that is not Valid delivers nothing: no stream information, more than
// 2 channels, a sample size other than 8 or 16 bits. A damaged frame further
// on (lost sync, a bad header, a failed checksum) ends the job: GetData raises
// "Error reading FLAC file <file name>: <libFLAC's status>" and nothing of
// that frame is delivered. 8-bit FLAC samples are signed; they are delivered
// unsigned, as WAV files hold them.
//
// The data ends at the decoder's end of stream or when Position reaches Size,
// whichever comes first. A stream whose information gives no total length
// (written to a pipe) has Size -1 and plays to its end.
class TFLACIn : public TFramedFileIn {
 public:
  // Raises "<file name> library could not be loaded." without libFLAC.
  explicit TFLACIn(TComponent* AOwner);

  // Positions the open file at a sample frame; the next byte delivered is
  // that frame's. False when the decoder cannot get there.
  bool Seek(int64_t SampleNumber) override;
  std::string FormatName() const override { return "FLAC"; }
  void Init() override;
  void Reset() override;

 protected:
  ~TFLACIn() override;
  // Raises "File name is not assigned" and "Failed to initialize FLAC
  // decoder."; a file that cannot be opened raises the stream's error.
  void OpenFile() override;
  void CloseFile() override;

 private:
  friend struct TFLACCallbacks;
  // Frees the decoder, the frame and the stream (or rewinds a given stream).
  void Release();
  bool CanDecode() const override { return FFormatOK && FDecoder; }
  // Decodes until a frame arrives; false at the end of the stream. Raises
  // "Error reading FLAC file <file name>: <libFLAC's status or state>" on a
  // damaged frame or when the decoder fails other than at the end, and the
  // stream's own error when reading fails.
  bool DecodeFrame() override;
  std::string ReadError(const char* Status) const;

  // Decoder state: owned while the open count is positive. Touched under the
  // file lock (queries on the window thread, the job on the worker).
  FLAC__StreamDecoder* FDecoder = nullptr;
  bool FFormatOK = false;           // stream information seen and deliverable
  bool FFrameArrived = false;       // set by the write call-back
  int FDecodeError = -1;            // the error call-back's first status; -1 = none
  std::exception_ptr FStreamError;  // the first failure of the read call-back
};

// The encoder settings of the converters (window and command line): blocks
// of 4608 samples, mid-side stereo on, loose mid-side off, fixed predictors
// only (no LPC, no model search), no verification.
void SetConverterFlacEncoding(TFLACOut& Out);
