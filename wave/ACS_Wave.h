// The WAV file components: the reader TWaveIn and the writer TWaveOut.
#pragma once

#include "wave/WaveIn.h"
#include "wave/WaveOut.h"
