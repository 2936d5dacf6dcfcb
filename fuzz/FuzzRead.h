// The read loop the file-source targets share: one job over the whole input,
// then a looping job over a range picked by the input's last byte, both with a
// bounded number of reads.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/Streams.h"

// A type nothing throws: a step whose error is given as this must not fail.
struct TNoError {};

// The input as a stream in memory, positioned at its start.
inline void LoadInput(TMemoryStream& S, const uint8_t* Data, size_t Size) {
  S.Write(Data, static_cast<int64_t>(Size));
  S.SetPosition(0);
}

// One job of at most Calls reads of Piece bytes. An InitError from Init ends
// it before any read (no Flush is owed); a ReadError from GetData ends the
// reads. Anything else escapes to the fuzzer.
template <class InitError = TNoError, class ReadError = TNoError, class TIn>
void ReadJob(TIn& In, int Calls, int Piece) {
  static uint8_t Buf[20000];
  try {
    In.Init();
  } catch (const InitError&) {
    return;
  }
  try {
    for (int I = 0; I < Calls; ++I)
      if (In.GetData(Buf, Piece) == 0) break;
  } catch (const ReadError&) {
  }
  In.Flush();
}

// The second pass: looping from a start frame taken from the input's last
// byte, to the end or to Frames, 64 reads of up to 17851 bytes. Size > 0.
template <class InitError = TNoError, class ReadError = TNoError, class TIn>
void ReadPickedRange(TIn& In, const uint8_t* Data, size_t Size, int64_t Frames) {
  const uint8_t Pick = Data[Size - 1];
  In.SetLoop(true);
  In.SetStartSample(Frames > 0 ? (Pick * 131) % Frames : 0);
  In.SetEndSample(Pick & 1 ? -1 : Frames);
  ReadJob<InitError, ReadError>(In, 64, 1 + Pick * 70);
}
