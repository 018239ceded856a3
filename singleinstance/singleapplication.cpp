#include "singleinstance/singleapplication.h"

#include "singleinstance/instanceblock.h"
#include "singleinstance/singleapplicationprivate.h"

#include <QDataStream>
#include <QDebug>
#include <QElapsedTimer>
#include <QLocalSocket>
#include <QSharedMemory>

#include <cstdlib>

namespace {

constexpr qint64 ConsistencyWaitMs = 5000;

void logUnlockFailure(const char *text, const QSharedMemory *memory) {
    qDebug("%s", text);
    qDebug().noquote() << memory->errorString();
}

} // namespace

SingleApplication::SingleApplication(int &argc, char *argv[], bool allowSecondary, Options options,
                                     int timeoutMs, const QString &extraKeyData)
    : QApplication(argc, argv)
    , d(new SingleApplicationPrivate(this)) {
    d->options = options;
    if (!extraKeyData.isEmpty())
        d->extraKeyData.append(extraKeyData);
    d->keyName = SingleApplicationPrivate::keyNameForThisProcess(d->options, d->extraKeyData);

    SingleApplicationPrivate::randomSleep();

    d->memory = new QSharedMemory(d->keyName);
    if (d->memory->create(static_cast<int>(sizeof(InstanceBlock)), QSharedMemory::ReadWrite)) {
        if (!d->memory->lock())
            abortStart("SingleApplication: Unable to lock memory block after create.");
        InstanceBlockOps::reset(d->block());
    } else if (d->memory->error() == QSharedMemory::AlreadyExists) {
        if (!d->memory->attach(QSharedMemory::ReadWrite))
            abortStart("SingleApplication: Unable to attach to shared memory block.");
        if (!d->memory->lock())
            abortStart("SingleApplication: Unable to lock memory block after attach.");
        // A segment of that name that is too small is not ours: never read past it.
        if (d->memory->size() < static_cast<int>(sizeof(InstanceBlock))) {
            d->memory->unlock();
            abortStart("SingleApplication: Shared memory block is too small.");
        }
    } else {
        abortStart("SingleApplication: Unable to create block.");
    }

    InstanceBlock *block = d->block();
    QElapsedTimer consistencyTimer;
    consistencyTimer.start();
    while (!InstanceBlockOps::isConsistent(*block)) {
        if (consistencyTimer.elapsed() > ConsistencyWaitMs) {
            qWarning("SingleApplication: Shared memory block has been in an inconsistent state from more "
                     "than 5s. Assuming primary instance failure.");
            InstanceBlockOps::reset(block);
        }
        if (!d->memory->unlock())
            logUnlockFailure("SingleApplication: Unable to unlock memory for random wait.", d->memory);
        SingleApplicationPrivate::randomSleep();
        if (!d->memory->lock())
            abortStart("SingleApplication: Unable to lock memory after random wait.");
    }

    // A primary killed without its shut-down leaves hasPrimary set behind (the segment outlives
    // its processes on some systems); such a block is taken over instead of greeting nobody.
    const bool stalePrimary = block->hasPrimary != 0 && d->blockHasStalePrimary();
    if (stalePrimary) {
        qWarning().nospace() << "SingleApplication: Primary instance is gone, taking over. pid="
                             << block->primaryProcessId;
    }

    if (block->hasPrimary == 0 || stalePrimary) {
        d->startPrimary();
        if (!d->memory->unlock())
            logUnlockFailure("SingleApplication: Unable to unlock memory after primary start.", d->memory);
        return;
    }

    if (allowSecondary) {
        d->startSecondary();
        if (d->options.testFlag(NotifySecondaryStart))
            d->connectToPrimary(timeoutMs, SingleApplicationPrivate::ConnectSecondary);
        if (!d->memory->unlock())
            logUnlockFailure("SingleApplication: Unable to unlock memory after secondary start.", d->memory);
        return;
    }

    if (!d->memory->unlock())
        logUnlockFailure("SingleApplication: Unable to unlock memory at end of execution.", d->memory);
    d->connectToPrimary(timeoutMs, SingleApplicationPrivate::ConnectNewInstance);
    delete d;
    d = nullptr;
    std::exit(0);
}

SingleApplication::~SingleApplication() {
    delete d;
}

void SingleApplication::abortStart(const char *reason) {
    qCritical("%s", reason);
    if (d->memory) {
        qCritical().noquote().nospace() << "SingleApplication: " << static_cast<int>(d->memory->error())
                                        << " " << d->memory->errorString();
    }
    delete d;
    d = nullptr;
    std::exit(1);
}

bool SingleApplication::isPrimaryInstance() const {
    return d->server != nullptr;
}

bool SingleApplication::isSecondaryInstance() const {
    return d->server == nullptr;
}

quint32 SingleApplication::instanceId() const {
    return d->instanceId;
}

QString SingleApplication::keyName() const {
    return d->keyName;
}

bool SingleApplication::sendToPrimary(const QByteArray &message, int timeoutMs, SendOption option) {
    if (isPrimaryInstance())
        return false;
    if (message.size() > SingleApplicationPrivate::MaxFrameLength) {
        qDebug() << "SingleApplication: Message too large to send. size=" << message.size();
        return false;
    }
    if (!d->connectToPrimary(timeoutMs, SingleApplicationPrivate::ConnectForMessage))
        return false;

    QElapsedTimer timer;
    timer.start();
    bool headerAcknowledged = false;
    const bool sent = d->writeAcknowledged(
        message, SingleApplicationPrivate::acknowledgementBudget(timeoutMs), timer, &headerAcknowledged);
    if (option == WaitForPrimaryExit && headerAcknowledged &&
        d->socket->state() != QLocalSocket::UnconnectedState)
        d->socket->waitForDisconnected(-1);
    return sent;
}
