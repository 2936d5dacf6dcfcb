#include "platform/PulseMixer.h"

#include <pulse/pulseaudio.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <mutex>

#include "platform/PulseConnection.h"
#include "platform/PulseSoundCard.h"
#include "platform/SoundLoopback.h"

namespace {

constexpr int kQueryTimeoutMs = 5000;

// Lines are known by a small key: the two destination lines, the microphone
// line of the playback destination, then the inputs in the order they were
// first seen. A line's identifier is its key; a control's is key x 4 + kind.
constexpr uint32_t kPlaybackKey = 0;
constexpr uint32_t kRecordingKey = 1;
constexpr uint32_t kMonitorKey = 2;
constexpr uint32_t kFirstInputKey = 3;

uint32_t ControlId(uint32_t Key, TMixerControlKind Kind) {
  return Key * 4 + static_cast<uint32_t>(Kind);
}

// The microphone loopback plays 16-bit stereo at 44.1 kHz; the server converts.
const TPcmFormat kLoopbackFormat{44100, 2, 16};

struct TInput {
  uint32_t Index = PA_INVALID_INDEX;
  std::string Name, Description;
  uint8_t Channels = 2;
  pa_volume_t Volume = PA_VOLUME_NORM;  // the channels' average
  bool Mute = false;
  uint32_t MonitorOf = PA_INVALID_INDEX;  // the output it monitors, if any
};

struct TOutput {
  uint32_t Index = PA_INVALID_INDEX;
  std::string Name;
  uint8_t Channels = 2;
  pa_volume_t Volume = PA_VOLUME_NORM;
  bool Mute = false;
};

// What the server has now.
struct TServerState {
  std::vector<TInput> Inputs;  // in the server's index order
  std::vector<TOutput> Outputs;
  std::string DefaultOutput, DefaultInput;

  const TOutput* Output() const {
    for (const TOutput& O : Outputs)
      if (O.Name == DefaultOutput) return &O;
    return nullptr;
  }
  // The microphone: the default input unless it is a monitor, else the first
  // input that is none. -1 when there is no such input.
  int Microphone() const {
    int First = -1;
    for (size_t I = 0; I < Inputs.size(); ++I) {
      if (Inputs[I].MonitorOf != PA_INVALID_INDEX) continue;
      if (Inputs[I].Name == DefaultInput) return static_cast<int>(I);
      if (First < 0) First = static_cast<int>(I);
    }
    return First;
  }
  int StereoMix() const {
    const TOutput* O = Output();
    if (!O) return -1;
    for (size_t I = 0; I < Inputs.size(); ++I)
      if (Inputs[I].MonitorOf == O->Index) return static_cast<int>(I);
    return -1;
  }
  std::string LineName(size_t I) const {
    if (static_cast<int>(I) == Microphone()) return "Microphone";
    if (static_cast<int>(I) == StereoMix()) return "Stereo Mix";
    const TInput& In = Inputs[I];
    return CutUtf8(In.Description.empty() ? In.Name : In.Description, kMixerLineNameMax);
  }
  int Find(const std::string& Name) const {
    for (size_t I = 0; I < Inputs.size(); ++I)
      if (Inputs[I].Name == Name) return static_cast<int>(I);
    return -1;
  }
};

TInput InputFrom(const pa_source_info& I) {
  TInput R;
  R.Index = I.index;
  R.Name = I.name ? I.name : "";
  R.Description = I.description ? I.description : "";
  R.Channels = I.sample_spec.channels;
  R.Volume = pa_cvolume_avg(&I.volume);
  R.Mute = I.mute != 0;
  R.MonitorOf = I.monitor_of_sink;
  return R;
}

TOutput OutputFrom(const pa_sink_info& I) {
  TOutput R;
  R.Index = I.index;
  R.Name = I.name ? I.name : "";
  R.Channels = I.sample_spec.channels;
  R.Volume = pa_cvolume_avg(&I.volume);
  R.Mute = I.mute != 0;
  return R;
}

// With the loop locked: reads the inputs, outputs and defaults.
bool ReadState(TPulseConnection& C, TServerState& S) {
  struct TRead {
    TServerState* S;
    bool Failed = false;
    void Item(const pa_source_info& I) { S->Inputs.push_back(InputFrom(I)); }
    void Item(const pa_sink_info& I) { S->Outputs.push_back(OutputFrom(I)); }
    void End(bool Broken) { Failed = Failed || Broken; }
  } R{&S};
  S = TServerState();
  pa_operation* Inputs = C.List(pa_context_get_source_info_list, R);
  pa_operation* Outputs = C.List(pa_context_get_sink_info_list, R);
  pa_operation* Server = pa_context_get_server_info(
      C.Context(),
      [](pa_context*, const pa_server_info* I, void* U) {
        auto* Rd = static_cast<TRead*>(U);
        if (!I) {
          Rd->Failed = true;
          return;
        }
        Rd->S->DefaultOutput = I->default_sink_name ? I->default_sink_name : "";
        Rd->S->DefaultInput = I->default_source_name ? I->default_source_name : "";
      },
      &R);
  const bool A = C.Finish(Inputs, kQueryTimeoutMs);
  const bool B = C.Finish(Outputs, kQueryTimeoutMs);
  const bool D = C.Finish(Server, kQueryTimeoutMs);
  if (!A || !B || !D || R.Failed) return false;
  std::sort(S.Inputs.begin(), S.Inputs.end(),
            [](const TInput& X, const TInput& Y) { return X.Index < Y.Index; });
  return true;
}

// With the loop locked: sends a request whose call-back reports success, and
// waits for the answer.
template <class F>
bool Request(TPulseConnection& C, F Send) {
  int Success = 0;
  pa_operation* Op =
      Send([](pa_context*, int Ok, void* U) { *static_cast<int*>(U) = Ok; }, &Success);
  return C.Finish(Op, kQueryTimeoutMs) && Success != 0;
}

// Hearing the microphone: one loopback per server for the whole process, so
// that every open mixer device sees the same switch.
class TMicMonitor {
 public:
  // The speaker keeps 100 ms queued: hearing oneself a little late is better
  // than hearing gaps whenever the machine is busy.
  explicit TMicMonitor(const std::string& Server) : FCard(Server, 100) {}

  uint32_t SetOn(bool On, const std::string& Input) {
    std::lock_guard<std::mutex> L(FLock);
    if (!On) {
      FLoop.reset();
      return kMixerNoError;
    }
    if (FLoop && FLoop->Error().empty() && FInput == Input) return kMixerNoError;
    FLoop.reset();
    try {
      int Device = -1;
      for (const TSoundDevice& D : FCard.CaptureDevices())
        if (D.Index > 0 && D.Name == Input) Device = D.Index;
      if (Device < 0) return kMixerError;
      // Device 0 of playback: the default output.
      FLoop = std::make_unique<TSoundLoopback>(FCard, Device, 0, kLoopbackFormat);
      FLoop->SetGain(pa_sw_volume_to_linear(FVolume));
      FInput = Input;
      return kMixerNoError;
    } catch (const ESoundCardError&) {
      return kMixerError;
    }
  }

  bool On() {
    std::lock_guard<std::mutex> L(FLock);
    return FLoop && FLoop->Error().empty();
  }

  void SetVolume(pa_volume_t V) {
    std::lock_guard<std::mutex> L(FLock);
    FVolume = V;
    if (FLoop) FLoop->SetGain(pa_sw_volume_to_linear(V));
  }

  pa_volume_t Volume() {
    std::lock_guard<std::mutex> L(FLock);
    return FVolume;
  }

 private:
  std::mutex FLock;  // the window thread and any other that sets the switch
  TPulseSoundCard FCard;
  std::unique_ptr<TSoundLoopback> FLoop;
  std::string FInput;
  pa_volume_t FVolume = PA_VOLUME_NORM;
};

std::shared_ptr<TMicMonitor> SharedMonitor(const std::string& Server) {
  static std::mutex Lock;
  static std::map<std::string, std::weak_ptr<TMicMonitor>> Monitors;
  std::lock_guard<std::mutex> L(Lock);
  std::shared_ptr<TMicMonitor> M = Monitors[Server].lock();
  if (!M) {
    M = std::make_shared<TMicMonitor>(Server);
    Monitors[Server] = M;
  }
  return M;
}

class TPulseMixerDevice final : public TMixerDevice {
 public:
  TPulseMixerDevice(const std::string& Server, TMixerNotify Notify)
      : FNotify(std::move(Notify)), FMonitor(SharedMonitor(Server)) {
    FConn = std::make_unique<TPulseConnection>(Server);
    TLoopLock L(*FConn);
    TServerState S;
    if (!ReadState(*FConn, S))
      throw ESoundCardError("The sound server did not list its devices (" + FConn->LastError() +
                            ")");
    Remember(S);
    pa_context_set_subscribe_callback(FConn->Context(), &TPulseMixerDevice::OnEvent, this);
    const auto Mask = static_cast<pa_subscription_mask_t>(
        PA_SUBSCRIPTION_MASK_SINK | PA_SUBSCRIPTION_MASK_SOURCE | PA_SUBSCRIPTION_MASK_SERVER);
    if (!FConn->Finish(pa_context_subscribe(FConn->Context(), Mask, nullptr, nullptr),
                       kQueryTimeoutMs))
      throw ESoundCardError("The sound server does not report changes (" + FConn->LastError() +
                            ")");
  }

  ~TPulseMixerDevice() override {
    {
      TLoopLock L(*FConn);
      pa_context_set_subscribe_callback(FConn->Context(), nullptr, nullptr);
    }
    // Stops the loop's thread: no call-back runs after this.
    FConn.reset();
  }

  uint32_t DestinationCount() override { return 2; }

  uint32_t GetLineInfo(uint32_t Destination, int32_t Source, TMixerLineInfo& Info) override {
    TLoopLock L(*FConn);
    TServerState S;
    if (!ReadKeyed(S)) return kMixerError;
    Info = TMixerLineInfo();
    Info.Destination = Destination;
    Info.Source = Source;
    Info.Channels = 2;
    if (Destination == 0) {
      const bool HaveMic = S.Microphone() >= 0;
      if (Source == -1) {
        Info.LineId = kPlaybackKey;
        Info.Name = "Playback";
        if (const TOutput* O = S.Output()) Info.Channels = O->Channels;
        Info.Connections = HaveMic ? 1 : 0;
        return kMixerNoError;
      }
      if (Source == 0 && HaveMic) {
        Info.LineId = kMonitorKey;
        Info.Name = "Microphone";
        Info.Channels = kLoopbackFormat.Channels;
        return kMixerNoError;
      }
      return kMixerInvalidLine;
    }
    if (Destination == 1) {
      if (Source == -1) {
        Info.LineId = kRecordingKey;
        Info.Name = "Recording";
        Info.Connections = static_cast<uint32_t>(S.Inputs.size());
        return kMixerNoError;
      }
      if (Source >= 0 && static_cast<size_t>(Source) < S.Inputs.size()) {
        const TInput& In = S.Inputs[static_cast<size_t>(Source)];
        Info.LineId = KeyFor(In.Name);
        Info.Name = S.LineName(static_cast<size_t>(Source));
        Info.Channels = In.Channels;
        return kMixerNoError;
      }
    }
    return kMixerInvalidLine;
  }

  uint32_t GetLineControl(uint32_t LineId, TMixerControlKind Kind,
                          TMixerControl& Control) override {
    TLoopLock L(*FConn);
    TServerState S;
    if (!ReadKeyed(S)) return kMixerError;
    Control = TMixerControl();
    Control.Id = ControlId(LineId, Kind);
    Control.Kind = Kind;
    Control.Maximum = Kind == TMixerControlKind::Volume ? static_cast<int32_t>(PA_VOLUME_NORM) : 1;
    if (LineId == kRecordingKey) {
      if (Kind != TMixerControlKind::Select) return kMixerInvalidControl;
      Control.Items = static_cast<uint32_t>(S.Inputs.size());
      // The items run from the last source line to the first.
      for (size_t I = S.Inputs.size(); I-- > 0;) Control.ItemNames.push_back(S.LineName(I));
      return kMixerNoError;
    }
    if (LineId != kPlaybackKey && !ExistingLine(S, LineId)) return kMixerInvalidLine;
    return Kind == TMixerControlKind::Select ? kMixerInvalidControl : kMixerNoError;
  }

  uint32_t SetControlValues(uint32_t Id, const std::vector<int32_t>& Values) override {
    const uint32_t Key = Id / 4;
    const uint32_t KindNo = Id % 4;
    if (KindNo > 2) return kMixerInvalidControl;
    const auto Kind = static_cast<TMixerControlKind>(KindNo);
    if (Values.empty()) return kMixerInvalidParam;
    std::string MicInput;
    {
      TLoopLock L(*FConn);
      TServerState S;
      if (!ReadKeyed(S)) return kMixerError;
      if (Key == kRecordingKey) {
        if (Kind != TMixerControlKind::Select) return kMixerInvalidControl;
        return Select(S, Values);
      }
      if (Kind == TMixerControlKind::Select) return kMixerInvalidControl;
      if (Key != kPlaybackKey && !ExistingLine(S, Key)) return kMixerInvalidControl;
      if (Kind == TMixerControlKind::Volume) {
        for (int32_t V : Values)
          if (V < 0 || V > static_cast<int32_t>(PA_VOLUME_NORM)) return kMixerInvalidParam;
      }
      if (Key != kMonitorKey) return SetLevel(S, Key, Kind, Values);
      MicInput = S.Inputs[static_cast<size_t>(S.Microphone())].Name;
    }
    // The loopback opens streams of its own: not with this connection locked.
    uint32_t Rc = kMixerNoError;
    if (Kind == TMixerControlKind::Volume) {
      FMonitor->SetVolume(static_cast<pa_volume_t>(Average(Values)));
    } else {
      Rc = FMonitor->SetOn(Values[0] == 0, MicInput);
    }
    if (Rc == kMixerNoError) Emit(TMixerChange::Control, Id);
    return Rc;
  }

  uint32_t GetControlValues(uint32_t Id, std::vector<int32_t>& Values) override {
    Values.clear();
    const uint32_t Key = Id / 4;
    const uint32_t KindNo = Id % 4;
    if (KindNo > 2) return kMixerInvalidControl;
    const auto Kind = static_cast<TMixerControlKind>(KindNo);
    TLoopLock L(*FConn);
    TServerState S;
    if (!ReadKeyed(S)) return kMixerError;
    if (Key == kRecordingKey) {
      if (Kind != TMixerControlKind::Select) return kMixerInvalidControl;
      const size_t N = S.Inputs.size();
      Values.assign(N, 0);
      const int Chosen = RecordedInput(S);
      if (Chosen >= 0) Values[N - 1 - static_cast<size_t>(Chosen)] = 1;
      return kMixerNoError;
    }
    if (Kind == TMixerControlKind::Select) return kMixerInvalidControl;
    if (Key == kPlaybackKey) {
      const TOutput* O = S.Output();
      if (!O) return kMixerError;
      Values.push_back(Kind == TMixerControlKind::Volume ? static_cast<int32_t>(O->Volume)
                                                         : O->Mute);
      return kMixerNoError;
    }
    if (!ExistingLine(S, Key)) return kMixerInvalidControl;
    if (Key == kMonitorKey) {
      Values.push_back(Kind == TMixerControlKind::Volume ? static_cast<int32_t>(FMonitor->Volume())
                                                         : !FMonitor->On());
      return kMixerNoError;
    }
    const TInput& In = S.Inputs[static_cast<size_t>(S.Find(FNames[Key]))];
    Values.push_back(Kind == TMixerControlKind::Volume ? static_cast<int32_t>(In.Volume) : In.Mute);
    return kMixerNoError;
  }

 private:
  static int64_t Average(const std::vector<int32_t>& Values) {
    int64_t Sum = 0;
    for (int32_t V : Values) Sum += V;
    return Sum / static_cast<int64_t>(Values.size());
  }

  // The input capture device 0 records: the selection while it exists, else
  // the default input.
  static int RecordedInput(const TServerState& S) {
    const int Chosen = S.Find(CurrentSoundCard().RecordingSelection());
    return Chosen >= 0 ? Chosen : S.Find(S.DefaultInput);
  }

  // Loop locked. The selector's items run in the reverse order of the source
  // lines; exactly one of them must be set.
  uint32_t Select(const TServerState& S, const std::vector<int32_t>& Values) {
    const size_t N = S.Inputs.size();
    if (Values.size() != N) return kMixerInvalidParam;
    size_t Item = N;
    for (size_t K = 0; K < N; ++K) {
      if (Values[K] == 0) continue;
      if (Values[K] != 1 || Item != N) return kMixerInvalidParam;
      Item = K;
    }
    if (Item == N) return kMixerInvalidParam;
    CurrentSoundCard().SetRecordingSelection(S.Inputs[N - 1 - Item].Name);
    Emit(TMixerChange::Control, ControlId(kRecordingKey, TMixerControlKind::Select));
    return kMixerNoError;
  }

  // Loop locked: volume or mute of the default output or of an input.
  uint32_t SetLevel(const TServerState& S, uint32_t Key, TMixerControlKind Kind,
                    const std::vector<int32_t>& Values) {
    std::string Name;
    uint8_t Channels;
    if (Key == kPlaybackKey) {
      const TOutput* O = S.Output();
      if (!O) return kMixerError;
      Name = O->Name;
      Channels = O->Channels;
    } else {
      const TInput& In = S.Inputs[static_cast<size_t>(S.Find(FNames[Key]))];
      Name = In.Name;
      Channels = In.Channels;
    }
    pa_context* C = FConn->Context();
    bool Ok;
    if (Kind == TMixerControlKind::Mute) {
      const int Mute = Values[0] != 0;
      Ok = Request(*FConn, [&](pa_context_success_cb_t Cb, void* U) {
        return Key == kPlaybackKey
                   ? pa_context_set_sink_mute_by_name(C, Name.c_str(), Mute, Cb, U)
                   : pa_context_set_source_mute_by_name(C, Name.c_str(), Mute, Cb, U);
      });
    } else {
      pa_cvolume V;
      if (Values.size() == Channels) {
        V.channels = Channels;
        for (uint8_t I = 0; I < Channels; ++I) V.values[I] = static_cast<pa_volume_t>(Values[I]);
      } else {
        pa_cvolume_set(&V, Channels, static_cast<pa_volume_t>(Average(Values)));
      }
      Ok = Request(*FConn, [&](pa_context_success_cb_t Cb, void* U) {
        return Key == kPlaybackKey
                   ? pa_context_set_sink_volume_by_name(C, Name.c_str(), &V, Cb, U)
                   : pa_context_set_source_volume_by_name(C, Name.c_str(), &V, Cb, U);
      });
    }
    return Ok ? kMixerNoError : kMixerError;
  }

  // Loop locked: true when the line of Key (the microphone line or an input)
  // is there now.
  bool ExistingLine(const TServerState& S, uint32_t Key) const {
    if (Key == kMonitorKey) return S.Microphone() >= 0;
    auto It = FNames.find(Key);
    return It != FNames.end() && S.Find(It->second) >= 0;
  }

  // Loop locked: the key of an input, given at its first sight.
  uint32_t KeyFor(const std::string& Name) {
    auto It = FKeys.find(Name);
    if (It != FKeys.end()) return It->second;
    const uint32_t Key = FNextKey++;
    FKeys[Name] = Key;
    FNames[Key] = Name;
    return Key;
  }

  // Loop locked: every input gets its key at first sight.
  void NoteKeys(const TServerState& S) {
    for (const TInput& In : S.Inputs) KeyFor(In.Name);
  }

  // Loop locked: the server's state, every input keyed; false when the server
  // did not answer.
  bool ReadKeyed(TServerState& S) {
    if (!ReadState(*FConn, S)) return false;
    NoteKeys(S);
    return true;
  }

  // Loop locked, at open: what change notifications compare against. From
  // then on only the notifications themselves update it, so that no change
  // goes unreported because a query happened to see it first.
  void Remember(const TServerState& S) {
    NoteKeys(S);
    for (const TInput& In : S.Inputs) FInputs[In.Index] = In;
    const TOutput* O = S.Output();
    FOutput = O ? *O : TOutput();
    FDefaultOutput = S.DefaultOutput;
    FDefaultInput = S.DefaultInput;
  }

  void Emit(TMixerChange Change, uint32_t Id) {
    if (FNotify) FNotify(Change, Id);
  }

  // On the loop's thread: something changed on the server. Volumes and mutes
  // are compared with what was last seen, so that each change is reported
  // once, as the control it touched.
  static void OnEvent(pa_context* C, pa_subscription_event_type_t T, uint32_t Index, void* U) {
    auto* Self = static_cast<TPulseMixerDevice*>(U);
    const unsigned Facility = T & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
    const unsigned Type = T & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
    pa_operation* Op = nullptr;
    if (Facility == PA_SUBSCRIPTION_EVENT_SOURCE) {
      if (Type == PA_SUBSCRIPTION_EVENT_REMOVE) {
        Self->InputGone(Index);
      } else {
        Op = pa_context_get_source_info_by_index(C, Index, &TPulseMixerDevice::OnInput, Self);
      }
    } else if (Facility == PA_SUBSCRIPTION_EVENT_SINK) {
      if (Type == PA_SUBSCRIPTION_EVENT_CHANGE && Index == Self->FOutput.Index)
        Op = pa_context_get_sink_info_by_index(C, Index, &TPulseMixerDevice::OnOutput, Self);
    } else if (Facility == PA_SUBSCRIPTION_EVENT_SERVER) {
      Op = pa_context_get_server_info(C, &TPulseMixerDevice::OnServer, Self);
    }
    if (Op) pa_operation_unref(Op);
  }

  void InputGone(uint32_t Index) {
    auto It = FInputs.find(Index);
    if (It == FInputs.end()) return;
    // Capture device 0 goes back to the default input rather than failing.
    if (CurrentSoundCard().RecordingSelection() == It->second.Name)
      CurrentSoundCard().SetRecordingSelection(std::string());
    FInputs.erase(It);
    Emit(TMixerChange::Line, kRecordingKey);
  }

  static void OnInput(pa_context*, const pa_source_info* I, int Eol, void* U) {
    if (Eol != 0 || !I) return;
    auto* Self = static_cast<TPulseMixerDevice*>(U);
    const TInput Now = InputFrom(*I);
    const uint32_t Key = Self->KeyFor(Now.Name);
    auto It = Self->FInputs.find(Now.Index);
    if (It == Self->FInputs.end()) {
      Self->FInputs[Now.Index] = Now;
      Self->Emit(TMixerChange::Line, kRecordingKey);
      return;
    }
    const TInput Was = It->second;
    It->second = Now;
    if (Was.Volume != Now.Volume)
      Self->Emit(TMixerChange::Control, ControlId(Key, TMixerControlKind::Volume));
    if (Was.Mute != Now.Mute)
      Self->Emit(TMixerChange::Control, ControlId(Key, TMixerControlKind::Mute));
  }

  static void OnOutput(pa_context*, const pa_sink_info* I, int Eol, void* U) {
    if (Eol != 0 || !I) return;
    auto* Self = static_cast<TPulseMixerDevice*>(U);
    const TOutput Now = OutputFrom(*I);
    if (Now.Index != Self->FOutput.Index) return;
    const TOutput Was = Self->FOutput;
    Self->FOutput = Now;
    if (Was.Volume != Now.Volume)
      Self->Emit(TMixerChange::Control, ControlId(kPlaybackKey, TMixerControlKind::Volume));
    if (Was.Mute != Now.Mute)
      Self->Emit(TMixerChange::Control, ControlId(kPlaybackKey, TMixerControlKind::Mute));
  }

  static void OnServer(pa_context* C, const pa_server_info* I, void* U) {
    if (!I) return;
    auto* Self = static_cast<TPulseMixerDevice*>(U);
    const std::string Output = I->default_sink_name ? I->default_sink_name : "";
    const std::string Input = I->default_source_name ? I->default_source_name : "";
    if (Output == Self->FDefaultOutput && Input == Self->FDefaultInput) return;
    Self->FDefaultOutput = Output;
    Self->FDefaultInput = Input;
    // The names of the lines move with the defaults.
    Self->Emit(TMixerChange::Line, kPlaybackKey);
    Self->Emit(TMixerChange::Line, kRecordingKey);
    if (pa_operation* Op = pa_context_get_sink_info_by_name(
            C, Output.c_str(),
            [](pa_context*, const pa_sink_info* O, int Eol, void* Data) {
              if (Eol == 0 && O) static_cast<TPulseMixerDevice*>(Data)->FOutput = OutputFrom(*O);
            },
            Self))
      pa_operation_unref(Op);
  }

  TMixerNotify FNotify;
  std::shared_ptr<TMicMonitor> FMonitor;
  // Guarded by the loop lock (the caller's thread and the loop's thread).
  std::map<std::string, uint32_t> FKeys;   // input name -> line key
  std::map<uint32_t, std::string> FNames;  // line key -> input name
  uint32_t FNextKey = kFirstInputKey;
  std::map<uint32_t, TInput> FInputs;  // by server index, as last seen
  TOutput FOutput;                     // the default output as last seen
  std::string FDefaultOutput, FDefaultInput;
  // Declared last, destroyed first: its thread runs the call-backs above.
  std::unique_ptr<TPulseConnection> FConn;
};

}  // namespace

uint32_t TPulseMixerService::DeviceCount() {
  try {
    TPulseConnection C(FServer);
    return 1;
  } catch (const ESoundCardError&) {
    return 0;
  }
}

uint32_t TPulseMixerService::GetDeviceCaps(uint32_t Device, std::string& Name,
                                           uint32_t& Destinations) {
  Name.clear();
  Destinations = 0;
  if (Device != 0 || DeviceCount() == 0) return kMixerBadDevice;
  Name = kDeviceName;
  Destinations = 2;
  return kMixerNoError;
}

uint32_t TPulseMixerService::Open(uint32_t Device, TMixerNotify Notify,
                                  std::unique_ptr<TMixerDevice>& Opened) {
  Opened.reset();
  if (Device != 0) return kMixerBadDevice;
  try {
    Opened = std::make_unique<TPulseMixerDevice>(FServer, std::move(Notify));
    return kMixerNoError;
  } catch (const ESoundCardError&) {
    return kMixerBadDevice;
  }
}

pa_volume_t ChannelVolumeToPulse(uint16_t Volume) {
  return static_cast<pa_volume_t>((static_cast<uint64_t>(Volume) * PA_VOLUME_NORM + 0x7FFF) /
                                  0xFFFF);
}

uint16_t PulseToChannelVolume(pa_volume_t Volume) {
  const uint64_t V = std::min<uint64_t>(Volume, PA_VOLUME_NORM);
  return static_cast<uint16_t>((V * 0xFFFF + PA_VOLUME_NORM / 2) / PA_VOLUME_NORM);
}

void PlaybackVolumeToPulse(uint32_t LeftRight, uint8_t Channels, pa_cvolume& Volume) {
  const uint16_t Left = static_cast<uint16_t>(LeftRight & 0xFFFF);
  const uint16_t Right = static_cast<uint16_t>(LeftRight >> 16);
  if (Channels == 2) {
    Volume.channels = 2;
    Volume.values[0] = ChannelVolumeToPulse(Left);
    Volume.values[1] = ChannelVolumeToPulse(Right);
    return;
  }
  pa_cvolume_set(&Volume, Channels ? Channels : 1,
                 ChannelVolumeToPulse(static_cast<uint16_t>((Left + Right) / 2)));
}

bool ApplyPlaybackVolume(const std::string& Server, uint32_t LeftRight) {
  try {
    TPulseConnection C(Server);
    TLoopLock L(C);
    // This process's streams: the ones its connections opened, known by the
    // process id that the library attaches to every client.
    struct TStreams {
      std::string Pid;
      std::vector<std::pair<uint32_t, uint8_t>> Found;  // index, channels
      bool Failed = false;
      void Item(const pa_sink_input_info& I) {
        const char* P = pa_proplist_gets(I.proplist, PA_PROP_APPLICATION_PROCESS_ID);
        const char* App = pa_proplist_gets(I.proplist, PA_PROP_APPLICATION_NAME);
        if (P && Pid == P && App && std::string(App) == "Velmora")
          Found.emplace_back(I.index, I.sample_spec.channels);
      }
      void End(bool Broken) { Failed = Failed || Broken; }
    } S{std::to_string(::getpid()), {}, false};
    pa_operation* List = C.List(pa_context_get_sink_input_info_list, S);
    if (!C.Finish(List, kQueryTimeoutMs) || S.Failed) return false;
    bool Ok = true;
    for (const auto& Stream : S.Found) {
      // A plain copy: structured bindings cannot be captured by the lambda below.
      const auto Index = Stream.first;
      pa_cvolume V;
      PlaybackVolumeToPulse(LeftRight, Stream.second, V);
      Ok = Request(C,
                   [&](pa_context_success_cb_t Cb, void* U) {
                     return pa_context_set_sink_input_volume(C.Context(), Index, &V, Cb, U);
                   }) &&
           Ok;
    }
    return Ok;
  } catch (const ESoundCardError&) {
    return false;
  }
}
