// What a cue sheet must be before libcdio's image driver may read it.
//
// The driver trusts a sheet's shape: a sheet whose first TRACK is not
// track 1 makes it index its track table below the start (from 69 up, a
// read far outside it), and it keeps no more than 99 tracks in a table it
// does not bound. Lines are read in pieces of 512 bytes, and a NUL ends a
// line early, so such lines are read as something other than they say. A
// sheet is only handed to it when its TRACK lines are numbered 1, 2, 3 ...
// up to 99, its lines are short and text, and a CD-TEXT file it names is a
// plain file (a pipe or device would block or never end).
#pragma once

#include <string>
#include <string_view>

// Why the sheet Text, kept in Folder, may not be read; "" when it may.
std::string CueSheetProblem(std::string_view Text, const std::string& Folder);

// The same for the sheet at Path, read whole (at most 1 MiB).
std::string CueSheetFileProblem(const std::string& Path);
