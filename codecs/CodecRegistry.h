// One table of the file types Velmora reads and writes: for each extension a
// source factory, a sink factory and a quick information probe. The command
// line tool, the length probe and the pages all look types up here.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "engine/ACS_Classes.h"

// Options of one job, by name with the leading dashes ("--bitrate"). A flag
// has no values; a repeatable option keeps every value in order.
struct TJobOptions {
  std::map<std::string, std::vector<std::string>> Values;

  bool Has(const std::string& Name) const { return Values.count(Name) != 0; }
  // The last value given, or Default.
  std::string Text(const std::string& Name, const std::string& Default = "") const;
  // The last value as a whole number; raises EACSException naming the option
  // when it is not one.
  long long Int(const std::string& Name, long long Default) const;
  double Real(const std::string& Name, double Default) const;
  std::vector<std::string> All(const std::string& Name) const;
};

// What "info" reports. Samples are sample frames, Bytes PCM bytes.
struct TFileInfo {
  bool Valid = false;
  int Channels = 0;
  int Rate = 0;
  int Bits = 0;
  int64_t Samples = 0;
  int64_t Bytes = 0;
  // Whole seconds, rounded to the nearest; -1 when not known.
  int64_t Seconds = 0;
  // Further "key", "value" lines of this type, in order (MP3: the bit rate,
  // whether it varies, the ID3 version 1 fields).
  std::vector<std::pair<std::string, std::string>> Extra;
};

struct TCodecEntry {
  std::string Extension;                  // lower case, with the dot: ".wav"
  std::vector<std::string> ValueOptions;  // options of this type that take a value
  std::vector<std::string> FlagOptions;   // options of this type without a value
  // A source reading File, owned by Owner. Null when the type cannot be read.
  std::function<TACSInput*(TComponent* Owner, const std::string& File, const TJobOptions& Options)>
      MakeSource;
  // A sink writing File (not yet run), owned by Owner. Null when the type
  // cannot be written.
  // The sink starts with the values the Settings page starts with (MP3 128
  // kbit/s, Ogg quality 0.5, FLAC mid-side stereo on and loose mid-side off,
  // APE level 2000) and then takes the options given, through SetSinkOptions.
  std::function<TACSOutput*(TComponent* Owner, const std::string& File, const TJobOptions& Options)>
      MakeSink;
  // Sets on a sink made by MakeSink the options that Options holds, leaving
  // every other value as it is, so that values copied in from elsewhere (the
  // saved settings) keep what the options do not name. Raises EACSException
  // naming the option when a value is not acceptable. Null when the type has
  // no sink.
  std::function<void(TACSOutput* Sink, const TJobOptions& Options)> SetSinkOptions;
  // Format and length of File, opening nothing for longer than the call.
  std::function<TFileInfo(const std::string& File)> Info;
  // For a type that a decoder component of its own also turns into WAV
  // (MP3): decodes File into a 16-bit PCM WAV image, written to the file WavFile or, when WavFile
  // is empty, to WavStream. Blocks until the decoding ends; Poll (when set) is called about every
  // 50 ms with the progress percentage and returns false to cut the decoding short (the image then
  // ends with what was decoded, under a true header). False when nothing could be decoded; raises
  // when a file cannot be opened, the decoder library is missing, or the decoding failed part-way
  // (a read or write error: the message gives its reason).
  std::function<bool(const std::string& File, const std::string& WavFile, TStream* WavStream,
                     const std::function<bool(int Percent)>& Poll)>
      DecodeToWav;
};

// Every known type, in a fixed order.
const std::vector<TCodecEntry>& Codecs();
// The entry for FileName's extension (compared without regard to case), or
// null.
const TCodecEntry* FindCodecFor(const std::string& FileName);
// The extension of FileName in lower case with its dot, or "".
std::string LowerExtension(const std::string& FileName);
// Fills an info record from a file source's queries.
TFileInfo InfoFromFileIn(TACSFileIn& In);

// The source and the probe of a type that the file source TIn reads:
// MakeSource and Info each make a TIn on File.
template <class TIn>
void SetFileSource(TCodecEntry& E) {
  E.MakeSource = [](TComponent* Owner, const std::string& File, const TJobOptions&) -> TACSInput* {
    auto* In = new TIn(Owner);
    In->SetFileName(File);
    return In;
  };
  E.Info = [](const std::string& File) {
    TOwned<TIn> In(new TIn(nullptr));
    In->SetFileName(File);
    return InfoFromFileIn(*In);
  };
}

// The sink of a type that TOut writes, once E.SetSinkOptions is set: MakeSink
// makes a TOut on File, gives it the type's starting values by
// Defaults(TOut*), then the job's options through SetSinkOptions.
template <class TOut, class FDefaults>
void SetFileSink(TCodecEntry& E, FDefaults Defaults) {
  E.MakeSink = [Set = E.SetSinkOptions, Defaults](TComponent* Owner, const std::string& File,
                                                  const TJobOptions& O) -> TACSOutput* {
    auto* Out = new TOut(Owner);
    Out->SetFileName(File);
    Defaults(Out);
    Set(Out, O);
    return Out;
  };
}
