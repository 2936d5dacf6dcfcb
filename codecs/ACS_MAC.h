// Monkey's Audio (APE) file sink and source over libMACDll.so, and the two
// thin wrappers around the library's compressor and decompressor handles.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "codecs/mac/ApeCApi.h"
#include "engine/ACS_Classes.h"

// A failure reported by the APE library: "MACDll error: " and the text of its
// error code ("undefined (<code>)" for a code the table does not know).
class EAPEException : public std::runtime_error {
 public:
  explicit EAPEException(int Code);
  int Code() const { return FCode; }
  // The text of a library error code, without the "MACDll error: " prefix.
  static std::string ErrorText(int Code);

 private:
  int FCode;
};

// The library's compressor: one handle, created with the object.
class TAPECompress {
 public:
  // Raises EAPEException when the library cannot create a compressor.
  TAPECompress();
  ~TAPECompress();
  TAPECompress(const TAPECompress&) = delete;
  TAPECompress& operator=(const TAPECompress&) = delete;

  // Creates OutputFile; HeaderBytes -1 lets the library build the WAV header.
  // Returns the library's result.
  int Start(const std::string& OutputFile, const APE_WAVEFORMATEX* Format, int64_t MaxAudioBytes,
            int CompressionLevel, const void* HeaderData, int64_t HeaderBytes);
  int Finish(const unsigned char* TerminatingData, int64_t TerminatingBytes,
             int64_t WavTerminatingBytes);
  // The free part of the library's input buffer; BytesAvailable is its size.
  unsigned char* LockBuffer(int64_t& BytesAvailable);
  // Hands BytesAdded bytes over and has them compressed now.
  int UnlockBuffer(int64_t BytesAdded);
  APE_COMPRESS_HANDLE Handle() const { return FHandle; }
  int LastError() const { return FLastError; }

 private:
  APE_COMPRESS_HANDLE FHandle = nullptr;
  int FLastError = 0;
};

// The library's decompressor on one file.
class TAPEDecompress {
 public:
  // Raises EAPEException when the file cannot be opened for decoding.
  explicit TAPEDecompress(const std::string& FileName);
  ~TAPEDecompress();
  TAPEDecompress(const TAPEDecompress&) = delete;
  TAPEDecompress& operator=(const TAPEDecompress&) = delete;

  // Decodes up to Blocks blocks into Buffer; Retrieved is 0 at the end.
  int GetData(void* Buffer, int64_t Blocks, int64_t& Retrieved);
  intptr_t GetInfo(int Field, intptr_t Param1 = 0, intptr_t Param2 = 0);
  int Seek(int64_t Block);

  int SampleRate() { return static_cast<int>(GetInfo(APE_INFO_SAMPLE_RATE)); }
  int BitsPerSample() { return static_cast<int>(GetInfo(APE_INFO_BITS_PER_SAMPLE)); }
  int Channels() { return static_cast<int>(GetInfo(APE_INFO_CHANNELS)); }
  int64_t WavDataBytes() { return GetInfo(APE_INFO_WAV_DATA_BYTES); }
  int64_t LengthMs() { return GetInfo(APE_DECOMPRESS_LENGTH_MS); }

  APE_DECOMPRESS_HANDLE Handle() const { return FHandle; }
  const std::string& FileName() const { return FFileName; }
  int LastError() const { return FLastError; }

 private:
  APE_DECOMPRESS_HANDLE FHandle = nullptr;
  std::string FFileName;
  int FLastError = 0;
};

// Compresses PCM from Input into an APE file at CompressionLevel. The library
// writes the file itself; it exists only once a job has started, and a job
// that ends (normally, stopped or failed) leaves a complete file of what was
// compressed.
class TMACOut : public TACSFileOut {
 public:
  // Raises "libMACDll.so library could not be loaded." without the library.
  explicit TMACOut(TComponent* AOwner);

  // 1000, 2000, 3000 or 4000; any other value is stored as 2000.
  int CompressionLevel() const { return FCompressionLevel; }
  void SetCompressionLevel(int Value);
  // The expected PCM byte count, -1 when not known (only sizes the file's
  // seek table up front).
  int64_t MaxAudioBytes() const { return FMaxAudioBytes; }
  void SetMaxAudioBytes(int64_t Value) { FMaxAudioBytes = Value; }

 protected:
  ~TMACOut() override;
  // Raises "File name is not assigned.", EAPEException when no compressor can
  // be made, "Error starting APECompress.\r\n<text>" when the library refuses
  // the file or format. On failure the input is flushed again.
  void Prepare() override;
  // Moves up to 65536 bytes from the input into the compressor.
  bool DoOutput(bool Abort) override;
  // Completes and closes the file, flushes the input. A file that could not
  // be completed raises EAPEException (after the input was flushed).
  void Done() override;

 private:
  // Properties: written by the window while idle, read by Prepare.
  int FCompressionLevel = APE_LEVEL_NORMAL;
  int64_t FMaxAudioBytes = -1;

  // Job state: set up by Prepare before the worker is resumed, then used by
  // the worker only.
  // "Cannot write to "<file>". <reason>" for a write the compressor failed.
  [[noreturn]] void RaiseWriteError(int Errno);

  std::unique_ptr<TAPECompress> FCompress;
  std::unique_ptr<TReplacementFile> FPart;  // the file the compressor writes
  APE_WAVEFORMATEX FFormat{};
  std::vector<uint8_t> FBuffer;
  bool FEndOfInput = false;
  bool FInputStarted = false;  // the input was Init-ed and not flushed yet
};

// Decodes an APE file to PCM (8- or 16-bit as stored; 24-bit files come out as
// 24-bit PCM). Format, Size and SampleCount come from the library. Every frame
// is checked before it is delivered: a damaged file raises EAPEException
// ("MACDll error: invalid checksum" or "... decompressing frame") instead of
// delivering damaged or truncated audio as if it were whole.
class TMACIn : public TACSFileIn {
 public:
  // Raises "libMACDll.so library could not be loaded." without the library.
  explicit TMACIn(TComponent* AOwner);

  // Whole seconds, from the library's length in milliseconds.
  int TotalTime() override;
  // Copies at most BufferSize bytes of PCM; 0 when the data is over.
  int GetData(void* Buffer, int BufferSize) override;
  void Init() override;
  void Reset() override;
  // Positions the file at a sample frame; false when the library cannot.
  bool Seek(int64_t SampleNumber) override;
  std::string FormatName() const override { return "APE"; }

 protected:
  ~TMACIn() override;
  // Raises EAPEException when the file cannot be opened for decoding.
  void OpenFile() override;
  void CloseFile() override;

 private:
  static constexpr int kBufferBytes = 8192;
  int BlockBytes() const { return FBPS / 8 * FChan; }
  // Decodes into the free part of the buffer, honouring EndSample.
  void Fill();

  // Touched under the file lock (queries on the window thread, the job on the
  // worker).
  std::unique_ptr<TAPEDecompress> FDecompress;
  bool FEndOfFile = false;
  uint8_t FBuffer[kBufferBytes];
};
