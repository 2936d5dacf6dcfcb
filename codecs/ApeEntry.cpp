// The APE line of the file-type table: TMACOut writes at --level (2000 unless
// given), TMACIn reads.
#include "codecs/ACS_MAC.h"
#include "codecs/CodecRegistry.h"

TCodecEntry ApeEntry() {
  TCodecEntry E;
  E.Extension = ".ape";
  E.ValueOptions = {"--level"};
  E.SetSinkOptions = [](TACSOutput* Sink, const TJobOptions& O) {
    if (!O.Has("--level")) return;
    const long long Level = O.Int("--level", APE_LEVEL_NORMAL);
    // The component quietly stores a wrong level as 2000; a typed one is refused.
    if (Level != APE_LEVEL_FAST && Level != APE_LEVEL_NORMAL && Level != APE_LEVEL_HIGH &&
        Level != APE_LEVEL_EXTRA_HIGH)
      throw EACSException("Option --level needs 1000, 2000, 3000 or 4000");
    static_cast<TMACOut*>(Sink)->SetCompressionLevel(static_cast<int>(Level));
  };
  SetFileSource<TMACIn>(E);
  SetFileSink<TMACOut>(E, [](TMACOut* Out) {
    Out->SetCompressionLevel(APE_LEVEL_NORMAL);
    Out->SetMaxAudioBytes(-1);
  });
  return E;
}
