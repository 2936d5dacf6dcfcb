// One file converted into another by one engine chain, as "convert" runs it
// and "batch" runs many: the checks made before anything is written, the
// source and sink made from the files' types, and what is said afterwards.
#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <string>

#include "codecs/CodecRegistry.h"
#include "engine/ACS_Classes.h"

// Warns when a file source ends before the length its header declares: the
// job converts what is there, which is most likely not all there was.
class TTruncationCheck {
 public:
  // Before the job, with the file held open.
  void Start(TACSFileIn& In);
  // After a job that ended normally: the warning ("" when the file was
  // read to the end its header declares).
  std::string Warning(const TACSInput& In) const;

 private:
  std::string FName;
  int64_t FFrameBytes = 0;
  int FRate = 0;
  int64_t FDeclared = 0, FFirst = 0, FWanted = 0;
};

// A conversion ready to run: its own owner component holds source and sink.
struct TConversion {
  TOwned<TComponent> Job;
  TACSInput* Source = nullptr;
  TACSOutput* Sink = nullptr;
  TTruncationCheck Check;
};

// The options "convert" takes: --start, --end, --settings and every type's
// own.
void ConvertOptionNames(std::set<std::string>& ValueOptions, std::set<std::string>& FlagOptions);

// Checks InName and OutName (types, readable, not the same file, --append
// on a type that can append, --start/--end within the file) and makes the
// chain, not yet run. Raises EACSException with the reason.
std::unique_ptr<TConversion> MakeConversion(const std::string& InName, const std::string& OutName,
                                            const TJobOptions& Options);

// Gives the output of a finished conversion the tags of its source (title,
// names, numbers, the front cover) that it does not have yet; the MP3 tag
// options given (--title, --artist, --album, --year, --track, --comment)
// win over the source's. Nothing for an appended output. "" when done,
// otherwise why not.
std::string CarryTags(const std::string& InName, const std::string& OutName,
                      const TJobOptions& Options);

// What the encoder had to change of what it was given (an MP3 bit rate the
// sample rate does not allow); "" when nothing, and for other sinks.
std::string EncoderChanges(const TACSOutput& Sink);
