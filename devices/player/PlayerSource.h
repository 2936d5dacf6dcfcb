// What the player reads: the PCM of one audio file of any type the program
// reads, through the engine's file sources or its MP3 decoder.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

#include "platform/SoundCard.h"

namespace player {

// A file that cannot be played: Code is one of the library's error codes,
// the message says what is wrong with which file.
class EOpenError : public std::runtime_error {
 public:
  EOpenError(int Code, const std::string& Message) : std::runtime_error(Message), FCode(Code) {}
  int Code() const { return FCode; }

 private:
  int FCode;
};

// One open file. Open (through OpenPlayerSource) may run on any thread; the
// rest belongs to the player's thread.
class TPlayerSource {
 public:
  TPlayerSource() = default;
  TPlayerSource(const TPlayerSource&) = delete;
  TPlayerSource& operator=(const TPlayerSource&) = delete;
  virtual ~TPlayerSource() = default;

  // The PCM delivered; fixed once open, except that an MP3 file may turn out
  // to start with another format than its first header said (Start tells).
  TPcmFormat Format;
  std::string MimeType;
  // kbit/s of the compressed stream; 0 when not known.
  int BitRate = 0;
  // The play length; 0 when not known.
  int64_t DurationMs = 0;
  // The bits per sample of the file itself (what Format says for PCM).
  int FileBits = 16;

  // Starts delivering from Ms into the file, ending a delivery going on.
  // Raises EOpenError when the file no longer reads.
  virtual void Start(int64_t Ms) = 0;
  // Copies at most Count bytes of PCM (whole frames) into Buffer; 0 at the
  // end. Raises std::runtime_error with the reason when reading fails.
  virtual int Read(uint8_t* Buffer, int Count) = 0;
  // Ends the delivery (nothing to do when none runs).
  virtual void Stop() = 0;
};

// Opens Name for playing. Raises EOpenError: the file does not exist, may not
// be read, is of a type the program does not read, or holds no audio.
std::unique_ptr<TPlayerSource> OpenPlayerSource(const std::string& Name);

}  // namespace player
