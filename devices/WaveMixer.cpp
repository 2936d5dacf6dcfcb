#include "devices/WaveMixer.h"

#include <algorithm>
#include <limits>

int32_t MulDiv(int32_t A, int32_t B, int32_t C) {
  if (C == 0) return -1;
  const int64_t P = static_cast<int64_t>(A) * B;
  const int64_t Abs = (P < 0 ? -P : P) + (C < 0 ? -static_cast<int64_t>(C) : C) / 2;
  int64_t Q = Abs / (C < 0 ? -static_cast<int64_t>(C) : C);
  if ((P < 0) != (C < 0)) Q = -Q;
  if (Q > std::numeric_limits<int32_t>::max() || Q < std::numeric_limits<int32_t>::min()) return -1;
  return static_cast<int32_t>(Q);
}

int SelectorItem(uint32_t Items, int Index) {
  if (Index < 0 || static_cast<uint32_t>(Index) >= Items) return -1;
  return static_cast<int>(Items) - 1 - Index;
}

// ---------------------------------------------------------------------------

TAudioMixerLine::TAudioMixerLine(TAudioMixer2* Mixer, int SourceIndex)
    : FMixer(Mixer), FSourceIndex(SourceIndex) {
  Read();
}

TMixerDevice* TAudioMixerLine::Device() {
  TMixerDevice* D = FMixer ? FMixer->Device() : nullptr;
  if (!D) FLastResult = kMixerBadDevice;
  return D;
}

void TAudioMixerLine::Read() {
  FInfo = TMixerLineInfo();
  FValid = false;
  FControls = 0;
  for (TMixerControl& C : FControl) C = TMixerControl();
  TMixerDevice* D = Device();
  if (!D) return;
  FLastResult = D->GetLineInfo(FMixer->DestinationID(), FSourceIndex, FInfo);
  if (FLastResult != kMixerNoError) {
    FInfo = TMixerLineInfo();
    return;
  }
  FValid = true;
  for (int T = mcVolume; T <= mcSelect; ++T) {
    FLastResult = D->GetLineControl(FInfo.LineId, static_cast<TMixerControlKind>(T), FControl[T]);
    if (FLastResult == kMixerNoError) FControls |= 1u << T;
  }
}

void TAudioMixerLine::SetVolume(int Percent) {
  if (!HasControl(mcVolume)) {
    FLastResult = kMixerInvalidControl;
    return;
  }
  TMixerDevice* D = Device();
  if (!D) return;
  Percent = std::clamp(Percent, 0, 100);
  const int32_t Value = MulDiv(FControl[mcVolume].Maximum, Percent, 100);
  FLastResult = D->SetControlValues(FControl[mcVolume].Id, {Value});
}

void TAudioMixerLine::SetMute(bool Value) {
  if (!HasControl(mcMute)) {
    FLastResult = kMixerInvalidControl;
    return;
  }
  TMixerDevice* D = Device();
  if (!D) return;
  FLastResult = D->SetControlValues(FControl[mcMute].Id, {Value ? 1 : 0});
}

void TAudioMixerLine::SelectSource(int Index) {
  if (!HasControl(mcSelect)) {
    FLastResult = kMixerInvalidControl;
    return;
  }
  const uint32_t Items = FControl[mcSelect].Items;
  const int Item = SelectorItem(Items, Index);
  if (Item < 0) {
    FLastResult = kMixerInvalidParam;
    return;
  }
  TMixerDevice* D = Device();
  if (!D) return;
  std::vector<int32_t> Values(Items, 0);
  Values[static_cast<size_t>(Item)] = 1;
  FLastResult = D->SetControlValues(FControl[mcSelect].Id, Values);
}

int TAudioMixerLine::Volume() {
  if (!HasControl(mcVolume)) {
    FLastResult = kMixerInvalidControl;
    return -1;
  }
  TMixerDevice* D = Device();
  if (!D) return -1;
  std::vector<int32_t> Values;
  FLastResult = D->GetControlValues(FControl[mcVolume].Id, Values);
  if (FLastResult != kMixerNoError || Values.empty() || FControl[mcVolume].Maximum <= 0) return -1;
  return MulDiv(Values[0], 100, FControl[mcVolume].Maximum);
}

bool TAudioMixerLine::Mute() {
  if (!HasControl(mcMute)) {
    FLastResult = kMixerInvalidControl;
    return false;
  }
  TMixerDevice* D = Device();
  if (!D) return false;
  std::vector<int32_t> Values;
  FLastResult = D->GetControlValues(FControl[mcMute].Id, Values);
  return FLastResult == kMixerNoError && !Values.empty() && Values[0] != 0;
}

int TAudioMixerLine::SelectedSource() {
  if (!HasControl(mcSelect)) {
    FLastResult = kMixerInvalidControl;
    return -1;
  }
  TMixerDevice* D = Device();
  if (!D) return -1;
  std::vector<int32_t> Values;
  FLastResult = D->GetControlValues(FControl[mcSelect].Id, Values);
  if (FLastResult != kMixerNoError) return -1;
  const uint32_t Items = static_cast<uint32_t>(Values.size());
  for (uint32_t K = 0; K < Items; ++K)
    if (Values[K] != 0)
      return SelectorItem(Items, static_cast<int>(K));  // the mapping is its own inverse
  return -1;
}

// ---------------------------------------------------------------------------

TAudioMixer2::TAudioMixer2(TComponent* AOwner)
    : TComponent(AOwner), FService(&CurrentMixerService()) {
  OpenMixer();
}

TAudioMixer2::~TAudioMixer2() {
  // No notification arrives once the device is closed.
  FLines.clear();
  FDevice.reset();
}

void TAudioMixer2::OpenMixer() {
  FLines.clear();
  FDevice.reset();
  FMixerName.clear();
  FDestinations = 0;
  FService->GetDeviceCaps(FMixerID, FMixerName, FDestinations);
  FOpenResult = FService->Open(
      FMixerID, [this](TMixerChange Change, uint32_t Id) { Queue(Change, Id); }, FDevice);
  if (FDestinationID >= FDestinations) FDestinationID = 0;
  BuildLines();
}

void TAudioMixer2::BuildLines() {
  FLines.clear();
  if (FDestination)
    FDestination->Read();
  else
    FDestination = std::make_unique<TAudioMixerLine>(this, -1);
  const uint32_t Count = FDestination->Info().Connections;
  for (uint32_t I = 0; I < Count; ++I)
    FLines.push_back(std::make_unique<TAudioMixerLine>(this, static_cast<int>(I)));
}

void TAudioMixer2::SetMixerID(uint32_t Value) {
  if (Value == FMixerID || Value >= DeviceCount()) return;
  FMixerID = Value;
  OpenMixer();
}

void TAudioMixer2::SetMixerName(const std::string& Value) {
  std::vector<std::string> Names;
  GetMixerNames(Names);
  auto It = std::find(Names.begin(), Names.end(), Value);
  if (It != Names.end()) SetMixerID(static_cast<uint32_t>(It - Names.begin()));
}

void TAudioMixer2::SetDestinationID(uint32_t Value) {
  if (Value == FDestinationID) return;
  FDestinationID = Value;
  BuildLines();
}

void TAudioMixer2::SetDestinationName(const std::string& Value) {
  std::vector<std::string> Names;
  GetDestinationNames(Names);
  auto It = std::find(Names.begin(), Names.end(), Value);
  if (It != Names.end()) SetDestinationID(static_cast<uint32_t>(It - Names.begin()));
}

uint32_t TAudioMixer2::DeviceCount() { return FService->DeviceCount(); }

int TAudioMixer2::GetMixerNames(std::vector<std::string>& Names) {
  const uint32_t Count = DeviceCount();
  for (uint32_t I = 0; I < Count; ++I) {
    std::string Name;
    uint32_t Destinations = 0;
    FService->GetDeviceCaps(I, Name, Destinations);
    Names.push_back(Name);
  }
  return static_cast<int>(Count);
}

int TAudioMixer2::GetDestinationNames(std::vector<std::string>& Names) {
  for (uint32_t D = 0; D < FDestinations; ++D) {
    TMixerLineInfo Info;
    if (FDevice) FDevice->GetLineInfo(D, -1, Info);
    Names.push_back(Info.Name);
  }
  return static_cast<int>(FDestinations);
}

TAudioMixerLine* TAudioMixer2::Lines(int Index) const {
  if (Index < 0 || static_cast<size_t>(Index) >= FLines.size()) return nullptr;
  return FLines[static_cast<size_t>(Index)].get();
}

void TAudioMixer2::SetOnNotifyPending(std::function<void(TAudioMixer2*)> Handler) {
  std::lock_guard<std::mutex> L(FNotifyLock);
  FOnNotifyPending = std::move(Handler);
}

void TAudioMixer2::Queue(TMixerChange Change, uint32_t Id) {
  // The hook runs with the lock held, so that once SetOnNotifyPending has
  // replaced it, the old one is not running and never runs again.
  std::lock_guard<std::mutex> L(FNotifyLock);
  FPending.emplace_back(Change, Id);
  if (FOnNotifyPending) FOnNotifyPending(this);
}

void TAudioMixer2::ProcessNotifications() {
  std::vector<std::pair<TMixerChange, uint32_t>> Pending;
  {
    std::lock_guard<std::mutex> L(FNotifyLock);
    Pending.swap(FPending);
  }
  // Each change is matched against the lines as they are when it is handled:
  // a handler may change the destination and so rebuild the lines.
  for (const auto& [Change, Id] : Pending) {
    if (Change == TMixerChange::Line) {
      TAudioMixerLine* Line = nullptr;
      if (FDestination->Valid() && FDestination->Info().LineId == Id) Line = FDestination.get();
      for (size_t I = 0; !Line && I < FLines.size(); ++I)
        if (FLines[I]->Valid() && FLines[I]->Info().LineId == Id) Line = FLines[I].get();
      if (Line && OnLineChange) OnLineChange(this, Line);
      continue;
    }
    auto Holds = [Id = Id](TAudioMixerLine& L, TMixerControlType& Type) {
      for (int T = mcVolume; T <= mcSelect; ++T) {
        const auto Ty = static_cast<TMixerControlType>(T);
        if (L.HasControl(Ty) && L.Control(Ty).Id == Id) {
          Type = Ty;
          return true;
        }
      }
      return false;
    };
    TMixerControlType Type = mcVolume;
    TAudioMixerLine* Line = Holds(*FDestination, Type) ? FDestination.get() : nullptr;
    for (size_t I = 0; !Line && I < FLines.size(); ++I)
      if (Holds(*FLines[I], Type)) Line = FLines[I].get();
    if (Line && OnControlChange) OnControlChange(this, Line, Type);
  }
}
