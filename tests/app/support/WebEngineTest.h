// For the tests that run the web engine of the lyric window; included by one
// source file of each such test program.
#pragma once

#include <QApplication>
#include <QElapsedTimer>
#include <functional>

// Under AddressSanitizer the web engine's own library frees objects through
// the wrong type and keeps memory until the process ends; those two reports
// are turned off for these programs, the other checks stay.
extern "C" __attribute__((used, visibility("default"))) const char* __asan_default_options() {
  return "new_delete_type_mismatch=0";
}
extern "C" __attribute__((used, visibility("default"))) const char* __lsan_default_suppressions() {
  return "leak:libQt6WebEngineCore.so\nleak:libfontconfig.so\n";
}

namespace app_testing {

// Runs the event loop until Done, for at most Ms milliseconds; Done's last
// answer.
inline bool WaitFor(const std::function<bool()>& Done, int Ms = 60000) {
  QElapsedTimer T;
  T.start();
  while (!Done() && T.elapsed() < Ms) QApplication::processEvents(QEventLoop::AllEvents, 20);
  return Done();
}

}  // namespace app_testing
