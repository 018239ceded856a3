// Unix implementation: the registry is an INI file, start at login an XDG autostart entry.

#include "platform/platform.h"

#include "core/atomicfile.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSocketNotifier>
#include <QStandardPaths>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <malloc.h>
#include <pwd.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// Files we read here are small; anything larger is not what we expect.
constexpr qint64 maxRegistryFileSize = 1 << 20;
constexpr qint64 maxDesktopFileSize = 64 << 10;
constexpr qint64 maxEntryPointSize = 256;
constexpr qint64 maxDmiSize = 16 << 20;

QString configHome() {
    const QString xdg = qEnvironmentVariable("XDG_CONFIG_HOME");
    // The XDG rules ignore relative values.
    if (!xdg.isEmpty() && QDir::isAbsolutePath(xdg))
        return QDir::cleanPath(xdg);
    return QDir::homePath() + QStringLiteral("/.config");
}

QString registryFilePath() {
    return configHome() + QStringLiteral("/Quelvane/registry.ini");
}

QString autostartFilePath(const QString &name) {
    return configHome() + QStringLiteral("/autostart/") + name + QStringLiteral(".desktop");
}

bool readBounded(const QString &path, qint64 limit, QByteArray *out) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return false;
    // sysfs files report size 0, so read up to the limit and check for more.
    *out = f.read(limit);
    if (out->size() == limit && !f.atEnd() && f.read(1).size() == 1) {
        qDebug() << "file too large" << path;
        return false;
    }
    return true;
}

bool writeWhole(const QString &path, const QByteArray &data) {
    const Result<AtomicFile::Error> written = AtomicFile::write(path, data, true);
    if (!written.ok())
        qDebug().noquote() << "cannot write file: " + written.reason();
    return written.ok();
}

QStringList readLines(const QString &path, qint64 limit) {
    QByteArray data;
    if (!readBounded(path, limit, &data))
        return QStringList();
    QString text = QString::fromUtf8(data);
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    QStringList lines = text.split(QLatin1Char('\n'));
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

bool isSection(const QString &line, QString *name) {
    if (line.size() < 2 || !line.startsWith(QLatin1Char('[')) || !line.endsWith(QLatin1Char(']')))
        return false;
    *name = line.mid(1, line.size() - 2);
    return true;
}

bool hasLineBreak(const QString &s) {
    return s.contains(QLatin1Char('\n')) || s.contains(QLatin1Char('\r'));
}

bool validKeyPath(const QString &keyPath) {
    return !keyPath.isEmpty() && !keyPath.contains(QLatin1Char(']')) && !hasLineBreak(keyPath);
}

bool validValueName(const QString &name) {
    return !name.isEmpty() && !name.contains(QLatin1Char('=')) && !name.startsWith(QLatin1Char('[')) &&
           !name.startsWith(QLatin1Char(';')) && !hasLineBreak(name);
}

// Calls fn(name, value) for every entry of the section keyPath.
template <typename Fn>
void forEachRegistryEntry(const QString &keyPath, Fn fn) {
    bool inSection = false;
    for (const QString &line : readLines(registryFilePath(), maxRegistryFileSize)) {
        QString section;
        if (isSection(line, &section)) {
            inSection = section.compare(keyPath, Qt::CaseInsensitive) == 0;
            continue;
        }
        if (!inSection || line.startsWith(QLatin1Char(';')))
            continue;
        const int eq = line.indexOf(QLatin1Char('='));
        if (eq > 0)
            fn(line.left(eq), line.mid(eq + 1));
    }
}

// Desktop entry "string" escapes (\s \n \t \r \\), so any value round-trips exactly.
QString desktopEscape(const QString &s) {
    QString out;
    for (int i = 0; i < s.size(); ++i) {
        const QChar c = s[i];
        if (c == QLatin1Char('\\'))
            out += QStringLiteral("\\\\");
        else if (c == QLatin1Char('\t'))
            out += QStringLiteral("\\t");
        else if (i == 0 && c == QLatin1Char(' '))
            out += QStringLiteral("\\s");
        else
            out += c;
    }
    return out;
}

QString desktopUnescape(const QString &s) {
    QString out;
    for (int i = 0; i < s.size(); ++i) {
        const QChar c = s[i];
        if (c != QLatin1Char('\\') || i + 1 == s.size()) {
            out += c;
            continue;
        }
        const QChar n = s[++i];
        if (n == QLatin1Char('s'))
            out += QLatin1Char(' ');
        else if (n == QLatin1Char('n'))
            out += QLatin1Char('\n');
        else if (n == QLatin1Char('t'))
            out += QLatin1Char('\t');
        else if (n == QLatin1Char('r'))
            out += QLatin1Char('\r');
        else if (n == QLatin1Char('\\'))
            out += QLatin1Char('\\');
        else
            out += QLatin1Char('\\') + QString(n);
    }
    return out;
}

void setReason(QString *why, const QString &what) {
    if (why)
        *why = what + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(errno));
}

// A descriptor of the plain file at `path`, or -1 with the reason: the last component is never
// followed if it is a link, and only a regular file with no other hard link is accepted.
int openPlain(const QByteArray &path, int flags, QString *why) {
    const QString name = QFile::decodeName(path);
    // Non-blocking, so that a pipe planted under the name cannot hang the open.
    const int fd = ::open(path.constData(), flags | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0666);
    if (fd < 0) {
        if (errno == ELOOP) {
            if (why)
                *why = QStringLiteral("%1 is a link, not a plain file").arg(name);
        } else {
            setReason(why, QStringLiteral("cannot open %1").arg(name));
        }
        return -1;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1) {
        if (why)
            *why = QStringLiteral("%1 is not a plain file").arg(name);
        ::close(fd);
        return -1;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

bool validRunName(const QString &name) {
    return !name.isEmpty() && !name.contains(QLatin1Char('/')) && name != QLatin1String(".") &&
           name != QLatin1String("..");
}

// The end of the session reaches the GUI thread through a socket pair: the signal handler writes a
// byte into one end, a notifier of the event loop reads the other.
int sessionEndSockets[2] = {-1, -1};

// Runs in whatever the signal interrupted: only async-signal-safe calls. The socket does not
// block; when it is full, a byte is already waiting.
extern "C" void sessionEndSignal(int) {
    const int savedErrno = errno;
    const char byte = 1;
    const ssize_t written = ::write(sessionEndSockets[1], &byte, 1);
    (void)written;
    errno = savedErrno;
}

} // namespace

namespace Platform {

QString registryValue(const QString &keyPath, const QString &name) {
    QString result;
    forEachRegistryEntry(keyPath, [&](const QString &n, const QString &v) {
        if (n.compare(name, Qt::CaseInsensitive) == 0)
            result = v; // the last one wins, like QSettings
    });
    return result;
}

QStringList registryValueNames(const QString &keyPath) {
    QStringList names;
    forEachRegistryEntry(keyPath, [&](const QString &n, const QString &) {
        bool seen = false;
        for (const QString &s : qAsConst(names))
            seen = seen || s.compare(n, Qt::CaseInsensitive) == 0;
        if (!seen)
            names << n;
    });
    return names;
}

bool setRegistryValue(const QString &keyPath, const QString &name, const QString &value) {
    if (!validKeyPath(keyPath) || !validValueName(name) || hasLineBreak(value)) {
        qDebug() << "registry value refused" << keyPath << name;
        return false;
    }
    const QString path = registryFilePath();
    QStringList lines = readLines(path, maxRegistryFileSize);
    if (lines.isEmpty() && QFile::exists(path)) {
        QFileInfo fi(path);
        if (fi.size() > 0) {
            qDebug() << "registry file unreadable" << path;
            return false;
        }
    }

    const QString entry = name + QLatin1Char('=') + value;
    bool inSection = false;
    int sectionEnd = -1; // index after the last line of the matching section
    bool replaced = false;
    for (int i = 0; i < lines.size(); ++i) {
        QString section;
        if (isSection(lines[i], &section)) {
            inSection = section.compare(keyPath, Qt::CaseInsensitive) == 0;
            if (inSection)
                sectionEnd = i + 1;
            continue;
        }
        if (!inSection)
            continue;
        if (!lines[i].trimmed().isEmpty())
            sectionEnd = i + 1;
        const int eq = lines[i].indexOf(QLatin1Char('='));
        if (eq > 0 && lines[i].left(eq).compare(name, Qt::CaseInsensitive) == 0) {
            if (replaced) {
                lines.removeAt(i--);
                sectionEnd = i + 1;
            } else {
                lines[i] = entry;
                replaced = true;
            }
        }
    }
    if (!replaced) {
        if (sectionEnd < 0) {
            if (!lines.isEmpty() && !lines.last().isEmpty())
                lines << QString();
            lines << QLatin1Char('[') + keyPath + QLatin1Char(']') << entry;
        } else {
            lines.insert(sectionEnd, entry);
        }
    }
    return writeWhole(path, (lines.join(QLatin1Char('\n')) + QLatin1Char('\n')).toUtf8());
}

QString runValue(const QString &name) {
    if (!validRunName(name))
        return QString();
    bool inEntry = false;
    QString exec;
    bool hidden = false;
    for (const QString &line : readLines(autostartFilePath(name), maxDesktopFileSize)) {
        QString section;
        if (isSection(line, &section)) {
            inEntry = section == QLatin1String("Desktop Entry");
            continue;
        }
        if (!inEntry)
            continue;
        if (line.startsWith(QLatin1String("Exec=")))
            exec = desktopUnescape(line.mid(5));
        else if (line == QLatin1String("Hidden=true"))
            hidden = true;
    }
    // A hidden entry is how desktops record "removed by the user".
    return hidden ? QString() : exec;
}

bool setRunValue(const QString &name, const QString &value) {
    if (!validRunName(name) || value.isEmpty() || value.contains(QLatin1Char('\n')) ||
        value.contains(QLatin1Char('\r'))) {
        qDebug() << "run value refused" << name;
        return false;
    }
    const QString text = QStringLiteral("[Desktop Entry]\n"
                                        "Type=Application\n"
                                        "Version=1.0\n"
                                        "Name=") +
                         desktopEscape(name) + QStringLiteral("\nExec=") + desktopEscape(value) +
                         QStringLiteral("\nTerminal=false\n"
                                        "X-GNOME-Autostart-enabled=true\n");
    return writeWhole(autostartFilePath(name), text.toUtf8());
}

bool removeRunValue(const QString &name) {
    if (!validRunName(name))
        return false;
    const QString path = autostartFilePath(name);
    if (!QFileInfo::exists(path) && !QFileInfo(path).isSymLink())
        return true;
    if (!QFile::remove(path)) {
        qDebug() << "cannot remove autostart entry" << path;
        return false;
    }
    return true;
}

QString currentUserName() {
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    if (size <= 0)
        size = 1024;
    // Grow on ERANGE, but not without end.
    for (; size <= (1 << 20); size *= 2) {
        std::vector<char> buffer(static_cast<size_t>(size));
        struct passwd pwd;
        struct passwd *result = nullptr;
        const int rc = getpwuid_r(geteuid(), &pwd, buffer.data(), buffer.size(), &result);
        if (rc == ERANGE)
            continue;
        if (rc == 0 && result && result->pw_name && result->pw_name[0])
            return QString::fromLocal8Bit(result->pw_name);
        break;
    }
    return qEnvironmentVariable("USER");
}

QByteArray rawSmbiosTable() {
    QByteArray entryPoint;
    QByteArray dmi;
    if (!readBounded(QStringLiteral("/sys/firmware/dmi/tables/smbios_entry_point"), maxEntryPointSize,
                     &entryPoint) ||
        !readBounded(QStringLiteral("/sys/firmware/dmi/tables/DMI"), maxDmiSize, &dmi))
        return QByteArray();
    return assembleSmbiosTable(entryPoint, dmi);
}

bool processExists(qint64 pid) {
    // kill(0) and kill(-n) address process groups, so only real ids are asked about.
    if (pid <= 0 || pid > INT_MAX)
        return false;
    if (kill(pid_t(pid), 0) == 0)
        return true;
    return errno == EPERM;
}

bool replaceFile(const QString &from, const QString &to, QString *why) {
    const QByteArray source = QFile::encodeName(from);
    const int fd = openPlain(source, O_RDONLY, why);
    if (fd < 0)
        return false;
    const bool synced = ::fsync(fd) == 0;
    if (!synced)
        setReason(why, QStringLiteral("cannot flush %1").arg(from));
    ::close(fd);
    if (!synced)
        return false;
    if (::rename(source.constData(), QFile::encodeName(to).constData()) != 0) {
        setReason(why, QStringLiteral("cannot rename %1 to %2").arg(from, to));
        return false;
    }
    return true;
}

char *allocateBuffer(qint64 size, bool whole) {
    if (size <= 0)
        return nullptr;
    // Huge pages need their alignment; a smaller buffer is not worth one. A huge page takes its
    // whole 2 MiB at the first byte written.
    constexpr size_t HugePage = 2 * 1024 * 1024;
    if (!whole || size_t(size) < HugePage)
        return static_cast<char *>(std::malloc(size_t(size)));
    void *memory = nullptr;
    if (posix_memalign(&memory, HugePage, size_t(size)) != 0)
        return nullptr;
#ifdef MADV_HUGEPAGE
    // Only advice: without huge pages the buffer works as well.
    madvise(memory, size_t(size), MADV_HUGEPAGE);
#endif
    return static_cast<char *>(memory);
}

void freeBuffer(char *buffer) {
    std::free(buffer);
}

void tuneHeap() {
#ifdef M_ARENA_MAX
    mallopt(M_ARENA_MAX, 2);
#endif
#if defined(M_MMAP_THRESHOLD) && defined(M_TRIM_THRESHOLD)
    // A piece buffer (4 MiB) is still mapped on its own; it lives in the buffer pool.
    mallopt(M_MMAP_THRESHOLD, 4 * 1024 * 1024);
    mallopt(M_TRIM_THRESHOLD, 64 * 1024 * 1024);
#endif
}

void releaseFreedMemory() {
#ifdef __GLIBC__
    malloc_trim(0);
#endif
}

void startWriteBack(QFile *file, qint64 offset, qint64 length) {
#ifdef SYNC_FILE_RANGE_WRITE
    ::sync_file_range(file->handle(), offset, length, SYNC_FILE_RANGE_WRITE);
#else
    Q_UNUSED(file);
    Q_UNUSED(offset);
    Q_UNUSED(length);
#endif
}

bool syncFile(const QString &path) {
    const int fd = openPlain(QFile::encodeName(path), O_RDONLY, nullptr);
    if (fd < 0)
        return false;
    const bool synced = ::fsync(fd) == 0;
    ::close(fd);
    return synced;
}

bool openPlainFile(QFile *file, const QString &path, QIODevice::OpenMode mode, QString *why) {
    const bool write = mode & QIODevice::WriteOnly;
    const int fd = openPlain(QFile::encodeName(path), write ? O_RDWR | O_CREAT : O_RDONLY, why);
    if (fd < 0)
        return false;
    if (!file->open(fd, mode, QFileDevice::AutoCloseHandle)) {
        if (why)
            *why = QStringLiteral("cannot open %1: %2").arg(path, file->errorString());
        ::close(fd);
        return false;
    }
    return true;
}

bool entryExists(const QString &path) {
    struct stat st;
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0;
}

bool startUpdateScript(const QString &scriptDir, const QString &newFileName) {
    if (newFileName.isEmpty() || newFileName.contains(QLatin1Char('/')) ||
        newFileName.contains(QLatin1Char('\\')) || newFileName == QLatin1String("..")) {
        qDebug() << "update script refused file name" << newFileName;
        return false;
    }
    const QString script = QDir::fromNativeSeparators(scriptDir) + QStringLiteral("/update.sh");
    return QProcess::startDetached(QStringLiteral("/bin/sh"), {script, newFileName}, QDir::currentPath());
}

QString gameProgram() {
    const QString path = QFileInfo(launcherDir() + QStringLiteral("/Quelvane.exe")).absoluteFilePath();
    QFile f(path);
    if (f.exists()) {
        const QFile::Permissions perms = f.permissions();
        if (!(perms & QFile::ExeOwner) && !f.setPermissions(perms | QFile::ExeOwner))
            qDebug() << "cannot make the game executable" << path << f.errorString();
    }
    return path;
}

bool watchSessionEnd(QObject *receiver, std::function<void()> handler) {
    if (!receiver || !handler || sessionEndSockets[0] >= 0) {
        qWarning() << "session end watch refused"
                   << (sessionEndSockets[0] >= 0 ? "already watched" : "no handler");
        return false;
    }
    int sockets[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, sockets) != 0) {
        qWarning() << "cannot watch the session end" << qt_error_string(errno);
        return false;
    }
    sessionEndSockets[0] = sockets[0];
    sessionEndSockets[1] = sockets[1];

    auto *notifier = new QSocketNotifier(sockets[0], QSocketNotifier::Read, receiver);
    QObject::connect(notifier, &QSocketNotifier::activated, receiver, [notifier, handler]() {
        char bytes[64];
        while (::read(notifier->socket(), bytes, sizeof bytes) > 0) {
        }
        // Once: a second signal while the launcher leaves changes nothing.
        notifier->setEnabled(false);
        qDebug() << "session ends";
        handler();
    });

    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = sessionEndSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signalNumber : {SIGTERM, SIGHUP}) {
        // Started under nohup: the launcher is meant to outlive its terminal.
        struct sigaction previous;
        if (signalNumber == SIGHUP && sigaction(SIGHUP, nullptr, &previous) == 0 &&
            previous.sa_handler == SIG_IGN)
            continue;
        if (sigaction(signalNumber, &action, nullptr) != 0)
            qWarning() << "cannot handle signal" << signalNumber << qt_error_string(errno);
    }
    return true;
}

bool lanAdapterAllowed(int, QString *) {
    return true;
}

bool firewallAllowsServing(QString *) {
    return true;
}

} // namespace Platform
