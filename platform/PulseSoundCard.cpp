#include "platform/PulseSoundCard.h"

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <deque>

#include "platform/DeviceVolumes.h"
#include "platform/PulseConnection.h"
#include "platform/PulseMixer.h"

namespace {

constexpr int kConnectTimeoutMs = 5000;
constexpr int kQueryTimeoutMs = 5000;
// How long a stream clock waits for a fresh timing report.
constexpr int kClockTimeoutMs = 250;

std::string PulseError(pa_context* C) { return pa_strerror(pa_context_errno(C)); }

struct TDeviceList {
  std::vector<TSoundDevice> Devices;  // in the server's index order, Index = server index
  std::string DefaultName;
};

// With the loop locked: the server's sources (or sinks) and its default one.
TDeviceList ReadDevices(TPulseConnection& C, bool Sources) {
  struct TState {
    pa_threaded_mainloop* Loop;
    bool Sources;
    TDeviceList List;
    bool ListDone = false;
    bool InfoDone = false;
    void Add(uint32_t Index, const char* Name, const char* Description) {
      List.Devices.push_back(
          {static_cast<int>(Index), Name ? Name : "", Description ? Description : ""});
    }
    void Item(const pa_source_info& I) { Add(I.index, I.name, I.description); }
    void Item(const pa_sink_info& I) { Add(I.index, I.name, I.description); }
    // A list the server broke off still gives the devices it named.
    void End(bool) { Finish(ListDone); }
    void Finish(bool& Flag) {
      Flag = true;
      pa_threaded_mainloop_signal(Loop, 0);
    }
  } S{C.Loop(), Sources, {}, false, false};
  pa_operation* List = Sources ? C.List(pa_context_get_source_info_list, S)
                               : C.List(pa_context_get_sink_info_list, S);
  pa_operation* Info = pa_context_get_server_info(
      C.Context(),
      [](pa_context*, const pa_server_info* I, void* U) {
        auto* St = static_cast<TState*>(U);
        const char* Name =
            I ? (St->Sources ? I->default_source_name : I->default_sink_name) : nullptr;
        St->List.DefaultName = Name ? Name : "";
        St->Finish(St->InfoDone);
      },
      &S);
  const bool Ok = C.Wait(
      [&] {
        return ((!List || S.ListDone) && (!Info || S.InfoDone)) ||
               !PA_CONTEXT_IS_GOOD(pa_context_get_state(C.Context()));
      },
      kQueryTimeoutMs);
  for (pa_operation* Op : {List, Info}) {
    if (!Op) continue;
    if (pa_operation_get_state(Op) == PA_OPERATION_RUNNING) pa_operation_cancel(Op);
    pa_operation_unref(Op);
  }
  if (!Ok || !List || !Info || !S.ListDone || !S.InfoDone)
    throw ESoundCardError("The sound server did not list its devices (" + PulseError(C.Context()) +
                          ")");
  std::sort(S.List.Devices.begin(), S.List.Devices.end(),
            [](const TSoundDevice& A, const TSoundDevice& B) { return A.Index < B.Index; });
  return S.List;
}

const TSoundDevice* FindByName(const TDeviceList& L, const std::string& Name) {
  for (const TSoundDevice& D : L.Devices)
    if (D.Name == Name) return &D;
  return nullptr;
}

// The program's playback volume for a stream of Spec; false when it is full
// (the stream keeps whatever the server gives it).
bool ProgramVolume(const pa_sample_spec& Spec, pa_cvolume& Volume) {
  const uint32_t V = ProgramPlaybackVolume();
  if (V == 0xFFFFFFFFu) return false;
  PlaybackVolumeToPulse(V, Spec.channels, Volume);
  return true;
}

// Numbers the devices the way components see them: 0 first, then 1 ... n.
std::vector<TSoundDevice> Numbered(const TDeviceList& L, bool Sources,
                                   const std::string& Selection) {
  std::vector<TSoundDevice> R;
  if (L.Devices.empty()) return R;
  const std::string Target = Sources && !Selection.empty() ? Selection : L.DefaultName;
  const TSoundDevice* T = FindByName(L, Target);
  R.push_back({0, T ? T->Name : Target,
               std::string(Sources ? "Recording selection" : "Default output") +
                   (T ? " (" + T->Description + ")" : std::string())});
  int N = 1;
  for (const TSoundDevice& D : L.Devices) R.push_back({N++, D.Name, D.Description});
  return R;
}

// One open capture or playback stream with its own connection.
class TPulseStream final : public TSoundStream {
 public:
  TPulseStream(bool Capture, const TPcmFormat& Format, TSoundBlockDone OnDone)
      : FCapture(Capture), FFormat(Format), FOnDone(std::move(OnDone)) {}

  ~TPulseStream() override {
    // Before the loop lock: a clock reader holds the registry's lock while
    // it takes the loop lock.
    if (FClockRegistered) UnregisterStreamClock(this);
    if (!FConn) return;
    {
      TLoopLock L(*FConn);
      FClosing = true;
      if (FStream) {
        pa_stream_set_state_callback(FStream, nullptr, nullptr);
        pa_stream_set_read_callback(FStream, nullptr, nullptr);
        pa_stream_set_write_callback(FStream, nullptr, nullptr);
        pa_stream_disconnect(FStream);
        pa_stream_unref(FStream);
        FStream = nullptr;
      }
      GiveBackAll();
    }
    FConn.reset();
  }

  // Connects to the server and opens the device; raises ESoundCardError.
  void Open(const std::string& Server, int Device, const std::string& Selection,
            int PlaybackTargetMs = TPulseSoundCard::kPlaybackTargetMs) {
    const std::string What =
        std::string(FCapture ? "Capture" : "Playback") + " device " + std::to_string(Device);
    if (!FFormat.Supported())
      throw ESoundCardError(What + " cannot play or record " +
                            std::to_string(FFormat.BitsPerSample) + "-bit, " +
                            std::to_string(FFormat.Channels) + "-channel sound at " +
                            std::to_string(FFormat.SampleRate) + " Hz");
    FConn = std::make_unique<TPulseConnection>(Server);
    TLoopLock L(*FConn);
    pa_context* C = FConn->Context();
    // Device 0 (and -1) is the selection or the server's default: no name.
    std::string DeviceName = Device <= 0 && FCapture ? Selection : std::string();
    if (Device > 0) {
      const TDeviceList List = ReadDevices(*FConn, FCapture);
      if (Device > static_cast<int>(List.Devices.size()))
        throw ESoundCardError(What + " does not exist");
      DeviceName = List.Devices[static_cast<size_t>(Device - 1)].Name;
    }
    pa_sample_spec Spec;
    Spec.format = FFormat.BitsPerSample == 8 ? PA_SAMPLE_U8 : PA_SAMPLE_S16LE;
    Spec.channels = static_cast<uint8_t>(FFormat.Channels);
    Spec.rate = static_cast<uint32_t>(FFormat.SampleRate);
    FStream = pa_stream_new(C, FCapture ? "Velmora capture" : "Velmora playback", &Spec, nullptr);
    if (!FStream) throw ESoundCardError(What + " could not be opened: " + PulseError(C));
    pa_stream_set_state_callback(FStream, &TPulseStream::OnState, this);
    pa_buffer_attr Attr;
    Attr.maxlength = static_cast<uint32_t>(-1);
    Attr.tlength = static_cast<uint32_t>(-1);
    Attr.prebuf = static_cast<uint32_t>(-1);
    Attr.minreq = static_cast<uint32_t>(-1);
    Attr.fragsize = static_cast<uint32_t>(-1);
    const auto Flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY |
                                                      (FCapture ? PA_STREAM_START_CORKED : 0));
    const char* Dev = DeviceName.empty() ? nullptr : DeviceName.c_str();
    int Rc;
    if (FCapture) {
      Attr.fragsize = static_cast<uint32_t>(pa_usec_to_bytes(
          static_cast<pa_usec_t>(TPulseSoundCard::kCaptureFragmentMs) * PA_USEC_PER_MSEC, &Spec));
      pa_stream_set_read_callback(FStream, &TPulseStream::OnRead, this);
      Rc = pa_stream_connect_record(FStream, Dev, &Attr, Flags);
    } else {
      Attr.tlength = static_cast<uint32_t>(
          pa_usec_to_bytes(static_cast<pa_usec_t>(PlaybackTargetMs) * PA_USEC_PER_MSEC, &Spec));
      pa_stream_set_write_callback(FStream, &TPulseStream::OnWrite, this);
      pa_cvolume Volume;
      const bool SetVolume = ProgramVolume(Spec, Volume);
      Rc = pa_stream_connect_playback(FStream, Dev, &Attr, Flags, SetVolume ? &Volume : nullptr,
                                      nullptr);
    }
    if (Rc < 0) throw ESoundCardError(What + " could not be opened: " + PulseError(C));
    const bool Settled = FConn->Wait(
        [this] {
          const pa_stream_state_t S = pa_stream_get_state(FStream);
          return S == PA_STREAM_READY || !PA_STREAM_IS_GOOD(S);
        },
        kConnectTimeoutMs);
    if (!Settled) throw ESoundCardError(What + " could not be opened: timed out");
    if (pa_stream_get_state(FStream) != PA_STREAM_READY)
      throw ESoundCardError(What + " could not be opened: " + PulseError(C));
    FReady = true;
    // A clock reader holds the registry's lock while it takes the loop
    // lock: the registry is never entered under the loop lock.
    L.Release();
    RegisterStreamClock(this, FCapture, [this](TStreamClock& C) { return ReadClock(C); });
    FClockRegistered = true;
  }

  // The stream's time and latency from a timing report asked for now: the
  // server's own figures at the moment it took them, not the estimate the
  // library interpolates between reports (a capture stream's estimate runs
  // ahead of its data). False before a capture has started, while either end
  // is corked, suspended or starved, or when no report comes in time.
  bool ReadClock(TStreamClock& C) {
    TLoopLock L(*FConn);
    if (!FStream || !FReady || Failed() || (FCapture && !FRecording)) return false;
    // The report is copied as it arrives: the sound read after it moves the
    // library's read index on.
    struct TUpdate {
      pa_threaded_mainloop* Loop;
      bool Done = false;
      bool Ok = false;
      pa_timing_info Info{};
    } U{FConn->Loop()};
    pa_operation* Op = pa_stream_update_timing_info(
        FStream,
        [](pa_stream* S, int Success, void* P) {
          auto* Up = static_cast<TUpdate*>(P);
          const pa_timing_info* I = Success ? pa_stream_get_timing_info(S) : nullptr;
          if (I) Up->Info = *I;
          Up->Ok = I != nullptr;
          Up->Done = true;
          pa_threaded_mainloop_signal(Up->Loop, 0);
        },
        &U);
    if (!Op) return false;
    FConn->Wait([&] { return U.Done || Failed(); }, kClockTimeoutMs);
    if (!U.Done) pa_operation_cancel(Op);
    pa_operation_unref(Op);
    if (!U.Ok || pa_stream_is_corked(FStream) == 1 || pa_stream_is_suspended(FStream) == 1)
      return false;
    const pa_timing_info* I = &U.Info;
    if (!I->playing || I->read_index_corrupt || I->write_index_corrupt) return false;
    const double UsPerByte = 1e6 / (static_cast<double>(FFormat.SampleRate) * FFormat.BlockAlign());
    const auto Us = [UsPerByte](int64_t Bytes) {
      return static_cast<int64_t>(std::llround(static_cast<double>(Bytes) * UsPerByte));
    };
    const auto Sink = static_cast<int64_t>(I->sink_usec);
    const auto Source = static_cast<int64_t>(I->source_usec);
    if (FCapture) {
      // The sound reaching the source now lies past the server's queue by
      // what the source holds and what is on its way to the queue. A monitor
      // source takes the sink's sound when the sink takes it, the sink's
      // latency before it is heard: its time is set back by that, to tell
      // the sound being heard.
      C.DeviceUs = Source - Sink;
      C.PositionUs = Us(I->write_index) + C.DeviceUs;
      C.LatencyUs = Us(I->write_index - I->read_index) + C.DeviceUs;
    } else {
      // What is heard now was handed to the sink its own latency ago.
      C.DeviceUs = Sink;
      C.PositionUs = Us(I->read_index) - Sink;
      C.LatencyUs = Us(I->write_index - I->read_index) + Sink;
    }
    // The report's moment, taken over to the steady clock.
    C.AtUs = std::chrono::duration_cast<std::chrono::microseconds>(
                 std::chrono::steady_clock::now().time_since_epoch())
                 .count() -
             static_cast<int64_t>(pa_timeval_age(&I->timestamp));
    return true;
  }

  void Add(TSoundBlock* Block) override {
    bool Back = false;
    {
      TLoopLock L(*FConn);
      if (!FReady || Failed()) {
        Back = true;
      } else {
        FBlocks.push_back(Block);
        if (!FCapture) Feed();
      }
    }
    if (Back) FOnDone(Block);
  }

  void Start() override {
    TLoopLock L(*FConn);
    if (FCapture && FReady && !Failed()) {
      if (pa_operation* Op = pa_stream_cork(FStream, 0, nullptr, nullptr)) pa_operation_unref(Op);
      FRecording = true;
    }
  }

  void Reset() override {
    TLoopLock L(*FConn);
    FRecording = false;
    if (FReady && !Failed()) {
      pa_operation* Op = FCapture ? pa_stream_cork(FStream, 1, nullptr, nullptr)
                                  : pa_stream_flush(FStream, nullptr, nullptr);
      if (Op) pa_operation_unref(Op);
    }
    FCarry.clear();
    GiveBackAll();
  }

  void Drain(int TimeoutMs) override {
    if (FCapture) return;
    TLoopLock L(*FConn);
    if (!FReady || Failed()) return;
    struct TDrain {
      pa_threaded_mainloop* Loop;
      bool Done = false;
    } D{FConn->Loop()};
    pa_operation* Op = pa_stream_drain(
        FStream,
        [](pa_stream*, int, void* U) {
          auto* Dr = static_cast<TDrain*>(U);
          Dr->Done = true;
          pa_threaded_mainloop_signal(Dr->Loop, 0);
        },
        &D);
    if (!Op) return;
    FConn->Wait([&] { return D.Done || Failed(); }, TimeoutMs);
    if (!D.Done) pa_operation_cancel(Op);
    pa_operation_unref(Op);
  }

  std::string Error() const override {
    std::lock_guard<std::mutex> L(FErrorLock);
    return FError;
  }

  uint64_t DroppedBytes() const override { return FDropped.load(std::memory_order_relaxed); }

 private:
  bool Failed() const {
    std::lock_guard<std::mutex> L(FErrorLock);
    return !FError.empty();
  }

  // Loop locked. The first reason wins; every block held goes back.
  void Fail(const std::string& Why) {
    {
      std::lock_guard<std::mutex> L(FErrorLock);
      if (FError.empty()) FError = Why;
    }
    GiveBackAll();
  }

  // Loop locked (or the loop stopped).
  void GiveBackAll() {
    std::deque<TSoundBlock*> Held;
    Held.swap(FBlocks);
    FOffset = 0;
    for (TSoundBlock* B : Held) FOnDone(B);
  }

  static void OnState(pa_stream* S, void* U) {
    auto* Self = static_cast<TPulseStream*>(U);
    const pa_stream_state_t St = pa_stream_get_state(S);
    if ((St == PA_STREAM_FAILED || St == PA_STREAM_TERMINATED) && !Self->FClosing && Self->FReady)
      Self->Fail("The sound device stopped working (" + PulseError(pa_stream_get_context(S)) + ")");
    pa_threaded_mainloop_signal(Self->FConn->Loop(), 0);
  }

  // Capture: moves what the server recorded into the blocks handed over, in
  // order; a block goes back as soon as it is full. Recorded sound that finds
  // no block is lost, as with a device that has no buffers, and counted.
  static void OnRead(pa_stream* S, size_t, void* U) {
    auto* Self = static_cast<TPulseStream*>(U);
    while (pa_stream_readable_size(S) > 0) {
      const void* Data = nullptr;
      size_t N = 0;
      if (pa_stream_peek(S, &Data, &N) < 0) {
        Self->Fail("The sound device stopped working (" + PulseError(pa_stream_get_context(S)) +
                   ")");
        return;
      }
      if (N == 0) break;
      Self->Store(static_cast<const uint8_t*>(Data), N);
      pa_stream_drop(S);
    }
  }

  // Data null = a hole in the recording: silence of that length.
  void Store(const uint8_t* Data, size_t N) {
    size_t Done = 0;
    while (Done < N && !FBlocks.empty()) {
      TSoundBlock* B = FBlocks.front();
      const size_t K = std::min(B->Data.size() - B->BytesRecorded, N - Done);
      uint8_t* To = B->Data.data() + B->BytesRecorded;
      if (Data)
        std::memcpy(To, Data + Done, K);
      else
        std::memset(To, FFormat.BitsPerSample == 8 ? 0x80 : 0, K);
      B->BytesRecorded += K;
      Done += K;
      if (B->BytesRecorded == B->Data.size()) {
        FBlocks.pop_front();
        FOnDone(B);
      }
    }
    // What still arrives once the device was stopped belongs to no recording.
    if (Done < N && FRecording) FDropped.fetch_add(N - Done, std::memory_order_relaxed);
  }

  static void OnWrite(pa_stream*, size_t, void* U) { static_cast<TPulseStream*>(U)->Feed(); }

  // Playback, loop locked: writes as much of the queued blocks as the server
  // asks for, in whole frames (a block may end inside a frame: the odd bytes
  // wait in FCarry for the next block). A block goes back once all of it has
  // been handed to the server.
  void Feed() {
    if (!FStream || Failed()) return;
    size_t Room = pa_stream_writable_size(FStream);
    if (Room == static_cast<size_t>(-1)) return;
    const size_t Frame = static_cast<size_t>(FFormat.BlockAlign());
    std::vector<TSoundBlock*> Played;
    while (Room >= Frame && !FBlocks.empty()) {
      FStage.assign(FCarry.begin(), FCarry.end());
      FCarry.clear();
      while (FStage.size() < Room && !FBlocks.empty()) {
        TSoundBlock* B = FBlocks.front();
        const size_t K = std::min(Room - FStage.size(), B->Data.size() - FOffset);
        FStage.insert(FStage.end(), B->Data.begin() + static_cast<std::ptrdiff_t>(FOffset),
                      B->Data.begin() + static_cast<std::ptrdiff_t>(FOffset + K));
        FOffset += K;
        if (FOffset == B->Data.size()) {
          FBlocks.pop_front();
          FOffset = 0;
          Played.push_back(B);
        }
      }
      const size_t N = FStage.size() / Frame * Frame;
      FCarry.assign(FStage.begin() + static_cast<std::ptrdiff_t>(N), FStage.end());
      if (N == 0) break;
      if (pa_stream_write(FStream, FStage.data(), N, nullptr, 0, PA_SEEK_RELATIVE) < 0) {
        Fail("The sound device stopped working (" + PulseError(FConn->Context()) + ")");
        break;
      }
      Room -= N;
    }
    for (TSoundBlock* B : Played) FOnDone(B);
  }

  const bool FCapture;
  bool FClockRegistered = false;  // owner's thread
  const TPcmFormat FFormat;
  TSoundBlockDone FOnDone;
  std::unique_ptr<TPulseConnection> FConn;
  // Everything below: guarded by the main-loop lock.
  pa_stream* FStream = nullptr;
  bool FReady = false;               // connected; failures after this are reported
  bool FClosing = false;             // the destructor is disconnecting on purpose
  bool FRecording = false;           // capture: started and not reset since
  std::deque<TSoundBlock*> FBlocks;  // held blocks, oldest first
  size_t FOffset = 0;                // playback: bytes of the front block already written
  std::vector<uint8_t> FCarry;       // playback: bytes short of a whole frame
  std::vector<uint8_t> FStage;       // playback: the bytes of one write
  // The failure reason: read by the component's thread without the loop lock
  // (that lock must not be taken inside a call-back).
  mutable std::mutex FErrorLock;
  std::string FError;
  // Capture: written by the loop's thread, read by the component's.
  std::atomic<uint64_t> FDropped{0};
};

}  // namespace

std::vector<TSoundDevice> TPulseSoundCard::CaptureDevices() {
  try {
    TPulseConnection C(FServer);
    TLoopLock L(C);
    return Numbered(ReadDevices(C, true), true, RecordingSelection());
  } catch (const ESoundCardError&) {
    return {};
  }
}

std::vector<TSoundDevice> TPulseSoundCard::PlaybackDevices() {
  try {
    TPulseConnection C(FServer);
    TLoopLock L(C);
    return Numbered(ReadDevices(C, false), false, std::string());
  } catch (const ESoundCardError&) {
    return {};
  }
}

std::unique_ptr<TSoundStream> TPulseSoundCard::OpenCapture(int Device, const TPcmFormat& Format,
                                                           TSoundBlockDone OnDone) {
  auto S = std::make_unique<TPulseStream>(true, Format, std::move(OnDone));
  S->Open(FServer, Device, RecordingSelection());
  return S;
}

std::unique_ptr<TSoundStream> TPulseSoundCard::OpenPlayback(int Device, const TPcmFormat& Format,
                                                            TSoundBlockDone OnDone) {
  auto S = std::make_unique<TPulseStream>(false, Format, std::move(OnDone));
  S->Open(FServer, Device, std::string(), FPlaybackTargetMs);
  return S;
}

void TPulseSoundCard::SetRecordingSelection(const std::string& SourceName) {
  std::lock_guard<std::mutex> L(FLock);
  FSelection = SourceName;
}

std::string TPulseSoundCard::RecordingSelection() const {
  std::lock_guard<std::mutex> L(FLock);
  return FSelection;
}
