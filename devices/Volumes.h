// Device-level volumes of the first auxiliary (CD), wave and MIDI outputs
// that support volume control (indices 0, 1, 2), as bytes 0 ... 255, with
// optional track bars kept in step.
#pragma once

#include <cstdint>
#include <functional>

#include "engine/Component.h"

// What the volume control needs of a track bar. The control never owns one.
class TVolumeTrackBar {
 public:
  virtual ~TVolumeTrackBar() = default;
  virtual void SetRange(int Minimum, int Maximum) = 0;
  virtual int Position() const = 0;
  virtual void SetPosition(int Value) = 0;
  // A vertical bar has its maximum at the bottom: it shows 255 - volume.
  virtual bool Vertical() const = 0;
  // The bar's change event; an empty function detaches it.
  virtual void SetOnChange(std::function<void()> Handler) = 0;
};

class TVolumeControl : public TComponent {
 public:
  // Picks, for each index, the first output of that kind that supports
  // volume control; each one found enables the timer.
  explicit TVolumeControl(TComponent* AOwner);

  // Timer period in milliseconds (500 from the constructor). The owner's
  // timer calls Tick at this period on the thread that uses the control,
  // while TimerEnabled.
  int Interval() const { return FInterval; }
  void SetInterval(int Value) { FInterval = Value; }
  bool TimerEnabled() const { return FTimerEnabled; }
  // One timer tick: every attached track bar gets range 0 ... 255 and the
  // current volume (255 minus it when vertical), and its change event sets
  // the volume from the position.
  void Tick();

  // (left + right) / 512 of the device's volume: 0 ... 255; 0 when the index
  // has no device.
  uint8_t GetByIndex(int Index);
  // Both channels to Value x 256; nothing when the index has no device.
  void SetByIndex(int Index, uint8_t Value);

  uint8_t CDVolume() { return GetByIndex(0); }
  void SetCDVolume(uint8_t Value) { SetByIndex(0, Value); }
  uint8_t WaveVolume() { return GetByIndex(1); }
  void SetWaveVolume(uint8_t Value) { SetByIndex(1, Value); }
  uint8_t MidiVolume() { return GetByIndex(2); }
  void SetMidiVolume(uint8_t Value) { SetByIndex(2, Value); }

  TVolumeTrackBar* TrackBar(int Index) const;
  // Stores the bar (null clears it, detaching the old one's change event)
  // and brings it in step at once. A bar that goes away must be cleared.
  void SetTrackBar(int Index, TVolumeTrackBar* Bar);
  TVolumeTrackBar* CDTrackBar() const { return TrackBar(0); }
  void SetCDTrackBar(TVolumeTrackBar* Bar) { SetTrackBar(0, Bar); }
  TVolumeTrackBar* WaveTrackBar() const { return TrackBar(1); }
  void SetWaveTrackBar(TVolumeTrackBar* Bar) { SetTrackBar(1, Bar); }
  TVolumeTrackBar* MidiTrackBar() const { return TrackBar(2); }
  void SetMidiTrackBar(TVolumeTrackBar* Bar) { SetTrackBar(2, Bar); }

  // The device number found for an index, -1 when none.
  int DeviceOf(int Index) const;

  static constexpr int kIndices = 3;

 protected:
  ~TVolumeControl() override;

 private:
  void Synchronise(int Index);
  void BarChanged(int Index);

  int FInterval = 500;
  bool FTimerEnabled = false;
  int FDevice[kIndices] = {-1, -1, -1};
  TVolumeTrackBar* FBar[kIndices] = {nullptr, nullptr, nullptr};  // not owned
};
