// The kinds of RIFF WAVE data the reader recognises and the writer produces.
#pragma once

enum TWavType { wtUnsupported = 0, wtPCM = 1, wtDVIADPCM = 2, wtMSADPCM = 3, wtACM = 4 };
