#include "platform/DesktopNotice.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QStringList>
#include <QVariantMap>

namespace DesktopNotice {

void show(const QString &title, const QString &body)
{
    // A message built by hand: QDBusInterface would ask the bus what the
    // service offers, and wait for the answer.
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("/org/freedesktop/Notifications"),
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
    const int defaultTimeout = -1;
    call << QStringLiteral("ClipFerry") << 0U << QString() << title << body << QStringList() << QVariantMap()
         << defaultTimeout;
    QDBusConnection::sessionBus().asyncCall(call);
}

} // namespace DesktopNotice
