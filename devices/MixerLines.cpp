#include "devices/MixerLines.h"

namespace {

// Equal when the bytes match, ASCII letters in any case; other bytes (the
// UTF-8 of Chinese names) must match exactly.
bool SameName(const std::string& A, const char* B) {
  size_t I = 0;
  for (; I < A.size() && B[I]; ++I) {
    unsigned char X = static_cast<unsigned char>(A[I]), Y = static_cast<unsigned char>(B[I]);
    if (X >= 'a' && X <= 'z') X = static_cast<unsigned char>(X - 'a' + 'A');
    if (Y >= 'a' && Y <= 'z') Y = static_cast<unsigned char>(Y - 'a' + 'A');
    if (X != Y) return false;
  }
  return I == A.size() && !B[I];
}

bool IsMicrophone(const std::string& Name) {
  return SameName(Name, "\xE9\xBA\xA6\xE5\x85\x8B\xE9\xA3\x8E") ||  // 麦克风
         SameName(Name, "MICROPHONE");
}

bool IsStereoMix(const std::string& Name) {
  return SameName(Name,
                  "\xE7\xAB\x8B\xE4\xBD\x93\xE5\xA3\xB0\xE6\xB7\xB7\xE9\x9F\xB3") ||  // 立体声混音
         SameName(Name, "Stereo Mix");
}

}  // namespace

TMixerLineIndices FindMixerLines(const TMixerLineNames& Destinations) {
  TMixerLineIndices R;
  for (size_t D = 0; D < Destinations.size(); ++D) {
    const auto& Lines = Destinations[D];
    for (size_t I = 0; I < Lines.size(); ++I) {
      const int Index = static_cast<int>(I);
      if (D == 0 && IsMicrophone(Lines[I])) R.MicOutput = Index;
      if (D == 1 && IsMicrophone(Lines[I])) R.MicRecord = Index;
      if (D == 1 && IsStereoMix(Lines[I])) R.StereoMix = Index;
    }
  }
  return R;
}

TMixerLineNames MixerLineNames(TAudioMixer2& Mixer) {
  TMixerLineNames Names;
  Mixer.SetMixerID(0);
  for (uint32_t D = 0; D < Mixer.DestinationCount(); ++D) {
    Mixer.SetDestinationID(D);
    auto& Lines = Names.emplace_back();
    for (int I = 0; I < Mixer.LineCount(); ++I) Lines.push_back(Mixer.Lines(I)->Name());
  }
  return Names;
}

TAudioMixerLine* MixerSourceLine(TAudioMixer2& Mixer, uint32_t Destination, int Line) {
  if (Line < 0) return nullptr;
  Mixer.SetDestinationID(Destination);
  return Mixer.Lines(Line);
}

void RouteMicrophone(TAudioMixer2& Mixer, const TMixerLineIndices& Lines, int OutputPercent,
                     int RecordPercent) {
  if (TAudioMixerLine* Out = MixerSourceLine(Mixer, 0, Lines.MicOutput)) Out->SetMute(false);
  if (MixerSourceLine(Mixer, 1, Lines.MicRecord))
    Mixer.Destination()->SelectSource(Lines.MicRecord);
  if (TAudioMixerLine* Out = MixerSourceLine(Mixer, 0, Lines.MicOutput))
    Out->SetVolume(OutputPercent);
  if (TAudioMixerLine* Rec = MixerSourceLine(Mixer, 1, Lines.MicRecord))
    Rec->SetVolume(RecordPercent);
}

void RouteStereoMix(TAudioMixer2& Mixer, const TMixerLineIndices& Lines, int OutputPercent,
                    int MixPercent) {
  if (TAudioMixerLine* Out = MixerSourceLine(Mixer, 0, Lines.MicOutput)) Out->SetMute(false);
  if (MixerSourceLine(Mixer, 1, Lines.StereoMix))
    Mixer.Destination()->SelectSource(Lines.StereoMix);
  if (TAudioMixerLine* Out = MixerSourceLine(Mixer, 0, Lines.MicOutput))
    Out->SetVolume(OutputPercent);
  if (TAudioMixerLine* Mix = MixerSourceLine(Mixer, 1, Lines.StereoMix)) Mix->SetVolume(MixPercent);
}

void EndMicrophoneRouting(TAudioMixer2& Mixer, const TMixerLineIndices& Lines) {
  if (TAudioMixerLine* Out = MixerSourceLine(Mixer, 0, Lines.MicOutput)) Out->SetMute(true);
}
