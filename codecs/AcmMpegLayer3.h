// The audio compression manager's driver for MPEG Layer-3 wave data (format
// tag 85), decoding with the libmad binding.
#pragma once

// Installs the driver (once; later calls do nothing). Conversions it opens
// need the decoder library: without it they are refused as not possible.
//
// What it converts: tag 85, 1 or 2 channels, an MPEG sample rate, to 16-bit
// PCM of the same rate and channels (the only format it suggests). Frames are
// decoded as the MP3 decoder component decodes them: damaged frames are
// skipped, an encoder's information frame at the start is not audio, frames
// of another channel count are brought to the stream's, and frames of another
// sample rate are dropped. The output holds exactly the decoded frames.
void InstallMpegLayer3AcmDriver();
