// The sound card's own mixer: TAudioMixer2 opens one mixer device and shows
// the lines of one of its destinations (playback or recording), each a
// TAudioMixerLine with a volume, a mute switch and a source selector.
//
// Operations never raise: each line keeps the result code of its last
// operation (kMixerInvalidControl, 1025, when the line lacks the control;
// kMixerInvalidParam, 11, for a source index the selector does not have).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/Component.h"
#include "platform/Mixer.h"

enum TMixerControlType { mcVolume = 0, mcMute = 1, mcSelect = 2 };

class TAudioMixer2;
class TAudioMixerLine;

using TMixerLineNotifyEvent = std::function<void(TComponent* Sender, TAudioMixerLine* MixerLine)>;
using TMixerControlNotifyEvent = std::function<void(TComponent* Sender, TAudioMixerLine* MixerLine,
                                                    TMixerControlType ControlType)>;

// A x B / C rounded half away from zero; -1 when C is 0 or the result does
// not fit in 32 bits.
int32_t MulDiv(int32_t A, int32_t B, int32_t C);
// The selector item that stands for source line Index on a selector of Items
// items (the items run in the reverse order of the source lines); -1 when
// Index is out of range.
int SelectorItem(uint32_t Items, int Index);

class TAudioMixerLine {
 public:
  // Reads the line: the destination line of the mixer's current destination
  // when SourceIndex is -1, else that source line, and looks up its three
  // controls.
  TAudioMixerLine(TAudioMixer2* Mixer, int SourceIndex);
  TAudioMixerLine(const TAudioMixerLine&) = delete;
  TAudioMixerLine& operator=(const TAudioMixerLine&) = delete;

  const std::string& Name() const { return FInfo.Name; }
  int SourceIndex() const { return FSourceIndex; }

  // Percent is clamped to 0 ... 100; the fader gets Maximum x Percent / 100
  // for all channels.
  void SetVolume(int Percent);
  void SetMute(bool Value);
  // On a destination line with a selector: records from source line Index.
  // Out of range: nothing changes, result 11.
  void SelectSource(int Index);

  // The fader's position in percent of its maximum (rounded); -1 when it
  // cannot be read.
  int Volume();
  // The mute switch; false when it cannot be read.
  bool Mute();
  // The source line the selector has chosen; -1 when none or no selector.
  int SelectedSource();

  uint32_t LastResult() const { return FLastResult; }
  // True when the line's description could be read.
  bool Valid() const { return FValid; }
  bool HasControl(TMixerControlType Type) const { return (FControls & (1u << Type)) != 0; }
  // The line description read at creation (identifier, channels, connections).
  const TMixerLineInfo& Info() const { return FInfo; }
  // The control of that type (meaningful when HasControl).
  const TMixerControl& Control(TMixerControlType Type) const { return FControl[Type]; }

 private:
  friend class TAudioMixer2;
  // Reads the line description and the controls again.
  void Read();
  // The device, or null (result kMixerBadDevice) when the mixer is not open.
  TMixerDevice* Device();

  TAudioMixer2* FMixer;  // not owned
  int FSourceIndex;
  TMixerLineInfo FInfo;
  uint32_t FLastResult = kMixerNoError;
  bool FValid = false;
  unsigned FControls = 0;  // bit per TMixerControlType found
  TMixerControl FControl[3];
};

class TAudioMixer2 : public TComponent {
 public:
  // Opens device MixerID (0) of the current mixer service and reads the lines
  // of destination DestinationID (0).
  explicit TAudioMixer2(TComponent* AOwner);

  uint32_t MixerID() const { return FMixerID; }
  // A different value below DeviceCount reopens the device.
  void SetMixerID(uint32_t Value);
  const std::string& MixerName() const { return FMixerName; }
  // Looks the name up among the device names; sets MixerID when found.
  void SetMixerName(const std::string& Value);
  uint32_t DestinationID() const { return FDestinationID; }
  // A different value rebuilds the lines for that destination.
  void SetDestinationID(uint32_t Value);
  std::string DestinationName() const { return FDestination->Name(); }
  // Looks the name up among the destination names; sets DestinationID when
  // found.
  void SetDestinationName(const std::string& Value);

  // Number of mixer devices in the system.
  uint32_t DeviceCount();
  // Append the names of all mixer devices, or of all destinations of the
  // open device; return how many.
  int GetMixerNames(std::vector<std::string>& Names);
  int GetDestinationNames(std::vector<std::string>& Names);
  uint32_t DestinationCount() const { return FDestinations; }
  // The destination line; never null.
  TAudioMixerLine* Destination() const { return FDestination.get(); }
  int LineCount() const { return static_cast<int>(FLines.size()); }
  // The source lines from 0; null out of range. Valid until the next
  // destination change or reopen.
  TAudioMixerLine* Lines(int Index) const;
  // The result of opening the device.
  uint32_t OpenResult() const { return FOpenResult; }

  TMixerLineNotifyEvent OnLineChange;
  TMixerControlNotifyEvent OnControlChange;

  // Changes reported by the device wait in a queue. OnNotifyPending (may be
  // empty) is called on the service's thread whenever one arrives; it must
  // only arrange for ProcessNotifications to run on the thread that uses the
  // mixer (the window posts a queued call), and must not call the mixer.
  // Once SetOnNotifyPending returns, the previous handler is not running and
  // is never called again.
  void SetOnNotifyPending(std::function<void(TAudioMixer2*)> Handler);
  // Raises OnLineChange / OnControlChange for every queued change, on the
  // calling thread. A line change with the destination's identifier goes
  // with the destination line, otherwise with the first source line of that
  // identifier; a control change with the first line (destination first)
  // holding that control.
  void ProcessNotifications();

  TMixerDevice* Device() const { return FDevice.get(); }

 protected:
  ~TAudioMixer2() override;

 private:
  void OpenMixer();
  void BuildLines();
  void Queue(TMixerChange Change, uint32_t Id);

  TMixerService* FService;  // not owned; the current one at construction
  uint32_t FMixerID = 0;
  std::string FMixerName;
  uint32_t FDestinationID = 0;
  uint32_t FDestinations = 0;
  uint32_t FOpenResult = kMixerBadDevice;
  std::unique_ptr<TMixerDevice> FDevice;
  std::unique_ptr<TAudioMixerLine> FDestination;
  std::vector<std::unique_ptr<TAudioMixerLine>> FLines;
  // Written by the service's thread, read by ProcessNotifications.
  std::mutex FNotifyLock;
  std::vector<std::pair<TMixerChange, uint32_t>> FPending;  // guarded by FNotifyLock
  std::function<void(TAudioMixer2*)> FOnNotifyPending;      // guarded by FNotifyLock
};
