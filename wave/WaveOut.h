// The WAV file writer: uncompressed PCM, or IMA ADPCM it encodes itself, into
// a new file or appended to an existing PCM / IMA ADPCM file of the same format.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "engine/ACS_Classes.h"
#include "platform/Streams.h"
#include "wave/RiffChunks.h"
#include "wave/WavType.h"

class TWaveOut : public TACSFileOut {
 public:
  explicit TWaveOut(TComponent* AOwner);

  TWavType WavType() const { return FWavType.load(); }
  // Accepts wtPCM and wtDVIADPCM while no job runs; anything else is ignored.
  void SetWavType(TWavType Value);

  // Bytes per IMA ADPCM block (512 at start).
  uint16_t BlockSize() const { return FBlockSize.load(); }
  // Ignored while a job runs, and for 0, values that are not a multiple of 4
  // and values above MaxImaBlockSize (the samples-per-block field of a mono
  // header would overflow).
  void SetBlockSize(int Value);

  // foAppend adds to an existing PCM or IMA ADPCM file of the same format (a
  // missing or empty file is written afresh); the job then takes the file's
  // WavType and BlockSize, which stay after it.
  void SetFileMode(TFileOutputMode Value) override;

  // A file whose sizes outgrow the 32-bit fields of a RIFF header is written
  // in the 64-bit form ("RF64" with a "ds64" chunk), decided when the job
  // starts for a length known then, else when the data reaches the limit
  // (the samples then move up to make room for the chunk once; a "JUNK"
  // chunk right after "WAVE" of an appended file is used instead). A file
  // that stays below stays a plain RIFF file. Tests lower the limit (bytes
  // or frames a field is taken to hold) so that small files reach it; it is
  // ignored while a job runs.
  void SetSizeFieldLimit(int64_t Value) {
    if (!Busy() && Value > 0) FSizeLimit = std::min(Value, MaxSizeField);
  }

 protected:
  ~TWaveOut() override;
  // A job cut short by destruction still leaves a closed file with a true header.
  void BeforeDestruction() override;

  // Checks the input against the chosen or existing format before the file is
  // touched: a refused job leaves an existing file byte for byte as it was.
  void Prepare() override;
  // One step: 16384 bytes of PCM, or one IMA ADPCM block. Read and write
  // errors leave the step and end the job through OnThreadException.
  bool DoOutput(bool Abort) override;
  // Makes the header tell what is on disk (sizes, IMA sample count), puts a
  // new file in the target's place (see TReplacementFile; an appended file is
  // written in place), closes the file and flushes the input. Safe to call
  // again and after a failure.
  void Done() override;

 private:
  void PrepareAppend(int Bits, int Channels, int Rate);
  void PrepareNew(int Bits, int Channels, int Rate, int64_t InputSize);
  bool EncodeStep();
  // Turns the file into the 64-bit form when Bytes more, or a count of
  // Frames, would take it past what its 32-bit fields can state.
  void MakeRoom(int64_t Bytes, int64_t Frames);
  // IMA: the sample count the "fact" chunk states for a file of Length bytes.
  int64_t FactCount(int64_t Length) const;
  void PatchHeader();
  void CloseJob();  // the part of Done that must happen whatever fails

  // Settings: written by the caller's thread while idle, or by Prepare when an
  // append takes the file's format; read by the worker during a job.
  std::atomic<TWavType> FWavType{wtPCM};
  std::atomic<uint16_t> FBlockSize{512};
  std::atomic<int64_t> FSizeLimit{MaxSizeField};

  // Job state. Prepare fills it on the thread of Run before the worker is
  // resumed; then only the worker touches it (or the destroying thread after
  // the worker has ended).
  std::unique_ptr<TFileStream> FFile;
  bool FInputOpen = false;   // Input.Init succeeded and its Flush is still owed
  bool FEndOfInput = false;  // the input ran dry while an ADPCM block was filled
  TWavType FJobType = wtPCM;
  int FChannels = 0;
  int FFrameBytes = 0;
  int FSamplesPerBlock = 0;  // IMA only
  int FJobBlockSize = 0;     // IMA only
  uint8_t FStepIndex[2] = {0, 0};
  TWaveSizes FSizes;           // where the header's size fields lie
  int64_t FJobStart = 44;      // file length when this job began writing samples
  int64_t FFramesWritten = 0;  // IMA: frames of this job in the blocks written
  std::vector<uint8_t> FCopyBuffer;
  std::vector<int16_t> FPcmBlock;
  std::vector<uint8_t> FAdpcmBlock;
};
