// Unix: NetworkManager's "Metered" property over the system bus.

#include "platform/platform.h"

#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QDebug>
#include <QVariant>

namespace {

// NetworkManager answers at once; a bus that hangs must not hold up the launcher for long.
constexpr int AnswerTimeoutMs = 2000;

// NMMetered: 0 unknown, 1 yes, 2 no, 3 guess-yes, 4 guess-no.
constexpr uint MeteredYes = 1;
constexpr uint MeteredGuessYes = 3;

// Why the question could not be asked, told once a process: the launcher asks before every download.
void cannotAsk(const QString &why) {
    static bool told = false;
    if (told)
        return;
    told = true;
    qWarning().noquote() << "cannot tell whether the connection is metered, taken as not metered:" << why;
}

} // namespace

namespace Platform {

bool connectionMetered() {
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected()) {
        cannotAsk(QStringLiteral("no system bus (%1)").arg(bus.lastError().message()));
        return false;
    }
    QDBusMessage ask = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.NetworkManager"), QStringLiteral("/org/freedesktop/NetworkManager"),
        QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    ask << QStringLiteral("org.freedesktop.NetworkManager") << QStringLiteral("Metered");
    const QDBusMessage answer = bus.call(ask, QDBus::Block, AnswerTimeoutMs);
    if (answer.type() != QDBusMessage::ReplyMessage || answer.arguments().size() != 1) {
        cannotAsk(QStringLiteral("NetworkManager did not answer (%1)").arg(answer.errorMessage()));
        return false;
    }
    const QVariant value = answer.arguments().constFirst().value<QDBusVariant>().variant();
    bool isNumber = false;
    const uint metered = value.toUInt(&isNumber);
    if (!isNumber) {
        cannotAsk(QStringLiteral("NetworkManager's Metered is not a number (%1)").arg(value.typeName()));
        return false;
    }
    return metered == MeteredYes || metered == MeteredGuessYes;
}

} // namespace Platform
