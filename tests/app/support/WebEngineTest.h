// For the tests that run the web engine of the lyric window; included by one
// source file of each such test program.
#pragma once

#include <QApplication>
#include <QElapsedTimer>
#include <functional>

// Under AddressSanitizer the web engine's own library frees objects through
// the wrong type: that report is turned off for these programs, the other
// checks stay (its leaks are in tests/sanitizers/lsan.supp).
extern "C" __attribute__((used, visibility("default"))) const char* __asan_default_options() {
  return "new_delete_type_mismatch=0";
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
