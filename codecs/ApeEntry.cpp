// The APE line of the file-type table: TMACOut writes at --level (2000 unless
// given), TMACIn reads.
#include "codecs/ACS_MAC.h"
#include "codecs/CodecRegistry.h"

TCodecEntry ApeEntry() {
  TCodecEntry E;
  E.Extension = ".ape";
  E.ValueOptions = {"--level"};
  E.MakeSource = [](TComponent* Owner, const std::string& File, const TJobOptions&) {
    auto* In = new TMACIn(Owner);
    In->SetFileName(File);
    return static_cast<TACSInput*>(In);
  };
  E.SetSinkOptions = [](TACSOutput* Sink, const TJobOptions& O) {
    if (!O.Has("--level")) return;
    const long long Level = O.Int("--level", APE_LEVEL_NORMAL);
    // The component quietly stores a wrong level as 2000; a typed one is refused.
    if (Level != APE_LEVEL_FAST && Level != APE_LEVEL_NORMAL && Level != APE_LEVEL_HIGH &&
        Level != APE_LEVEL_EXTRA_HIGH)
      throw EACSException("Option --level needs 1000, 2000, 3000 or 4000");
    static_cast<TMACOut*>(Sink)->SetCompressionLevel(static_cast<int>(Level));
  };
  E.MakeSink = [Set = E.SetSinkOptions](TComponent* Owner, const std::string& File,
                                        const TJobOptions& O) {
    auto* Out = new TMACOut(Owner);
    Out->SetFileName(File);
    Out->SetCompressionLevel(APE_LEVEL_NORMAL);
    Out->SetMaxAudioBytes(-1);
    Set(Out, O);
    return static_cast<TACSOutput*>(Out);
  };
  E.Info = [](const std::string& File) {
    TOwned<TMACIn> In(new TMACIn(nullptr));
    In->SetFileName(File);
    return InfoFromFileIn(*In);
  };
  return E;
}
