// Desktop notifications: org.freedesktop.Notifications on the session bus.
// A notification is sent without waiting for an answer, so a slow or missing
// notification server never holds up the window; without a bus nothing
// happens.
#pragma once

#include <QString>

class TDesktopNotifier {
 public:
  // Address: the bus to use; empty: the desktop's session bus, when there is
  // one (DBUS_SESSION_BUS_ADDRESS, or the user bus in XDG_RUNTIME_DIR). The
  // bus is connected at the first notification.
  explicit TDesktopNotifier(const QString& Address = QString());
  ~TDesktopNotifier();
  TDesktopNotifier(const TDesktopNotifier&) = delete;
  TDesktopNotifier& operator=(const TDesktopNotifier&) = delete;

  // Shows Summary (and Body, when not empty) as a notification of the
  // program. False when there is no bus to send it on.
  bool Notify(const QString& Summary, const QString& Body = QString());

 private:
  bool Connect();
  QString FAddress;
  QString FName;  // the connection's name once connected
  bool FTried = false;
};
