#include "app/DesktopNotifier.h"

#include <QAtomicInt>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QFileInfo>
#include <QStringList>
#include <QVariantMap>

namespace {

// Each notifier its own connection: a test's private bus never stands in for
// the desktop's.
QString NewConnectionName() {
  static QAtomicInt Count;
  return QStringLiteral("velmora-notify-%1").arg(Count.fetchAndAddRelaxed(1));
}

// Where the session bus would be; empty when the desktop has none (asking
// the bus library then might start a bus of its own through X11).
QString SessionBusAddress() {
  const QString Given = qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS");
  if (!Given.isEmpty()) return Given;
  const QString Runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
  if (!Runtime.isEmpty() && QFileInfo::exists(Runtime + QStringLiteral("/bus")))
    return QStringLiteral("unix:path=") + Runtime + QStringLiteral("/bus");
  return QString();
}

}  // namespace

TDesktopNotifier::TDesktopNotifier(const QString& Address) : FAddress(Address) {}

TDesktopNotifier::~TDesktopNotifier() {
  if (!FName.isEmpty()) QDBusConnection::disconnectFromBus(FName);
}

bool TDesktopNotifier::Connect() {
  if (FTried) return !FName.isEmpty();
  FTried = true;
  const QString Address = FAddress.isEmpty() ? SessionBusAddress() : FAddress;
  if (Address.isEmpty()) return false;
  const QString Name = NewConnectionName();
  QDBusConnection Bus = QDBusConnection::connectToBus(Address, Name);
  if (!Bus.isConnected()) {
    QDBusConnection::disconnectFromBus(Name);
    return false;
  }
  FName = Name;
  return true;
}

bool TDesktopNotifier::Notify(const QString& Summary, const QString& Body) {
  if (!Connect()) return false;
  QDBusMessage Call = QDBusMessage::createMethodCall(
      QStringLiteral("org.freedesktop.Notifications"),
      QStringLiteral("/org/freedesktop/Notifications"),
      QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
  // app_name, replaces_id, app_icon, summary, body, actions, hints,
  // expire_timeout (-1: the server's choice).
  Call << QStringLiteral("Velmora") << 0u << QStringLiteral("velmora") << Summary << Body
       << QStringList() << QVariantMap() << -1;
  return QDBusConnection(FName).send(Call);
}
