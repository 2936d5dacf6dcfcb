// MPEG audio frame headers read straight from the bytes, without decoding:
// what the file information probe and the decoder's check for an encoder
// information frame need.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct TMpegFrameHeader {
  int Version = 0;         // 10 = MPEG-1, 20 = MPEG-2, 25 = MPEG-2.5
  int Layer = 0;           // 1, 2 or 3
  int BitRate = 0;         // bit/s; 0 = free format
  int SampleRate = 0;      // Hz
  int Channels = 0;        // 1 or 2
  bool Protected = false;  // a 16-bit CRC follows the header
  bool Padding = false;
  int FrameBytes = 0;       // whole frame with header; 0 for free format
  int SamplesPerFrame = 0;  // per channel
  int ChannelMode = 0;      // header bits 6-7: 0 stereo, 1 joint, 2 dual, 3 mono
  bool Copyright = false;   // header bit 3
  bool Original = false;    // header bit 2
};

// No frame is longer than this, whatever its header says (the longest, MPEG-1
// Layer III at 320 kbit/s and 32 kHz with padding, has 1441 bytes).
constexpr int MaxMpegFrameBytes = 2048;

// Reads the four header bytes at P; false when they are not a usable header
// (no sync, a reserved version, layer, bit rate or sample rate).
bool ParseMpegFrameHeader(const uint8_t* P, TMpegFrameHeader& H);

// Bytes taken by an ID3 version 2 tag at the start of P (header, body and
// footer), 0 when P does not start with one.
size_t Id3v2TagSize(const uint8_t* P, size_t Len);

// True when B can follow A in one stream: the same version, layer and sample
// rate (the bit rate and the channel mode may change from frame to frame).
bool SameMpegStream(const TMpegFrameHeader& A, const TMpegFrameHeader& B);

// The offset of the first frame of P whose successor, right behind it, is a
// frame of the same version, layer and sample rate (or that ends exactly at
// the end of P); -1 when there is none. Free-format frames are not found.
int64_t FindFirstMpegFrame(const uint8_t* P, size_t Len, TMpegFrameHeader& H);

// Where an encoder's information tag starts in a Layer III frame, from the
// frame's first byte: behind the header, the CRC and the side information.
int XingTagOffset(const TMpegFrameHeader& H);

// True when the frame at P (Len bytes, all of it) carries an encoder's
// "Xing" or "Info" tag where its side information ends: a frame of silence
// that holds the length of the stream rather than audio.
bool IsXingFrame(const uint8_t* P, size_t Len, const TMpegFrameHeader& H);
