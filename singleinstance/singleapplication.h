#pragma once

#include <QApplication>
#include <QByteArray>
#include <QString>

class SingleApplicationPrivate;

// The application object that keeps one launcher per key (executable, version, user) alive.
// While it is constructed it decides whether this process is the primary instance (owns the
// shared block and listens on the local socket) or a secondary one. A process that may not
// stay (allowSecondary false) greets the primary and exits with 0 inside the constructor.
class SingleApplication : public QApplication {
    Q_OBJECT

public:
    enum Option : quint32 {
        UserScope = 1,            // key includes the user name; server accepts only that user
        NotifySecondaryStart = 4, // secondaries announce themselves; primary emits instanceStarted()
        KeyWithoutVersion = 8,    // leave the application version out of the key
        KeyWithoutPath = 16,      // leave the executable path out of the key
    };
    Q_DECLARE_FLAGS(Options, Option)

    enum SendOption { DontWait = 0, WaitForPrimaryExit = 1 };

    SingleApplication(int &argc, char *argv[], bool allowSecondary = false, Options options = UserScope,
                      int timeoutMs = 1000, const QString &extraKeyData = QString());
    ~SingleApplication() override;

    bool isPrimaryInstance() const;
    bool isSecondaryInstance() const;
    quint32 instanceId() const; // 0 in the primary, 1, 2, ... in secondaries
    QString keyName() const;    // name of the shared block and the local server

    // Sends a message to the primary; false at once in the primary, or when the primary cannot be
    // reached within timeoutMs. A primary that took the connection has at least
    // SingleApplicationPrivate::AcknowledgementWaitMs to acknowledge, so a busy one still gets the
    // message; false when it does not.
    bool sendToPrimary(const QByteArray &message, int timeoutMs = 100, SendOption option = DontWait);

signals:
    void instanceStarted();
    void receivedMessage(quint32 instanceId, QByteArray message);

private:
    friend class SingleApplicationPrivate;
    [[noreturn]] void abortStart(const char *reason);

    SingleApplicationPrivate *d;
};

Q_DECLARE_OPERATORS_FOR_FLAGS(SingleApplication::Options)
