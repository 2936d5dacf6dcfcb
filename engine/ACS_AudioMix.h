// The two-input mixer: a source that delivers two sources played together,
// or one after the other, or one with a second one that may come and go
// while the job runs.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <vector>

#include "engine/ACS_Classes.h"
#include "engine/PcmReformat.h"

enum TAudioMixerMode { amMix = 0, amConcatenate = 1, amRTMix = 2 };

// Modes:
// - amMix: both inputs at once, each scaled by its volume, then averaged:
//   a = round(Volume1 / 255 * s1), b = round(Volume2 / 255 * s2) (nearest,
//   ties to even), out = (a + b) / 2 truncated toward zero, so nothing ever
//   clips. The shorter input is made up with silence; the job lasts as long
//   as the longer one.
// - amConcatenate: all of Input1, then all of Input2, unscaled.
// - amRTMix: as amMix, but the job lasts as long as Input1, and Input2 may be
//   attached, replaced or removed during the job (SetInput2); an Input2 that
//   runs out is flushed and forgotten, and silence is mixed in its place.
//
// The output has Input1's format. Input2 is converted to it when it differs
// (bits, channels, rate; see TPcmReformat); a job whose inputs cannot be
// brought together is refused by Init with a message naming both formats,
// and so is an Input1 that is not 8 or 16 bits of one or two channels.
// 8-bit samples are mixed around their midpoint 128, which is also their
// silence.
//
// Thread rules:
// - Init, Flush and GetData belong to the job: Init and Flush are called by
//   the sink (Init on the thread of Run, Flush from Done), GetData by its
//   worker. The mixer allocates nothing after Init (libsoxr, resampling a
//   second input of another rate, grows its own buffers in its first blocks
//   and at the end).
// - Volume1, Volume2 and Mode may be written from any thread at any time.
//   The volumes take effect at the next block (16384 bytes) mixed; the mode
//   is read by Init and holds for the whole job.
// - SetInput1 and SetInput2 belong to the owner's thread. During an amRTMix
//   job SetInput2 may be called from one other thread instead (not the
//   worker), while the owner's thread leaves the components alone; it swaps
//   the second input under the second-input lock, while the worker mixes
//   silence for any block during which it finds the lock held. A swap that
//   meets the end of the job only stores the new input.
class TAudioMixer : public TACSInput {
 public:
  // Bytes mixed per block, from each input.
  static constexpr int BufferSize = 16384;

  explicit TAudioMixer(TComponent* AOwner);

  // Input1's format; "Input not assigned" without Input1.
  int InBitsPerSample() override;
  int InChannels() override;
  int InSampleRate() override;

  // Opens both inputs (Input1 alone, and Input2 when there is one, in
  // amRTMix) and computes Size: the longer input's for amMix, their sum for
  // amConcatenate, Input1's for amRTMix (-1 when an input's is unknown).
  // Raises "The component is buisy" during a job, "Input1 not assigned",
  // "Input2 not assigned" (amMix and amConcatenate), the inputs' own errors,
  // and the refusal of formats that cannot be brought together. A failed Init
  // leaves nothing open and the mixer idle.
  void Init() override;
  // Copies at most BufferSize bytes; 0 when the job's data is over. Raises
  // "The Stream is not opened" outside a job; the inputs' errors pass through.
  int GetData(void* Buffer, int BufferSize) override;
  // Flushes what Init opened and is still open; the mixer is idle after it.
  void Flush() override;
  std::vector<TACSInput*> Sources() const override;

  TACSInput* Input1() const { return FInput1.load(); }
  // Raises "The component is buisy." during a job.
  void SetInput1(TACSInput* Value);
  TACSInput* Input2() const { return FInput2.load(); }
  // Outside a job: stores Value. During an amMix or amConcatenate job: raises
  // "The component is not in amFB mode.". During an amRTMix job: flushes the
  // old second input, Inits Value (nothing for null) and mixes it in from the
  // next block on. When Value cannot be opened or converted, the job goes on
  // without a second input and the error is raised.
  void SetInput2(TACSInput* Value);

  TAudioMixerMode Mode() const { return FMode.load(); }
  void SetMode(TAudioMixerMode Value) { FMode = Value; }
  uint8_t Volume1() const { return FVolume1.load(); }
  void SetVolume1(uint8_t Value) { FVolume1 = Value; }
  uint8_t Volume2() const { return FVolume2.load(); }
  void SetVolume2(uint8_t Value) { FVolume2 = Value; }

 protected:
  // An input that goes away is forgotten, during a job too (after the worker
  // has left it): the job then sees it as ended.
  void Notification(TComponent* AComponent, TOperation Operation) override;

 private:
  // Reads from an input until Bytes are in or it returns 0 (then *Ended is
  // set); returns the bytes read.
  int FillFromInput1(uint8_t* Buffer, int Bytes);
  int FillFromInput2(uint8_t* Buffer, int Bytes);
  // Input2's share of a block, under the second-input lock; in amRTMix a
  // held lock gives silence and an Input2 that ran out is let go.
  int ReadSecondInput();
  // Mixes Bytes bytes of FBuf1 and FBuf2 into FBuf2.
  void MixBlock(int Bytes);
  void MixBlock16(int Samples, int V1, int V2);
  void MixBlock8(int Samples, int V1, int V2);
  // Builds the scale tables for the volumes (once per volume change).
  void PrepareTables(int V1, int V2);
  // Makes FReformat2 turn In's format into the output's; raises "Input 2
  // (<format>) cannot be converted to the format of input 1 (<format>)".
  void SetUpSecondInputFormat(TACSInput& In);
  // Lets go of the second input under the lock already held: flush (errors
  // swallowed), forget, end of input 2.
  void DropSecondInput();

  // Settings, written by any thread.
  std::atomic<TACSInput*> FInput1{nullptr};
  std::atomic<TACSInput*> FInput2{nullptr};
  std::atomic<uint8_t> FVolume1{255};
  std::atomic<uint8_t> FVolume2{255};
  std::atomic<TAudioMixerMode> FMode{amMix};

  // Job state. Init sets it up on the thread of Run; then the worker owns it,
  // except what the second-input lock guards.
  TAudioMixerMode FJobMode = amMix;
  TPcmFormat FFormat;  // Input1's, the output's
  std::atomic<bool> FEndOfInput1{false};
  bool FInput1Open = false;  // Input1.Init succeeded and its Flush is owed
  // Held by the worker while it reads Input1, and by a notification that
  // Input1 goes away.
  TSpinFlag FInput1Lock;

  // Guarded by FInput2Lock (the second-input lock) during a job: the worker
  // takes it to read Input2 (in amRTMix only when it is free), SetInput2 and
  // a notification to change it.
  TSpinFlag FInput2Lock;
  std::atomic<bool> FEndOfInput2{false};
  bool FInput2Open = false;  // "second input active": its Flush is owed
  TPcmReformat FReformat2;   // Input2 to the output's format

  // Input1's block, and Input2's block that then holds the output: 16-bit
  // samples, or bytes for 8-bit audio.
  std::array<int16_t, BufferSize / 2> FBuf1{};
  std::array<int16_t, BufferSize / 2> FBuf2{};
  // Sample -> scaled sample, for the volumes last mixed with (worker only).
  std::array<int16_t, 65536> FScale1{}, FScale2{};
  int FScaleVolume1 = -1, FScaleVolume2 = -1, FScaleBits = 0;
};
