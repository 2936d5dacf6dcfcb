// The mixer service: mixer devices, each with destinations (playback,
// recording), each destination a line with source lines connected to it, and
// on every line up to three controls (a volume fader, a mute switch, a source
// selector). Calls report with the platform's result codes and never raise.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// Result codes of the mixer service.
enum : uint32_t {
  kMixerNoError = 0,
  kMixerError = 1,             // the server refused or did not answer
  kMixerBadDevice = 2,         // no such device, or it cannot be reached
  kMixerInvalidParam = 11,     // a value or index out of range
  kMixerInvalidLine = 1024,    // no such destination or source line
  kMixerInvalidControl = 1025  // the line has no control of that kind
};

enum class TMixerControlKind { Volume = 0, Mute = 1, Select = 2 };

// Longest line name, in bytes (a longer one is cut at a character boundary).
constexpr size_t kMixerLineNameMax = 63;
// Longest device name, in bytes.
constexpr size_t kMixerDeviceNameMax = 31;

struct TMixerControl {
  uint32_t Id = 0;  // unique within the device
  TMixerControlKind Kind = TMixerControlKind::Volume;
  // Selector: how many sources it chooses among (0 for faders and switches).
  uint32_t Items = 0;
  int32_t Minimum = 0;
  int32_t Maximum = 0;
  // Selector: the name of each item; item k is source line Items - 1 - k.
  std::vector<std::string> ItemNames;
};

struct TMixerLineInfo {
  uint32_t LineId = 0;  // unique within the device; stays the same while the line exists
  uint32_t Destination = 0;
  int32_t Source = -1;  // -1 for the destination line itself
  uint32_t Channels = 0;
  uint32_t Connections = 0;  // destination lines: how many source lines it has
  std::string Name;
};

enum class TMixerChange { Line, Control };

// Called with the identifier of a line whose state changed (a source came or
// went, a line was renamed) or of a control whose value changed. Runs on a
// thread of the service; it must return quickly and must not call back into
// the device.
using TMixerNotify = std::function<void(TMixerChange Change, uint32_t Id)>;

// An open mixer device. Destroying it stops its notifications: none runs
// after the destructor returns.
class TMixerDevice {
 public:
  TMixerDevice() = default;
  TMixerDevice(const TMixerDevice&) = delete;
  TMixerDevice& operator=(const TMixerDevice&) = delete;
  virtual ~TMixerDevice() = default;

  virtual uint32_t DestinationCount() = 0;
  // The destination line (Source -1) or one of its source lines, as it is now.
  virtual uint32_t GetLineInfo(uint32_t Destination, int32_t Source, TMixerLineInfo& Info) = 0;
  // The control of that kind on the line.
  virtual uint32_t GetLineControl(uint32_t LineId, TMixerControlKind Kind,
                                  TMixerControl& Control) = 0;
  // Values: one value for all channels of a fader or switch, or one value per
  // item of a selector (exactly one of them 1).
  virtual uint32_t SetControlValues(uint32_t ControlId, const std::vector<int32_t>& Values) = 0;
  // Fader, switch: one value (the channels' average). Selector: one per item.
  virtual uint32_t GetControlValues(uint32_t ControlId, std::vector<int32_t>& Values) = 0;
};

// The mixer devices of the system.
class TMixerService {
 public:
  TMixerService() = default;
  TMixerService(const TMixerService&) = delete;
  TMixerService& operator=(const TMixerService&) = delete;
  virtual ~TMixerService() = default;

  virtual uint32_t DeviceCount() = 0;
  // The device's name and number of destinations.
  virtual uint32_t GetDeviceCaps(uint32_t Device, std::string& Name, uint32_t& Destinations) = 0;
  // Opens a device; Notify (may be empty) receives its changes. Result
  // kMixerNoError with a device, or an error code and null.
  virtual uint32_t Open(uint32_t Device, TMixerNotify Notify,
                        std::unique_ptr<TMixerDevice>& Opened) = 0;
};

// The mixer service the device components use: the sound server's unless a
// test installed another one.
TMixerService& CurrentMixerService();
// Installs Service (not owned; it must outlive its use); null goes back to the
// sound server's.
void UseMixerService(TMixerService* Service);

// Cuts a UTF-8 text to at most Max bytes without splitting a character.
std::string CutUtf8(const std::string& Text, size_t Max);
