// Ogg Vorbis file source and sink over libogg, libvorbis, vorbisfile and
// vorbisenc (bound at run time).
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/ACS_Classes.h"

// Bit rates of managed encoding, in this order (comparisons are by position).
enum class TVorbisBitRate {
  brAutoSelect,
  br45,
  br48,
  br56,
  br64,
  br80,
  br96,
  br112,
  br128,
  br144,
  br160,
  br192,
  br224,
  br256,
  br320,
  br499
};

// The bit rate in bit/s handed to the encoder; -1 for brAutoSelect.
long VorbisBitRateValue(TVorbisBitRate Value);
// The member whose rate is Kbps kbit/s; false when there is none.
bool VorbisBitRateFromKbps(int Kbps, TVorbisBitRate& Value);

// Encodes PCM from Input (8 or 16 bits, 1 or 2 channels) into an Ogg Vorbis
// file: by quality (Compression) unless DesiredNominalBitrate asks for managed
// bit-rate encoding. An encoder set-up the library refuses is raised by
// Prepare and touches no file.
class TVorbisOut : public TACSFileOut {
 public:
  explicit TVorbisOut(TComponent* AOwner);

  // Quality of variable-bit-rate encoding (0.2 by default).
  float Compression() const { return FCompression; }
  void SetCompression(float Value) { FCompression = Value; }

  // NAME=value lines, one user comment each, in order. Cleared at the end of
  // every job.
  std::vector<std::string> Comments() const;
  void SetComments(const std::vector<std::string>& Lines);
  void AddComment(const std::string& Line);

  TVorbisBitRate DesiredNominalBitrate() const { return FNominal; }
  // Stores Value; pulls MinimumBitrate down and DesiredMaximumBitrate up to it;
  // brAutoSelect also resets DesiredMaximumBitrate to brAutoSelect.
  void SetDesiredNominalBitrate(TVorbisBitRate Value);
  TVorbisBitRate DesiredMaximumBitrate() const { return FMaximum; }
  // Ignored unless a nominal rate is set and Value is brAutoSelect or not
  // below it.
  void SetDesiredMaximumBitrate(TVorbisBitRate Value);
  TVorbisBitRate MinimumBitrate() const { return FMinimum; }
  // Ignored when Value is above DesiredNominalBitrate.
  void SetMinimumBitrate(TVorbisBitRate Value);

  // Serial number of the Ogg logical stream. When appending, a serial that
  // the file already uses is replaced by the next free one.
  int Serial() const { return FSerial; }
  void SetSerial(int Value) { FSerial = Value; }

  // foAppend stays in force: the new stream is chained after the file's data.
  void SetFileMode(TFileOutputMode Value) override { FFileMode = Value; }

 protected:
  ~TVorbisOut() override;
  // Ends a job cut short by destruction like Done: the file keeps a whole
  // stream with its end-of-stream page.
  void BeforeDestruction() override;
  void Prepare() override;
  bool DoOutput(bool Abort) override;
  void Done() override;

 private:
  struct TEncoder;

  // Feeds Frames sample frames from FPcm to the analysis buffer.
  void Analyse(int Frames);
  // Takes every finished block through analysis and writes full pages; with
  // Flush, also the last partial page.
  void WritePages(bool Flush);
  // Ends the stream properly when the job stopped or failed before its end.
  void FinishStream();
  // The serial for a stream chained after the data of FStream.
  int FreeSerialAfterExistingData();

  float FCompression = 0.2f;
  TVorbisBitRate FNominal = TVorbisBitRate::brAutoSelect;
  TVorbisBitRate FMaximum = TVorbisBitRate::brAutoSelect;
  TVorbisBitRate FMinimum = TVorbisBitRate::brAutoSelect;
  int FSerial = 0;
  mutable std::mutex FCommentsLock;  // Comments are set by the caller, cleared by the worker
  std::vector<std::string> FComments;

  // Job state: created by Prepare on the caller's thread, then used only by
  // the worker until Done releases it.
  std::unique_ptr<TEncoder> FEncoder;
  std::unique_ptr<TStream> FOwnStream;
  bool FInputStarted = false;
  bool FEndOfStream = false;
  int FInBits = 16, FInChannels = 2;
  int FCarry = 0;                     // bytes of an incomplete frame kept at the start of FPcm
  std::array<int16_t, 32768> FPcm{};  // 65536 bytes of input per step
};

// Decodes an Ogg Vorbis file to 16-bit PCM. A file that is not Ogg Vorbis (or
// is damaged beyond its headers) is not Valid and cannot be started. Chained
// streams are read as one as long as their format stays that of the first.
class TVorbisIn : public TACSFileIn {
 public:
  explicit TVorbisIn(TComponent* AOwner);

  // Raises EACSException when the file is not a readable Ogg Vorbis file.
  void Init() override;
  int GetData(void* Buffer, int BufferSize) override;
  // Positions the open file at sample frame SampleNumber; false when the file
  // cannot seek there.
  bool Seek(int64_t SampleNumber) override;
  std::string FormatName() const override { return "Ogg Vorbis"; }
  // The user comments of the file as NAME=value lines.
  std::vector<std::string> Comments();

 protected:
  ~TVorbisIn() override;
  void OpenFile() override;
  void CloseFile() override;

 private:
  struct TDecoder;
  // Decodes into the block buffer until it is full, the data ends, or Size is
  // reached.
  void FillBuffer();

  static size_t ReadCallback(void* Ptr, size_t Size, size_t Count, void* Source);
  static int SeekCallback(void* Source, int64_t Offset, int Whence);
  static int CloseCallback(void* Source);
  static long TellCallback(void* Source);

  std::unique_ptr<TDecoder> FDecoder;  // the vorbisfile handle while open
  std::unique_ptr<TStream> FOwnStream;
  std::vector<std::string> FComments;
  int FSection = -1;
  bool FEndOfFile = false;
  std::string FStreamError;  // an I/O error met inside a call-back
  std::array<uint8_t, 8192> FBuffer{};
};
