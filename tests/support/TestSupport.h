// Helpers shared by the tests: scratch folders, running reference tools,
// generated signals, and a PCM source held in memory.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/ACS_Classes.h"

namespace testing_support {

// A fresh folder under the system temp folder, removed with the object.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string Path(const std::string& Name) const { return FDir + "/" + Name; }
  const std::string& Dir() const { return FDir; }

 private:
  std::string FDir;
};

// Runs a shell command line; returns its exit status, stdout in Out (when
// given) and stderr in Err (when given).
int Run(const std::string& CommandLine, std::string* Out = nullptr, std::string* Err = nullptr);
// True when Program is on the PATH.
bool HaveTool(const std::string& Program);
// Quotes a word for the shell.
std::string Quote(const std::string& S);

std::vector<uint8_t> ReadFileBytes(const std::string& Name);
void WriteFileBytes(const std::string& Name, const std::vector<uint8_t>& Data);

// The shared test-data folder (../shared/testdata beside the source tree), or
// "" when it is absent.
std::string SharedTestData();

// The built programs' folder (velmora-cli, libraries).
std::string BinDir();

// Interleaved 16-bit samples: a sine per channel (frequencies differ per
// channel) plus a little deterministic noise, so that codecs have work to do.
std::vector<int16_t> MakeSignal16(int Frames, int Channels, int Rate, double Amplitude = 0.5);
std::vector<uint8_t> MakeSignal8(int Frames, int Channels, int Rate);

// Writes a plain 44-byte-header PCM WAV file (independent of the engine).
void WritePcmWav(const std::string& Name, const void* Data, size_t Bytes, int Channels, int Rate,
                 int Bits);
// Reads the samples of a 16-bit PCM WAV file by walking its chunks.
std::vector<int16_t> ReadPcm16Wav(const std::string& Name, int* Channels = nullptr,
                                  int* Rate = nullptr);

// Runs Sink's job to its end on the calling thread's behalf: "" when it ended
// through OnDone, else the failure's message ("(empty message)" for a failure
// without text). OnProgress, when given, runs on each progress event (on the
// worker). Returns only once the worker has left the job.
std::string RunJob(TACSOutput& Sink, std::function<void()> OnProgress = nullptr);

// A source that delivers a byte vector; Size can be set to a negative value to
// look like a source of unknown length. Optionally fails after some bytes.
class TMemorySource : public TACSInput {
 public:
  explicit TMemorySource(TComponent* AOwner) : TACSInput(AOwner) {}
  std::vector<uint8_t> Data;
  int Bits = 16, Channels = 2, Rate = 44100;
  int64_t ReportedSize = 0;  // used when UseReportedSize
  bool UseReportedSize = false;
  int64_t FailAfter = -1;  // raise EACSException once this many bytes went out
  int InitCount = 0, FlushCount = 0;
  int MaxChunk = 1 << 30;  // deliver at most this many bytes per call

  int InBitsPerSample() override { return Bits; }
  int InChannels() override { return Channels; }
  int InSampleRate() override { return Rate; }
  int GetData(void* Buffer, int BufferSize) override;
  void Init() override;
  void Flush() override;

 private:
  size_t FRead = 0;
};

// The RMS amplitude (0 to 1) of File's sound between Low and High Hz over
// Length seconds from From, by sox's band-pass (the median of five pieces of
// the stretch); -1 when sox fails.
double BandRms(const std::string& File, double From, double Length, int Low, int High);
// An amplitude in dB of full scale (at least -180).
double Db(double Rms);
// The length of a sound file in seconds, by sox; -1 when it cannot tell.
double SoxSeconds(const std::string& File);

}  // namespace testing_support
