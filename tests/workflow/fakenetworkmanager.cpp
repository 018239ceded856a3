// Answers on the system bus (DBUS_SYSTEM_BUS_ADDRESS) as NetworkManager does for its "Metered"
// property: the number in the file given as the argument, read again at every question. Prints
// "ready" once the name is owned.

#include <QCoreApplication>
#include <QDBusAbstractAdaptor>
#include <QDBusConnection>
#include <QFile>
#include <QTextStream>

class NetworkManagerAdaptor : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.NetworkManager")
    Q_PROPERTY(uint Metered READ metered)

public:
    NetworkManagerAdaptor(QObject *parent, const QString &valueFile)
        : QDBusAbstractAdaptor(parent)
        , valueFile(valueFile) {}

    uint metered() const {
        QFile f(valueFile);
        return f.open(QIODevice::ReadOnly) ? f.readAll().trimmed().toUInt() : 0;
    }

private:
    QString valueFile;
};

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    if (argc != 2)
        return 2;
    QObject root;
    new NetworkManagerAdaptor(&root, QString::fromLocal8Bit(argv[1]));
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.registerObject(QStringLiteral("/org/freedesktop/NetworkManager"), &root) ||
        !bus.registerService(QStringLiteral("org.freedesktop.NetworkManager")))
        return 1;
    QTextStream(stdout) << "ready" << Qt::endl;
    return app.exec();
}

#include "fakenetworkmanager.moc"
