#include "devices/Volumes.h"

#include "platform/DeviceVolumes.h"
#include "platform/Mixer.h"

namespace {
const TOutputKind kKinds[TVolumeControl::kIndices] = {TOutputKind::Aux, TOutputKind::Wave,
                                                      TOutputKind::Midi};

bool ValidIndex(int Index) { return Index >= 0 && Index < TVolumeControl::kIndices; }
}  // namespace

TVolumeControl::TVolumeControl(TComponent* AOwner) : TComponent(AOwner) {
  for (int I = 0; I < kIndices; ++I) {
    const uint32_t Count = OutputDeviceCount(kKinds[I]);
    for (uint32_t D = 0; D < Count; ++D) {
      if (!OutputSupportsVolume(kKinds[I], D)) continue;
      FDevice[I] = static_cast<int>(D);
      FTimerEnabled = true;
      break;
    }
  }
}

TVolumeControl::~TVolumeControl() {
  for (TVolumeTrackBar* B : FBar)
    if (B) B->SetOnChange({});
}

int TVolumeControl::DeviceOf(int Index) const { return ValidIndex(Index) ? FDevice[Index] : -1; }

uint8_t TVolumeControl::GetByIndex(int Index) {
  if (DeviceOf(Index) < 0) return 0;
  uint32_t V = 0;
  if (GetOutputVolume(kKinds[Index], static_cast<uint32_t>(FDevice[Index]), V) != kMixerNoError)
    return 0;
  return static_cast<uint8_t>(((V & 0xFFFF) + (V >> 16)) / 512);
}

void TVolumeControl::SetByIndex(int Index, uint8_t Value) {
  if (DeviceOf(Index) < 0) return;
  SetOutputVolume(kKinds[Index], static_cast<uint32_t>(FDevice[Index]), Value * 0x01000100u);
}

TVolumeTrackBar* TVolumeControl::TrackBar(int Index) const {
  return ValidIndex(Index) ? FBar[Index] : nullptr;
}

void TVolumeControl::SetTrackBar(int Index, TVolumeTrackBar* Bar) {
  if (!ValidIndex(Index)) return;
  if (FBar[Index] && FBar[Index] != Bar) FBar[Index]->SetOnChange({});
  FBar[Index] = Bar;
  Synchronise(Index);
}

void TVolumeControl::Tick() {
  for (int I = 0; I < kIndices; ++I) Synchronise(I);
}

void TVolumeControl::Synchronise(int Index) {
  TVolumeTrackBar* B = FBar[Index];
  if (!B) return;
  // The bar moves to the volume without its change event writing the same
  // value back.
  B->SetOnChange({});
  B->SetRange(0, 255);
  const int V = GetByIndex(Index);
  B->SetPosition(B->Vertical() ? 255 - V : V);
  B->SetOnChange([this, Index] { BarChanged(Index); });
}

void TVolumeControl::BarChanged(int Index) {
  TVolumeTrackBar* B = FBar[Index];
  if (!B) return;
  int P = B->Position();
  if (B->Vertical()) P = 255 - P;
  if (P < 0) P = 0;
  if (P > 255) P = 255;
  SetByIndex(Index, static_cast<uint8_t>(P));
}
