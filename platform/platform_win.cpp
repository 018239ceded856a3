// Windows implementation: registry through QSettings' native format, raw Win32 calls in win32_*.cpp.

#include "platform/platform.h"
#include "platform/win32calls.h"

#include <QDebug>
#include <QDir>
#include <QProcess>
#include <QSettings>

namespace {

const QString runKey = QStringLiteral("HKEY_CURRENT_USER\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run");

} // namespace

namespace Platform {

QString registryValue(const QString &keyPath, const QString &name) {
    QSettings reg(keyPath, QSettings::NativeFormat);
    return reg.value(name).toString();
}

QStringList registryValueNames(const QString &keyPath) {
    QSettings reg(keyPath, QSettings::NativeFormat);
    return reg.childKeys();
}

bool setRegistryValue(const QString &keyPath, const QString &name, const QString &value) {
    QSettings reg(keyPath, QSettings::NativeFormat);
    reg.setValue(name, value);
    reg.sync();
    return reg.status() == QSettings::NoError;
}

QString runValue(const QString &name) {
    QSettings reg(runKey, QSettings::NativeFormat);
    return reg.value(name).toString();
}

bool setRunValue(const QString &name, const QString &value) {
    QSettings reg(runKey, QSettings::NativeFormat);
    reg.setValue(name, value);
    reg.sync();
    return reg.status() == QSettings::NoError;
}

bool removeRunValue(const QString &name) {
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

} // namespace Platform
