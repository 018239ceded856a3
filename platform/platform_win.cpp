// Windows implementation: registry through QSettings' native format, raw Win32 calls in win32_*.cpp.

#include "platform/platform.h"
#include "platform/win32calls.h"

#include <QAbstractNativeEventFilter>
#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QObject>
#include <QProcess>
#include <QSettings>

#include <cstdlib>
#include <utility>

namespace {

const QString runKey = QStringLiteral("HKEY_CURRENT_USER\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run");

const QString userRoot = QStringLiteral("HKEY_CURRENT_USER\\");

bool hasLineBreak(const QString &s) {
    return s.contains(QLatin1Char('\n')) || s.contains(QLatin1Char('\r'));
}

// QSettings only knows the root key in upper case; the rest of the path is the registry's own
// case-insensitive business. Empty for a path outside HKEY_CURRENT_USER or one breaking the rules.
QString userKeyPath(const QString &keyPath) {
    if (!keyPath.startsWith(userRoot, Qt::CaseInsensitive) || keyPath.size() == userRoot.size() ||
        keyPath.contains(QLatin1Char(']')) || keyPath.contains(QLatin1Char('/')) || hasLineBreak(keyPath))
        return QString();
    return userRoot + keyPath.mid(userRoot.size());
}

// The same value names as everywhere else; slashes would make QSettings open a subkey instead.
bool validValueName(const QString &name) {
    return !name.isEmpty() && !name.contains(QLatin1Char('=')) && !name.startsWith(QLatin1Char('[')) &&
           !name.startsWith(QLatin1Char(';')) && !name.contains(QLatin1Char('/')) &&
           !name.contains(QLatin1Char('\\')) && !hasLineBreak(name);
}

// Looks at every window message of the process for the end of the session. A child of the
// receiver: it goes (and leaves the application's filters) with it.
class SessionEndFilter : public QObject, public QAbstractNativeEventFilter {
public:
    SessionEndFilter(QObject *receiver, std::function<void()> handler)
        : QObject(receiver)
        , handler(std::move(handler)) {}

    bool nativeEventFilter(const QByteArray &eventType, void *message, long *result) override {
        if (eventType != "windows_generic_MSG")
            return false;
        switch (Win32::sessionMessage(message)) {
        case Win32::SessionMessage::Query:
            // Yes, without the toolkit's default of closing every window first: the launcher's
            // window answers a close with the tray or a question, which would refuse the shutdown.
            *result = 1;
            return true;
        case Win32::SessionMessage::Ending:
            // Every top-level window gets the message; the launcher leaves once. The toolkit's own
            // handling (aboutToQuit, quit) follows.
            if (!ended) {
                ended = true;
                qDebug() << "session ends";
                handler();
            }
            return false;
        case Win32::SessionMessage::Other:
            break;
        }
        return false;
    }

private:
    std::function<void()> handler;
    bool ended = false;
};

bool sessionWatched = false;

} // namespace

namespace Platform {

QString registryValue(const QString &keyPath, const QString &name) {
    const QString key = userKeyPath(keyPath);
    if (key.isEmpty() || !validValueName(name))
        return QString();
    QSettings reg(key, QSettings::NativeFormat);
    return reg.value(name).toString();
}

QStringList registryValueNames(const QString &keyPath) {
    const QString key = userKeyPath(keyPath);
    if (key.isEmpty())
        return QStringList();
    QSettings reg(key, QSettings::NativeFormat);
    return reg.childKeys();
}

bool setRegistryValue(const QString &keyPath, const QString &name, const QString &value) {
    const QString key = userKeyPath(keyPath);
    if (key.isEmpty() || !validValueName(name) || hasLineBreak(value)) {
        qDebug() << "registry write refused" << keyPath << name;
        return false;
    }
    QSettings reg(key, QSettings::NativeFormat);
    reg.setValue(name, value);
    reg.sync();
    return reg.status() == QSettings::NoError;
}

// The Run key is an ordinary key below HKEY_CURRENT_USER, with the same rules for names and values.
QString runValue(const QString &name) {
    return registryValue(runKey, name);
}

bool setRunValue(const QString &name, const QString &value) {
    return setRegistryValue(runKey, name, value);
}

bool removeRunValue(const QString &name) {
    if (!validValueName(name))
        return false;
    QSettings reg(runKey, QSettings::NativeFormat);
    reg.remove(name);
    reg.sync();
    return reg.status() == QSettings::NoError;
}

QString currentUserName() {
    const std::wstring name = Win32::userName();
    if (!name.empty())
        return QString::fromStdWString(name);
    return qEnvironmentVariable("USERNAME");
}

QByteArray rawSmbiosTable() {
    const std::vector<unsigned char> data = Win32::rawSmbios();
    if (data.size() < 8)
        return QByteArray();
    return QByteArray(reinterpret_cast<const char *>(data.data()), int(data.size()));
}

bool processExists(qint64 pid) {
    if (pid <= 0 || pid > 0xFFFFFFFFLL)
        return false;
    return Win32::processAlive(static_cast<unsigned long>(pid));
}

bool replaceFile(const QString &from, const QString &to, QString *why) {
    unsigned long error = 0;
    if (Win32::replaceFile(QDir::toNativeSeparators(from).toStdWString(),
                           QDir::toNativeSeparators(to).toStdWString(), &error))
        return true;
    if (why)
        *why = QStringLiteral("cannot put %1 in place of %2: %3").arg(from, to, qt_error_string(int(error)));
    return false;
}

bool openPlainFile(QFile *file, const QString &path, QIODevice::OpenMode mode, QString *why) {
    unsigned long error = 0;
    const int fd = Win32::openPlainFile(QDir::toNativeSeparators(path).toStdWString(),
                                        mode & QIODevice::WriteOnly, &error);
    if (fd < 0) {
        if (why)
            *why =
                QStringLiteral("cannot open %1 as a plain file: %2").arg(path, qt_error_string(int(error)));
        return false;
    }
    if (!file->open(fd, mode, QFileDevice::AutoCloseHandle)) {
        if (why)
            *why = QStringLiteral("cannot open %1: %2").arg(path, file->errorString());
        Win32::closeFile(fd);
        return false;
    }
    return true;
}

bool entryExists(const QString &path) {
    return Win32::entryExists(QDir::toNativeSeparators(path).toStdWString());
}

char *allocateBuffer(qint64 size, bool) {
    return size > 0 ? static_cast<char *>(std::malloc(size_t(size))) : nullptr;
}

void freeBuffer(char *buffer) {
    std::free(buffer);
}

void tuneHeap() {}

void releaseFreedMemory() {}

void startWriteBack(QFile *, qint64, qint64) {}

bool syncFile(const QString &path) {
    return Win32::flushFile(QDir::toNativeSeparators(path).toStdWString());
}

bool startUpdateScript(const QString &scriptDir, const QString &newFileName) {
    if (newFileName.isEmpty() || newFileName.contains(QLatin1Char('/')) ||
        newFileName.contains(QLatin1Char('\\')) || newFileName == QLatin1String("..")) {
        qDebug() << "update script refused file name" << newFileName;
        return false;
    }
    const QString script = QDir::toNativeSeparators(scriptDir + QStringLiteral("\\update.vbs"));
    return QProcess::startDetached(QStringLiteral("wscript.exe"), {script, newFileName}, QDir::currentPath());
}

QString gameProgram() {
    return QStringLiteral("Quelvane.exe");
}

bool watchSessionEnd(QObject *receiver, std::function<void()> handler) {
    if (!receiver || !handler || sessionWatched || !QCoreApplication::instance()) {
        qWarning() << "session end watch refused" << (sessionWatched ? "already watched" : "no handler");
        return false;
    }
    sessionWatched = true;
    QCoreApplication::instance()->installNativeEventFilter(
        new SessionEndFilter(receiver, std::move(handler)));
    return true;
}

bool lanAdapterAllowed(int interfaceIndex, QString *why) {
    const auto fail = [why](const QString &reason) {
        if (why)
            *why = reason;
        return false;
    };
    // IF_TYPE_PPP, IF_TYPE_PROP_VIRTUAL (Wintun and other virtual adapters), IF_TYPE_TUNNEL.
    static const unsigned long tunnelTypes[] = {23, 53, 131};
    // Virtual adapters of VPNs that present themselves as Ethernet.
    static const char *const vpnDrivers[] = {"tap-windows", "wintun",    "wireguard",
                                             "vpn",         "tailscale", "zerotier"};
    for (const Win32::NetworkAdapter &a : Win32::networkAdapters()) {
        if (interfaceIndex <= 0 || (a.index != static_cast<unsigned long>(interfaceIndex) &&
                                    a.ipv6Index != static_cast<unsigned long>(interfaceIndex)))
            continue;
        const QString description = QString::fromStdWString(a.description);
        for (unsigned long type : tunnelTypes)
            if (a.ifType == type)
                return fail(
                    QStringLiteral("adapter \"%1\" is a tunnel (type %2)").arg(description).arg(type));
        for (const char *driver : vpnDrivers)
            if (description.contains(QLatin1String(driver), Qt::CaseInsensitive))
                return fail(QStringLiteral("adapter \"%1\" belongs to a VPN").arg(description));
        if (a.category != 1 && a.category != 2)
            return fail(
                a.category == 0
                    ? QStringLiteral("adapter \"%1\" is on a Public network").arg(description)
                    : QStringLiteral("adapter \"%1\" is on a network without a category").arg(description));
        return true;
    }
    return fail(QStringLiteral("the system lists no adapter with index %1").arg(interfaceIndex));
}

bool firewallAllowsServing(QString *why) {
    const QString program = QDir::toNativeSeparators(launcherExecutablePath());
    if (Win32::firewallAllowsInbound(program.toStdWString()))
        return true;
    if (why)
        *why = QStringLiteral("no enabled inbound firewall rule allows %1 on private networks").arg(program);
    return false;
}

} // namespace Platform
