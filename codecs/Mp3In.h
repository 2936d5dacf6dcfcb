// The MP3 file source: decodes with libmad a frame at a time, as the sink
// asks for data, so that memory does not grow with the length of the file.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "codecs/FramedFileIn.h"
#include "engine/ACS_Classes.h"

class TMadFrames;

// Reads an MP3 file (or a given stream, from its start) as 16-bit PCM by the
// MP3 decoder component's rules, and delivers the very samples of its WAV
// output: damaged frames are skipped, an encoder's information frame at the
// start ("Xing" or "Info") is not audio, and the first audio frame decides the
// channel count and the sample rate; every later frame is brought to that
// channel count (a mono frame doubled, a stereo frame cut to its left channel).
//
// Opening reads the file through once, frame headers only, to count the sample
// frames (SampleCount, Size). A frame whose header is sound but whose body
// turns out damaged is counted yet not delivered, so a damaged file can end
// short of its count. Not Valid when no frame decodes.
//
// Seek decodes from the first frame up to the sample frame asked for: every
// frame leaves state behind (the bit reservoir, the overlap of the transforms,
// the synthesis filter), and only thus is a range sample-identical to the same
// stretch of the whole decoding.
class TMP3In : public TFramedFileIn {
 public:
  // Raises "libmad.so.0 library could not be loaded." without the library.
  explicit TMP3In(TComponent* AOwner);

  // Positions the open file at a sample frame; false past the last frame.
  bool Seek(int64_t SampleNumber) override;
  std::string FormatName() const override { return "MP3"; }
  void Init() override;
  void Reset() override;

 protected:
  ~TMP3In() override;
  // Raises "File name is not assigned"; a file that cannot be opened or read
  // raises the stream's error.
  void OpenFile() override;
  void CloseFile() override;

 private:
  // Frees the decoder and the stream (or rewinds a given stream).
  void Release();
  // Reads the file through: the format of the first audio frame, the count.
  void Scan();
  // Starts the decoding over from the first byte.
  void Rewind();
  bool CanDecode() const override { return FValid && FFrames; }
  // Decodes the next audio frame into FFrame; false at the end of the data.
  // A read that fails raises the stream's own error.
  bool DecodeFrame() override;

  // Decoder state: owned while the open count is positive, touched under the
  // file lock.
  std::unique_ptr<TMadFrames> FFrames;  // the decoding of the data
  bool FFirstFrameSeen = false;         // the information frame is looked for once
};
