// Whether a file is held by another program, tested before every job that
// reads or writes files.
#pragma once

#include <string>

// True when the file exists and cannot be had for exclusive read-write use:
// it cannot be opened for reading and writing (a read-only file, one the
// user may not write, a folder), another process holds an advisory lock on
// it, or any other open file description refers to it (another program has
// it open in any way, or a job of this one does), or a running job of this
// program reads or writes it (see FilesInUse.h; this holds for a file that
// does not exist yet too). Any other missing file is not locked. Every failure of the test itself
// counts as locked, and so does an open elsewhere that meets the test's brief lease (the test takes
// the lease's break notice on a real-time signal it sets to be ignored, claimed once per process
// from those nobody handles; SIGIO is never sent).
bool IsFileLocked(const std::string& Name);

// True when neither the input nor the output file is locked; a file that does
// not exist is never locked.
bool IsInputFileAndOutputFileUnLocked(const std::string& Input, const std::string& Output);

// True when a process other than this one has the file open (found by walking
// /proc/*/fd). The test IsFileLocked falls back on where file leases are
// not allowed.
bool FileOpenByOtherProcess(const std::string& Name);
