// The mixer components' own logic, on a small in-process mixer service: the
// volume and selector arithmetic, result codes, destination changes and the
// routing of change notifications. Also the device volumes on the virtual
// sound card and the loopback that carries microphone monitoring.
#include "platform/Mixer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <map>
#include <thread>

#include "devices/Volumes.h"
#include "devices/WaveMixer.h"
#include "platform/DeviceVolumes.h"
#include "platform/PulseMixer.h"
#include "platform/SoundLoopback.h"
#include "platform/VirtualSoundCard.h"

namespace {

// Destinations of lines; each line has an identifier and some controls. Every
// value set is recorded.
struct TFakeLine {
  std::string Name;
  bool Volume = true, Mute = true;
  uint32_t SelectItems = 0;  // 0 = no selector
  int32_t VolumeMax = 65535;
};

struct TFakeDestination {
  TFakeLine Line;
  std::vector<TFakeLine> Sources;
};

struct TFakeState {
  std::vector<std::vector<TFakeDestination>> Devices;           // per device: destinations
  std::vector<std::pair<uint32_t, std::vector<int32_t>>> Sent;  // control id, values
  std::map<uint32_t, std::vector<int32_t>> Current;             // control id -> values
  int Opens = 0;
  TMixerNotify Notify;
};

// Identifiers: line = device*10000 + destination*100 + source+1; control =
// line*4 + kind.
uint32_t LineIdOf(uint32_t Device, uint32_t D, int32_t S) {
  return Device * 10000 + D * 100 + static_cast<uint32_t>(S + 1);
}

class TFakeDevice : public TMixerDevice {
 public:
  TFakeDevice(TFakeState& S, uint32_t Device) : FS(S), FDevice(Device) {}
  uint32_t DestinationCount() override { return static_cast<uint32_t>(Dests().size()); }
  uint32_t GetLineInfo(uint32_t D, int32_t Source, TMixerLineInfo& Info) override {
    if (D >= Dests().size()) return kMixerInvalidLine;
    const TFakeDestination& Dest = Dests()[D];
    if (Source < -1 || Source >= static_cast<int32_t>(Dest.Sources.size()))
      return kMixerInvalidLine;
    const TFakeLine& L = Source < 0 ? Dest.Line : Dest.Sources[static_cast<size_t>(Source)];
    Info = TMixerLineInfo();
    Info.LineId = LineIdOf(FDevice, D, Source);
    Info.Destination = D;
    Info.Source = Source;
    Info.Channels = 2;
    Info.Connections = Source < 0 ? static_cast<uint32_t>(Dest.Sources.size()) : 0;
    Info.Name = L.Name;
    return kMixerNoError;
  }
  uint32_t GetLineControl(uint32_t LineId, TMixerControlKind Kind, TMixerControl& C) override {
    const TFakeLine* L = Find(LineId);
    if (!L) return kMixerInvalidLine;
    const bool Has = Kind == TMixerControlKind::Volume ? L->Volume
                     : Kind == TMixerControlKind::Mute ? L->Mute
                                                       : L->SelectItems > 0;
    if (!Has) return kMixerInvalidControl;
    C = TMixerControl();
    C.Id = LineId * 4 + static_cast<uint32_t>(Kind);
    C.Kind = Kind;
    C.Items = Kind == TMixerControlKind::Select ? L->SelectItems : 0;
    C.Maximum = Kind == TMixerControlKind::Volume ? L->VolumeMax : 1;
    return kMixerNoError;
  }
  uint32_t SetControlValues(uint32_t Id, const std::vector<int32_t>& Values) override {
    FS.Sent.emplace_back(Id, Values);
    FS.Current[Id] = Values;
    return kMixerNoError;
  }
  uint32_t GetControlValues(uint32_t Id, std::vector<int32_t>& Values) override {
    auto It = FS.Current.find(Id);
    if (It == FS.Current.end()) return kMixerInvalidControl;
    Values = It->second;
    return kMixerNoError;
  }

 private:
  const std::vector<TFakeDestination>& Dests() const { return FS.Devices[FDevice]; }
  const TFakeLine* Find(uint32_t LineId) const {
    for (uint32_t D = 0; D < Dests().size(); ++D)
      for (int32_t S = -1; S < static_cast<int32_t>(Dests()[D].Sources.size()); ++S)
        if (LineIdOf(FDevice, D, S) == LineId)
          return S < 0 ? &Dests()[D].Line : &Dests()[D].Sources[static_cast<size_t>(S)];
    return nullptr;
  }
  TFakeState& FS;
  uint32_t FDevice;
};

class TFakeService : public TMixerService {
 public:
  explicit TFakeService(TFakeState& S) : FS(S) {}
  uint32_t DeviceCount() override { return static_cast<uint32_t>(FS.Devices.size()); }
  uint32_t GetDeviceCaps(uint32_t Device, std::string& Name, uint32_t& Destinations) override {
    if (Device >= FS.Devices.size()) return kMixerBadDevice;
    Name = "Card " + std::to_string(Device);
    Destinations = static_cast<uint32_t>(FS.Devices[Device].size());
    return kMixerNoError;
  }
  uint32_t Open(uint32_t Device, TMixerNotify Notify,
                std::unique_ptr<TMixerDevice>& Opened) override {
    if (Device >= FS.Devices.size()) return kMixerBadDevice;
    ++FS.Opens;
    FS.Notify = std::move(Notify);
    Opened = std::make_unique<TFakeDevice>(FS, Device);
    return kMixerNoError;
  }

 private:
  TFakeState& FS;
};

// A card like a desktop's: playback with a master line and two sources;
// recording with a selector over five inputs.
TFakeState DesktopCard() {
  TFakeState S;
  TFakeDestination Playback{{"Master", true, true, 0}, {{"Microphone"}, {"Wave", true, false}}};
  TFakeDestination Recording{{"Recording", false, false, 5},
                             {{"CD"}, {"Line In"}, {"Microphone"}, {"Stereo Mix"}, {"Aux"}}};
  S.Devices.push_back({Playback, Recording});
  return S;
}

class MixerLogic : public ::testing::Test {
 protected:
  void SetUp() override { UseMixerService(&Service); }
  void TearDown() override { UseMixerService(nullptr); }
  TFakeState State = DesktopCard();
  TFakeService Service{State};
};

TEST(MixerArithmetic, MulDivRoundsHalfAwayFromZeroAndRefusesWhatDoesNotFit) {
  EXPECT_EQ(MulDiv(65535, 50, 100), 32768);  // 32767.5
  EXPECT_EQ(MulDiv(65535, 49, 100), 32112);  // 32112.15
  EXPECT_EQ(MulDiv(-65535, 50, 100), -32768);
  EXPECT_EQ(MulDiv(65535, 50, -100), -32768);
  EXPECT_EQ(MulDiv(7, 1, 2), 4);
  EXPECT_EQ(MulDiv(5, 1, 3), 2);
  EXPECT_EQ(MulDiv(1, 1, 0), -1);
  EXPECT_EQ(MulDiv(0x7FFFFFFF, 4, 2), -1);
  EXPECT_EQ(MulDiv(0x7FFFFFFF, 0x7FFFFFFF, 0x7FFFFFFF), 0x7FFFFFFF);
}

TEST(MixerArithmetic, SelectorItemsRunAgainstTheSourceOrder) {
  EXPECT_EQ(SelectorItem(5, 0), 4);
  EXPECT_EQ(SelectorItem(5, 4), 0);
  EXPECT_EQ(SelectorItem(5, 2), 2);
  EXPECT_EQ(SelectorItem(1, 0), 0);
  EXPECT_EQ(SelectorItem(5, 5), -1);
  EXPECT_EQ(SelectorItem(5, -1), -1);
  EXPECT_EQ(SelectorItem(0, 0), -1);
}

TEST(MixerArithmetic, DeviceVolumesSurviveTheTripThroughServerVolumes) {
  for (uint32_t V = 0; V <= 0xFFFF; ++V)
    ASSERT_EQ(PulseToChannelVolume(ChannelVolumeToPulse(static_cast<uint16_t>(V))), V);
  EXPECT_EQ(ChannelVolumeToPulse(0xFFFF), PA_VOLUME_NORM);
  EXPECT_EQ(ChannelVolumeToPulse(0), PA_VOLUME_MUTED);
  EXPECT_EQ(PulseToChannelVolume(2 * PA_VOLUME_NORM), 0xFFFF);  // above normal reads as full
  pa_cvolume V;
  PlaybackVolumeToPulse(0xFFFF0000u, 2, V);  // left silent, right full
  EXPECT_EQ(V.channels, 2);
  EXPECT_EQ(V.values[0], PA_VOLUME_MUTED);
  EXPECT_EQ(V.values[1], PA_VOLUME_NORM);
  PlaybackVolumeToPulse(0xFFFF0000u, 1, V);  // mono: the average
  EXPECT_EQ(V.channels, 1);
  EXPECT_EQ(V.values[0], ChannelVolumeToPulse(0x7FFF));
}

TEST(MixerArithmetic, LongNamesAreCutAtACharacterBoundary) {
  EXPECT_EQ(CutUtf8("Stereo Mix", 63), "Stereo Mix");
  const std::string Mic = "\xE9\xBA\xA6\xE5\x85\x8B\xE9\xA3\x8E";  // three 3-byte characters
  EXPECT_EQ(CutUtf8(Mic, 8), Mic.substr(0, 6));
  EXPECT_EQ(CutUtf8(Mic, 9), Mic);
  EXPECT_EQ(CutUtf8(std::string(100, 'a'), 63).size(), 63u);
}

TEST_F(MixerLogic, VolumeIsClampedAndScaledToTheFaderMaximum) {
  auto M = MakeComponent<TAudioMixer2>(nullptr);
  ASSERT_EQ(M->LineCount(), 2);
  TAudioMixerLine* Mic = M->Lines(0);
  const uint32_t Fader = Mic->Control(mcVolume).Id;
  Mic->SetVolume(150);
  Mic->SetVolume(-5);
  Mic->SetVolume(50);
  ASSERT_EQ(State.Sent.size(), 3u);
  for (const auto& [Id, Values] : State.Sent) {
    EXPECT_EQ(Id, Fader);
    EXPECT_EQ(Values.size(), 1u);  // one value for all channels
  }
  EXPECT_EQ(State.Sent[0].second[0], 65535);
  EXPECT_EQ(State.Sent[1].second[0], 0);
  EXPECT_EQ(State.Sent[2].second[0], 32768);
  EXPECT_EQ(Mic->LastResult(), kMixerNoError);
  EXPECT_EQ(Mic->Volume(), 50);
  Mic->SetMute(true);
  EXPECT_EQ(State.Sent.back().second, std::vector<int32_t>{1});
  EXPECT_TRUE(Mic->Mute());
  Mic->SetMute(false);
  EXPECT_EQ(State.Sent.back().second, std::vector<int32_t>{0});
}

TEST_F(MixerLogic, MissingControlsAnswer1025AndSendNothing) {
  auto M = MakeComponent<TAudioMixer2>(nullptr);
  TAudioMixerLine* Wave = M->Lines(1);  // a fader but no mute switch
  EXPECT_TRUE(Wave->HasControl(mcVolume));
  EXPECT_FALSE(Wave->HasControl(mcMute));
  Wave->SetMute(true);
  EXPECT_EQ(Wave->LastResult(), 1025u);
  Wave->SelectSource(0);
  EXPECT_EQ(Wave->LastResult(), 1025u);
  M->SetDestinationID(1);
  M->Destination()->SetVolume(80);  // the recording line has only its selector
  EXPECT_EQ(M->Destination()->LastResult(), 1025u);
  EXPECT_TRUE(State.Sent.empty());
}

TEST_F(MixerLogic, SelectingASourceSetsTheItemCountedFromTheEnd) {
  auto M = MakeComponent<TAudioMixer2>(nullptr);
  M->SetDestinationID(1);
  TAudioMixerLine* Rec = M->Destination();
  ASSERT_TRUE(Rec->HasControl(mcSelect));
  Rec->SelectSource(0);
  ASSERT_EQ(State.Sent.size(), 1u);
  EXPECT_EQ(State.Sent[0].first, Rec->Control(mcSelect).Id);
  EXPECT_EQ(State.Sent[0].second, (std::vector<int32_t>{0, 0, 0, 0, 1}));
  EXPECT_EQ(Rec->SelectedSource(), 0);
  Rec->SelectSource(3);  // "Stereo Mix"
  EXPECT_EQ(State.Sent.back().second, (std::vector<int32_t>{0, 1, 0, 0, 0}));
  EXPECT_EQ(Rec->SelectedSource(), 3);
  EXPECT_EQ(M->Lines(3)->Name(), "Stereo Mix");
  // Out of range: result 11 and nothing changes.
  Rec->SelectSource(5);
  EXPECT_EQ(Rec->LastResult(), 11u);
  Rec->SelectSource(-1);
  EXPECT_EQ(Rec->LastResult(), 11u);
  EXPECT_EQ(State.Sent.size(), 2u);
  EXPECT_EQ(Rec->SelectedSource(), 3);
}

TEST_F(MixerLogic, DestinationChangesRebuildTheLinesInOrder) {
  auto M = MakeComponent<TAudioMixer2>(nullptr);
  EXPECT_EQ(M->DeviceCount(), 1u);
  EXPECT_EQ(M->MixerName(), "Card 0");
  EXPECT_EQ(M->DestinationCount(), 2u);
  std::vector<std::string> Names{"kept"};
  EXPECT_EQ(M->GetDestinationNames(Names), 2);
  EXPECT_EQ(Names, (std::vector<std::string>{"kept", "Master", "Recording"}));
  EXPECT_EQ(M->DestinationName(), "Master");
  M->SetDestinationName("Recording");
  EXPECT_EQ(M->DestinationID(), 1u);
  ASSERT_EQ(M->LineCount(), 5);
  for (int I = 0; I < 5; ++I) EXPECT_EQ(M->Lines(I)->SourceIndex(), I);
  EXPECT_EQ(M->Lines(2)->Name(), "Microphone");
  EXPECT_EQ(M->Lines(5), nullptr);
  M->SetDestinationName("No such destination");
  EXPECT_EQ(M->DestinationID(), 1u);
  M->SetDestinationID(0);
  ASSERT_EQ(M->LineCount(), 2);
  EXPECT_EQ(M->Lines(0)->Name(), "Microphone");
  EXPECT_EQ(M->Lines(1)->Name(), "Wave");
  EXPECT_EQ(State.Opens, 1);  // a destination change never reopens the device
}

TEST_F(MixerLogic, ReopeningAnotherDeviceResetsADestinationItLacks) {
  State.Devices.push_back({TFakeDestination{{"Only"}, {{"Line"}}}});
  auto M = MakeComponent<TAudioMixer2>(nullptr);
  std::vector<std::string> Names;
  EXPECT_EQ(M->GetMixerNames(Names), 2);
  EXPECT_EQ(Names, (std::vector<std::string>{"Card 0", "Card 1"}));
  M->SetDestinationID(1);
  M->SetMixerID(5);  // no such device: ignored
  EXPECT_EQ(M->MixerID(), 0u);
  EXPECT_EQ(State.Opens, 1);
  M->SetMixerName("Card 1");
  EXPECT_EQ(M->MixerID(), 1u);
  EXPECT_EQ(State.Opens, 2);
  EXPECT_EQ(M->DestinationID(), 0u);  // device 1 has one destination
  EXPECT_EQ(M->DestinationName(), "Only");
  ASSERT_EQ(M->LineCount(), 1);
  EXPECT_EQ(M->Lines(0)->Name(), "Line");
}

TEST_F(MixerLogic, NotificationsReachTheLineThatHoldsTheChange) {
  auto M = MakeComponent<TAudioMixer2>(nullptr);
  std::vector<std::string> Seen;
  M->OnLineChange = [&](TComponent* Sender, TAudioMixerLine* L) {
    EXPECT_EQ(Sender, M.get());
    Seen.push_back("line " + L->Name() + " " + std::to_string(L->SourceIndex()));
  };
  M->OnControlChange = [&](TComponent*, TAudioMixerLine* L, TMixerControlType T) {
    Seen.push_back("control " + L->Name() + " " + std::to_string(T));
  };
  int Wakes = 0;
  M->SetOnNotifyPending([&](TAudioMixer2* Sender) {
    EXPECT_EQ(Sender, M.get());
    ++Wakes;
  });
  State.Notify(TMixerChange::Line, LineIdOf(0, 0, -1));
  State.Notify(TMixerChange::Line, LineIdOf(0, 0, 1));
  State.Notify(TMixerChange::Control, M->Lines(0)->Control(mcMute).Id);
  State.Notify(TMixerChange::Control, M->Destination()->Control(mcVolume).Id);
  State.Notify(TMixerChange::Line, LineIdOf(0, 1, 2));  // a line of the other destination
  State.Notify(TMixerChange::Control, 999999);
  EXPECT_EQ(Wakes, 6);
  EXPECT_TRUE(Seen.empty());  // nothing is raised until the owner asks
  M->ProcessNotifications();
  EXPECT_EQ(Seen, (std::vector<std::string>{"line Master -1", "line Wave 1", "control Microphone 1",
                                            "control Master 0"}));
  Seen.clear();
  M->ProcessNotifications();
  EXPECT_TRUE(Seen.empty());
}

TEST_F(MixerLogic, AHandlerThatChangesTheDestinationIsSafe) {
  auto M = MakeComponent<TAudioMixer2>(nullptr);
  int Calls = 0;
  M->OnLineChange = [&](TComponent*, TAudioMixerLine*) {
    ++Calls;
    M->SetDestinationID(M->DestinationID() == 0 ? 1 : 0);
  };
  const uint32_t Wave = LineIdOf(0, 0, 1);
  State.Notify(TMixerChange::Line, Wave);
  State.Notify(TMixerChange::Line, Wave);  // destination 1 by then: no such line
  M->ProcessNotifications();
  EXPECT_EQ(Calls, 1);
  EXPECT_EQ(M->DestinationID(), 1u);
}

TEST(MixerWithoutDevice, EverythingIsANoOpWithAResultCode) {
  TFakeState None;
  TFakeService Service(None);
  UseMixerService(&Service);
  auto M = MakeComponent<TAudioMixer2>(nullptr);
  UseMixerService(nullptr);
  EXPECT_EQ(M->OpenResult(), kMixerBadDevice);
  EXPECT_EQ(M->DeviceCount(), 0u);
  EXPECT_EQ(M->DestinationCount(), 0u);
  EXPECT_EQ(M->LineCount(), 0);
  ASSERT_NE(M->Destination(), nullptr);
  EXPECT_EQ(M->DestinationName(), "");
  M->Destination()->SetVolume(50);
  EXPECT_EQ(M->Destination()->LastResult(), 1025u);
  M->Destination()->SelectSource(0);
  std::vector<std::string> Names;
  EXPECT_EQ(M->GetDestinationNames(Names), 0);
  M->SetDestinationID(1);
  EXPECT_EQ(M->LineCount(), 0);
}

// A track bar with nothing behind it.
class TTestBar : public TVolumeTrackBar {
 public:
  explicit TTestBar(bool Vertical) : FVertical(Vertical) {}
  void SetRange(int Minimum, int Maximum) override {
    Min = Minimum;
    Max = Maximum;
  }
  int Position() const override { return Pos; }
  void SetPosition(int Value) override {
    Pos = Value;
    if (Change) Change();
  }
  bool Vertical() const override { return FVertical; }
  void SetOnChange(std::function<void()> Handler) override { Change = std::move(Handler); }
  int Min = -1, Max = -1, Pos = -1;
  std::function<void()> Change;

 private:
  bool FVertical;
};

class VolumeControlVirtual : public ::testing::Test {
 protected:
  void SetUp() override { UseSoundCard(&Card); }
  void TearDown() override {
    SetOutputVolume(TOutputKind::Wave, 0, 0xFFFFFFFFu);
    UseSoundCard(nullptr);
  }
  TVirtualSoundCard Card{1, 2};
};

TEST_F(VolumeControlVirtual, WaveVolumeReadsBackWhatWasSet) {
  auto V = MakeComponent<TVolumeControl>(nullptr);
  EXPECT_EQ(V->Interval(), 500);
  EXPECT_TRUE(V->TimerEnabled());
  EXPECT_EQ(V->DeviceOf(0), -1);  // no CD output
  EXPECT_EQ(V->DeviceOf(1), 0);
  EXPECT_EQ(V->DeviceOf(2), -1);  // no MIDI output
  V->SetByIndex(1, 255);
  uint32_t Word = 0;
  ASSERT_EQ(GetOutputVolume(TOutputKind::Wave, 0, Word), kMixerNoError);
  EXPECT_EQ(Word, 0xFF00FF00u);  // 65280 on both channels
  EXPECT_EQ(V->GetByIndex(1), 255);
  V->SetWaveVolume(1);
  EXPECT_EQ(ProgramPlaybackVolume(), 0x01000100u);
  EXPECT_EQ(V->WaveVolume(), 1);
  // Unequal channels read as their average.
  SetOutputVolume(TOutputKind::Wave, 0, 0xFFFF0000u);
  EXPECT_EQ(V->GetByIndex(1), 127);
  // Indices without a device do nothing and read 0.
  V->SetByIndex(0, 200);
  V->SetByIndex(2, 200);
  V->SetByIndex(7, 200);
  EXPECT_EQ(V->GetByIndex(0), 0);
  EXPECT_EQ(V->MidiVolume(), 0);
  EXPECT_EQ(V->GetByIndex(-1), 0);
  EXPECT_EQ(ProgramPlaybackVolume(), 0xFFFF0000u);
}

TEST_F(VolumeControlVirtual, TrackBarsFollowTheVolumeAndSetIt) {
  auto V = MakeComponent<TVolumeControl>(nullptr);
  V->SetByIndex(1, 200);
  TTestBar Across(false), Upright(true);
  V->SetWaveTrackBar(&Across);  // in step at once
  EXPECT_EQ(Across.Min, 0);
  EXPECT_EQ(Across.Max, 255);
  EXPECT_EQ(Across.Pos, 200);
  EXPECT_EQ(V->GetByIndex(1), 200);  // synchronising wrote nothing back
  Across.SetPosition(90);            // the user moves the bar
  EXPECT_EQ(V->GetByIndex(1), 90);
  V->SetWaveTrackBar(&Upright);
  EXPECT_FALSE(Across.Change);  // the old bar is let go
  EXPECT_EQ(Upright.Pos, 255 - 90);
  Upright.SetPosition(5);  // near the top of a vertical bar: loud
  EXPECT_EQ(V->GetByIndex(1), 250);
  SetOutputVolume(TOutputKind::Wave, 0, 0x40004000u);
  V->Tick();
  EXPECT_EQ(Upright.Pos, 255 - 64);
  // A bar on an index without a device shows 0.
  TTestBar Cd(false);
  V->SetCDTrackBar(&Cd);
  EXPECT_EQ(Cd.Pos, 0);
  TComponent::Free(V.release());
  EXPECT_FALSE(Upright.Change);  // destruction detaches the bars
  EXPECT_FALSE(Cd.Change);
}

TEST(VolumeControlNoSound, NoDevicesNoTimer) {
  TVirtualSoundCard Silent(0, 0);
  UseSoundCard(&Silent);
  auto V = MakeComponent<TVolumeControl>(nullptr);
  EXPECT_FALSE(V->TimerEnabled());
  V->SetByIndex(1, 100);
  EXPECT_EQ(V->GetByIndex(1), 0);
  EXPECT_EQ(ProgramPlaybackVolume(), 0xFFFFFFFFu);
  UseSoundCard(nullptr);
}

TEST(SoundLoopback, CarriesTheRecordingToThePlaybackDeviceInOrder) {
  TVirtualSoundCard Card(1, 2);
  Card.SetSpeed(4);  // four times real time
  const TPcmFormat F{8000, 1, 16};
  {
    TSoundLoopback Loop(Card, 0, 1, F, 10, 4);
    const auto Until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (Card.Played(1).size() < 8000 && std::chrono::steady_clock::now() < Until)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_TRUE(Loop.Error().empty());
  }
  EXPECT_EQ(Card.OpenStreams(), 0);
  const std::vector<uint8_t> P = Card.Played(1);
  ASSERT_GE(P.size(), 8000u);
  EXPECT_TRUE(Card.Played(0).empty());
  EXPECT_LE(Card.MaxHeld(), 4);
  // The virtual microphone waits for blocks, so nothing is lost: the bytes
  // arrive exactly as recorded.
  for (size_t I = 0; I < P.size(); ++I)
    ASSERT_EQ(P[I], TVirtualSoundCard::PatternByte(I)) << "at byte " << I;
}

TEST(SoundLoopback, GainScalesEverySampleWithRoundingAndClipping) {
  TVirtualSoundCard Card(1, 1);
  Card.SetGenerator([](uint8_t* To, size_t Count, uint64_t, const TPcmFormat&) {
    for (size_t I = 0; I + 1 < Count; I += 2) {
      const int16_t S = (I / 2) % 2 ? -1001 : 1001;
      std::memcpy(To + I, &S, 2);
    }
  });
  {
    TSoundLoopback Loop(Card, 0, 0, TPcmFormat{8000, 1, 16}, 10, 4);
    Loop.SetGain(0.5);
    EXPECT_EQ(Loop.Gain(), 0.5);
    // The gain is set as soon as the loop runs; only blocks that passed
    // after it are checked below.
    const auto Until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (Card.Played(0).size() < 4000 && std::chrono::steady_clock::now() < Until)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  const std::vector<uint8_t> P = Card.Played(0);
  ASSERT_GE(P.size(), 4000u);
  int Halved = 0;
  for (size_t I = P.size() - 1000; I + 1 < P.size(); I += 2) {
    int16_t S;
    std::memcpy(&S, P.data() + I, 2);
    EXPECT_TRUE(S == 501 || S == -501) << S;  // 500.5 rounds away from zero
    Halved += S == 501 || S == -501;
  }
  EXPECT_GT(Halved, 0);

  uint8_t Wide[] = {0x00, 0x60, 0x00, 0xA0};  // 24576, -24576
  TSoundLoopback::ApplyGain(Wide, 4, 16, 2.0);
  int16_t A, B;
  std::memcpy(&A, Wide, 2);
  std::memcpy(&B, Wide + 2, 2);
  EXPECT_EQ(A, 32767);
  EXPECT_EQ(B, -32768);
  uint8_t Narrow[] = {0, 128, 255, 200};
  TSoundLoopback::ApplyGain(Narrow, 4, 8, 0.5);
  EXPECT_EQ(Narrow[0], 64);   // -128 -> -64
  EXPECT_EQ(Narrow[1], 128);  // silence stays silence
  EXPECT_EQ(Narrow[2], 192);  // 127 -> 63.5 -> 64
  EXPECT_EQ(Narrow[3], 164);  // 72 -> 36
}

TEST(SoundLoopback, ADeviceThatCannotOpenIsReported) {
  TVirtualSoundCard Card(1, 1);
  EXPECT_THROW(TSoundLoopback(Card, 3, 0, TPcmFormat{}), ESoundCardError);
  EXPECT_THROW(TSoundLoopback(Card, 0, 3, TPcmFormat{}), ESoundCardError);
  EXPECT_EQ(Card.OpenStreams(), 0);
}

}  // namespace
