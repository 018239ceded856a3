#include "platform/platform.h"
#include "singleinstance/instanceblock.h"
#include "singleinstance/singleapplication.h"
#include "singleinstance/singleapplicationprivate.h"

#include <QCryptographicHash>
#include <QDataStream>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QLocalSocket>
#include <QProcess>
#include <QRandomGenerator>
#include <QSharedMemory>
#include <QTemporaryDir>
#include <QUuid>
#include <QtTest>

#include <cstring>
#include <memory>

namespace {

const char *const InconsistentWarning =
    "SingleApplication: Shared memory block has been in an inconsistent state "
    "from more than 5s. Assuming primary instance failure.";

// One run of the helper, with its output collected as it arrives.
class Helper {
public:
    explicit Helper(const QString &program = QStringLiteral(INSTANCEHELPER_PATH))
        : program(program) {
        process.setProcessChannelMode(QProcess::SeparateChannels);
    }
    ~Helper() {
        if (process.state() != QProcess::NotRunning) {
            // A primary left by a failed check releases its block on the way out.
            quit();
            if (process.waitForFinished(3000))
                return;
            process.kill();
            process.waitForFinished(5000);
        }
    }

    void start(const QStringList &arguments) {
        process.start(program, arguments);
        QVERIFY2(process.waitForStarted(10000), qPrintable(process.errorString()));
    }

    // Waits until a line equal to `line` has been printed.
    bool waitForLine(const QByteArray &line, int timeoutMs = 10000) {
        QElapsedTimer timer;
        timer.start();
        for (;;) {
            collect();
            if (lines().contains(line))
                return true;
            if (timer.elapsed() > timeoutMs || process.state() == QProcess::NotRunning)
                break;
            process.waitForReadyRead(50);
        }
        collect();
        return lines().contains(line);
    }

    bool finish(int timeoutMs = 20000) {
        const bool done = process.state() == QProcess::NotRunning || process.waitForFinished(timeoutMs);
        collect();
        return done;
    }

    void quit() {
        process.write("quit\n");
        process.closeWriteChannel();
    }

    // Asks the helper to quit and waits for its end.
    bool quitAndFinish() {
        quit();
        return finish();
    }

    QList<QByteArray> lines() {
        collect();
        QList<QByteArray> result = out.split('\n');
        if (!result.isEmpty() && result.last().isEmpty())
            result.removeLast();
        // Windows' text-mode standard output ends lines with "\r\n".
        for (QByteArray &line : result) {
            if (line.endsWith('\r'))
                line.chop(1);
        }
        return result;
    }

    QByteArray value(const QByteArray &prefix) {
        for (const QByteArray &line : lines()) {
            if (line.startsWith(prefix))
                return line.mid(prefix.size());
        }
        return QByteArray();
    }

    QByteArray errors() {
        collect();
        return err;
    }

    QString program;
    QProcess process;

private:
    void collect() {
        out += process.readAllStandardOutput();
        err += process.readAllStandardError();
    }
    QByteArray out;
    QByteArray err;
};

QByteArray frameHeader(qint64 length) {
    QByteArray header;
    QDataStream stream(&header, QIODevice::WriteOnly);
    stream.setVersion(QDataStream::Qt_5_6);
    stream << length;
    return header;
}

QByteArray greeting(const QByteArray &key, quint8 kind, quint32 instanceId, int crcDelta = 0) {
    QByteArray body;
    QDataStream stream(&body, QIODevice::WriteOnly);
    stream.setVersion(QDataStream::Qt_5_6);
    stream << key << kind << instanceId;
    stream << quint16(qChecksum(body.constData(), uint(body.size()), Qt::ChecksumIso3309) + crcDelta);
    return body;
}

bool readAck(QLocalSocket &socket, int timeoutMs = 5000) {
    if (socket.bytesAvailable() < 1 && !socket.waitForReadyRead(timeoutMs))
        return false;
    char c = 0;
    return socket.read(&c, 1) == 1 && c == '\n';
}

// True when the primary closed the connection without sending anything.
bool closedWithoutAnswer(QLocalSocket &socket) {
    // A wait on a named pipe under wine may end early with the pipe still open: wait again. The bound
    // is generous: a sanitizer build of the primary on a loaded machine took over 5 s to refuse.
    QDeadlineTimer deadline(20000);
    while (socket.state() != QLocalSocket::UnconnectedState && !deadline.hasExpired())
        socket.waitForDisconnected(int(qMax<qint64>(1, deadline.remainingTime())));
    return socket.state() == QLocalSocket::UnconnectedState && socket.bytesAvailable() == 0;
}

InstanceBlock *blockOf(QSharedMemory &memory) {
    return static_cast<InstanceBlock *>(memory.data());
}

// Creates the shared block under the memory's key before any launcher does; null when that fails.
InstanceBlock *createBlock(QSharedMemory &memory) {
    if (!memory.create(int(sizeof(InstanceBlock)))) {
        qWarning("cannot create the instance block: %s", qPrintable(memory.errorString()));
        return nullptr;
    }
    return blockOf(memory);
}

} // namespace

class TestSingleInstance : public QObject {
    Q_OBJECT

private:
    QString uniqueExtra() { return QUuid::createUuid().toString(QUuid::WithoutBraces); }

    QByteArray keyFor(const QString &extra, const QString &program = QStringLiteral(INSTANCEHELPER_PATH)) {
        Helper helper(program);
        helper.start({"--print-key", "--extra", extra});
        helper.finish();
        return helper.value("key=");
    }

    // Starts a helper that should become the primary.
    std::unique_ptr<Helper> startPrimary(const QStringList &arguments,
                                         const QString &program = QStringLiteral(INSTANCEHELPER_PATH)) {
        auto helper = std::make_unique<Helper>(program);
        helper->start(arguments);
        return helper;
    }

    // Starts a helper and waits until it is the primary.
    std::unique_ptr<Helper> runPrimary(const QStringList &arguments) {
        auto helper = startPrimary(arguments);
        if (!helper->waitForLine("role=primary id=0"))
            QTest::qFail("the start did not become the primary", __FILE__, __LINE__);
        return helper;
    }

    // Runs a second start to its end, as the launcher does it: send "activated" and leave.
    std::unique_ptr<Helper> runSecondary(const QStringList &arguments) {
        auto helper = std::make_unique<Helper>();
        helper->start(arguments);
        // A start still running would read as exit code 0 with its last lines missing.
        if (!helper->finish())
            QTest::qFail("the second start did not finish", __FILE__, __LINE__);
        return helper;
    }

    // A second start that hands "activated" over to `primary`, which receives it as message `n`.
    std::unique_ptr<Helper> activate(Helper *primary, const QString &extra, int n) {
        auto second = runSecondary({"--extra", extra});
        if (!second->lines().contains("send=1"))
            QTest::qFail(qPrintable(QStringLiteral("the second start did not send: %1 / %2")
                                        .arg(QString::fromLocal8Bit(second->lines().join(' ')),
                                             QString::fromLocal8Bit(second->errors().trimmed()))),
                         __FILE__, __LINE__);
        else if (!primary->waitForLine("message " + QByteArray::number(n) + " activated"))
            QTest::qFail("the primary did not receive the message", __FILE__, __LINE__);
        return second;
    }

private slots:
    void blockWritesAndUserNameTruncation() {
        InstanceBlock block;
        std::memset(&block, 0xAB, sizeof block);

        InstanceBlockOps::reset(&block);
        QVERIFY(InstanceBlockOps::isConsistent(block));
        QCOMPARE(block.hasPrimary, quint8(0));
        QCOMPARE(block.secondaryCount, 0u);
        QCOMPARE(block.primaryProcessId, qint64(-1));
        QCOMPARE(block.primaryUserName[0], '\0');
        // Only the first name byte is cleared; the rest still counts for the CRC.
        QCOMPARE(uchar(block.primaryUserName[1]), uchar(0xAB));
        QCOMPARE(uchar(block.padding1[0]), uchar(0xAB));
        block.primaryUserName[5] = 'x';
        QVERIFY(!InstanceBlockOps::isConsistent(block));
        InstanceBlockOps::updateChecksum(&block);

        const QString longName(200, QLatin1Char('u'));
        InstanceBlockOps::claimPrimary(&block, 4242, longName);
        QVERIFY(InstanceBlockOps::isConsistent(block));
        QCOMPARE(block.hasPrimary, quint8(1));
        QCOMPARE(block.primaryProcessId, qint64(4242));
        QCOMPARE(int(qstrnlen(block.primaryUserName, sizeof block.primaryUserName)), 127);
        QCOMPARE(block.primaryUserName[127], '\0');
        QCOMPARE(InstanceBlockOps::userName(block), longName.left(127));

        // Two-byte characters: the cut never splits one.
        const QString accented(100, QChar(0x00E9));
        InstanceBlockOps::claimPrimary(&block, 1, accented);
        QCOMPARE(int(qstrnlen(block.primaryUserName, sizeof block.primaryUserName)), 126);
        QCOMPARE(InstanceBlockOps::userName(block), accented.left(63));

        QCOMPARE(InstanceBlockOps::addSecondary(&block), 1u);
        QCOMPARE(InstanceBlockOps::addSecondary(&block), 2u);
        InstanceBlockOps::releasePrimary(&block);
        QVERIFY(InstanceBlockOps::isConsistent(block));
        QCOMPARE(block.hasPrimary, quint8(0));
        QCOMPARE(block.secondaryCount, 2u);
        QCOMPARE(block.primaryProcessId, qint64(-1));

        // Known CRC-16/X-25 check value.
        QCOMPARE(qChecksum("123456789", 9, Qt::ChecksumIso3309), quint16(0x906E));
    }

    void keyNameParts() {
        using SA = SingleApplication;
        auto key = [](SA::Options options, const QString &version, const QString &path, const QString &user,
                      const QStringList &extra = {}) {
            return SingleApplicationPrivate::computeKeyName(options, extra, "Kestrivane", "", "", version,
                                                            path, user);
        };
        const QString base = key(SA::UserScope, "", "/opt/Game/Kestrivane", "alice");
        QCOMPARE(base.size(), 44);
        QVERIFY(!base.contains('/'));
        QVERIFY(base.endsWith('='));

        // The parts in their order, hashed independently.
        QByteArray expected =
            QCryptographicHash::hash("SingleApplicationKestrivane1.0/opt/game/kestrivanealice",
                                     QCryptographicHash::Sha256)
                .toBase64();
        expected.replace('/', '_');
        QCOMPARE(key(SA::UserScope, "1.0", "/opt/Game/Kestrivane", "alice"), QString::fromLatin1(expected));

        QCOMPARE(key(SA::UserScope, "", "/OPT/GAME/KESTRIVANE", "alice"), base); // path case does not matter
        QVERIFY(key(SA::UserScope, "", "/opt/Other/Kestrivane", "alice") != base);
        QVERIFY(key(SA::UserScope, "", "/opt/Game/Kestrivane", "bob") != base);
        QVERIFY(key(SA::UserScope, "", "/opt/Game/Kestrivane", "alice", {"x"}) != base);
        QCOMPARE(key(SA::Options(), "", "/opt/Game/Kestrivane", "alice"),
                 key(SA::Options(), "", "/opt/Game/Kestrivane", "bob"));
        QCOMPARE(key(SA::UserScope | SA::KeyWithoutPath, "", "/a", "alice"),
                 key(SA::UserScope | SA::KeyWithoutPath, "", "/b", "alice"));
        QCOMPARE(key(SA::UserScope | SA::KeyWithoutVersion, "1", "/a", "alice"),
                 key(SA::UserScope | SA::KeyWithoutVersion, "2", "/a", "alice"));
        QVERIFY(key(SA::UserScope, "1", "/a", "alice") != key(SA::UserScope, "2", "/a", "alice"));
    }

    void primaryAndNumberedSecondaries() {
        const QString extra = uniqueExtra();
        const QByteArray key = keyFor(extra);
        QCOMPARE(key.size(), 44);

        auto primary = runPrimary({"--extra", extra});
        QCOMPARE(primary->value("key="), key);

        QSharedMemory memory(QString::fromLatin1(key));
        QVERIFY2(memory.attach(), qPrintable(memory.errorString()));
        QVERIFY(memory.size() >= int(sizeof(InstanceBlock)));
        {
            QVERIFY(memory.lock());
            const InstanceBlock block = *blockOf(memory);
            memory.unlock();
            QVERIFY(InstanceBlockOps::isConsistent(block));
            QCOMPARE(block.hasPrimary, quint8(1));
            QCOMPARE(block.primaryProcessId, primary->process.processId());
            QCOMPARE(InstanceBlockOps::userName(block), Platform::currentUserName());
        }

        for (quint32 n = 1; n <= 2; ++n) {
            auto second = runSecondary({"--extra", extra});
            QCOMPARE(second->process.exitStatus(), QProcess::NormalExit);
            QCOMPARE(second->process.exitCode(), 0);
            QVERIFY(second->lines().contains("role=secondary id=" + QByteArray::number(n)));
            QVERIFY(second->lines().contains("send=1"));
            QVERIFY(primary->waitForLine("message " + QByteArray::number(n) + " activated"));
        }
        QVERIFY(!primary->lines().contains("started"));

        QVERIFY(primary->quitAndFinish());
        QCOMPARE(primary->process.exitCode(), 0);
        {
            QVERIFY(memory.lock());
            const InstanceBlock block = *blockOf(memory);
            memory.unlock();
            QVERIFY(InstanceBlockOps::isConsistent(block));
            QCOMPARE(block.hasPrimary, quint8(0));
            QCOMPARE(block.primaryProcessId, qint64(-1));
            QCOMPARE(block.secondaryCount, 2u);
            QCOMPARE(block.primaryUserName[0], '\0');
        }

        // The count only grows: the next primary keeps it, its first secondary is number 3.
        auto next = runPrimary({"--extra", extra});
        auto third = activate(next.get(), extra, 3);
        QVERIFY(third->lines().contains("role=secondary id=3"));
        QVERIFY(next->quitAndFinish());
    }

    void secondStartWaitsForABusyPrimary() {
        const QString extra = uniqueExtra();
        auto primary = runPrimary({"--extra", extra});

        // Far longer than the launcher's 100 ms send, well within the wait for a connected primary.
        primary->process.write("stall 1500\n");
        QVERIFY(primary->waitForLine("stalled 1500"));
        QCOMPARE(activate(primary.get(), extra, 1)->process.exitCode(), 0);

        // A primary that stays silent: the second start still leaves, after a bounded wait.
        const QByteArray frozenMs =
            QByteArray::number(SingleApplicationPrivate::AcknowledgementWaitMs + 2000);
        primary->process.write("stall " + frozenMs + "\n");
        QVERIFY(primary->waitForLine("stalled " + frozenMs));
        auto frozen = runSecondary({"--extra", extra});
        QCOMPARE(frozen->process.exitCode(), 0);
        QVERIFY(frozen->lines().contains("send=0"));
        QVERIFY(primary->quitAndFinish());
    }

    void greetingKindsAndInstanceStarted() {
        const QString extra = uniqueExtra();
        auto primary = runPrimary({"--extra", extra, "--notify"});

        // Not allowed to stay: greets with kind 1 and leaves with 0 inside the constructor.
        auto transient = runSecondary({"--extra", extra, "--no-secondary"});
        QCOMPARE(transient->process.exitCode(), 0);
        QVERIFY(transient->lines().isEmpty()); // never got past the constructor
        QVERIFY(primary->waitForLine("started"));

        // A secondary announcing itself counts only because this primary asked for it.
        auto announced = runSecondary({"--extra", extra, "--notify"});
        QVERIFY2(announced->lines().contains("role=secondary id=1"),
                 qPrintable(QStringLiteral("exit %1, lines: %2 / %3")
                                .arg(announced->process.exitCode())
                                .arg(QString::fromLocal8Bit(announced->lines().join(' ')),
                                     QString::fromLocal8Bit(announced->errors().trimmed()))));
        QVERIFY(primary->waitForLine("message 1 activated"));
        QCOMPARE(primary->lines().count("started"), 2);

        // A message of exactly the largest frame is delivered whole.
        QByteArray big(int(SingleApplicationPrivate::MaxFrameLength), '\0');
        for (int i = 0; i < big.size(); ++i)
            big[i] = char(i * 7 + i / 251);
        const QByteArray digest = QCryptographicHash::hash(big, QCryptographicHash::Md5).toHex();
        auto large = runSecondary(
            {"--extra", extra, "--message-size", QString::number(big.size()), "--send-timeout", "10000"});
        QVERIFY(large->lines().contains("send=1"));
        QVERIFY(primary->waitForLine("message 2 size:" + QByteArray::number(big.size()) + ":md5:" + digest));

        QVERIFY(primary->quitAndFinish());
    }

    void copyInAnotherFolderIsItsOwnPrimary() {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        // Same file name: Windows runs only programs named *.exe.
        const QString copy = dir.filePath(QFileInfo(QStringLiteral(INSTANCEHELPER_PATH)).fileName());
        QVERIFY(QFile::copy(QStringLiteral(INSTANCEHELPER_PATH), copy));
        QVERIFY(QFile::setPermissions(copy, QFile::permissions(copy) | QFileDevice::ExeOwner));

        const QString extra = uniqueExtra();
        auto first = startPrimary({"--extra", extra});
        // On Windows the copy finds the libraries and plugins beside the original only this way.
        const QString originalDir = QFileInfo(QStringLiteral(INSTANCEHELPER_PATH)).absolutePath();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("PATH"),
                   originalDir + QDir::listSeparator() + env.value(QStringLiteral("PATH")));
        env.insert(QStringLiteral("QT_PLUGIN_PATH"), originalDir);
        auto other = std::make_unique<Helper>(copy);
        other->process.setProcessEnvironment(env);
        other->start({"--extra", extra});
        QVERIFY(first->waitForLine("role=primary id=0"));
        QVERIFY(other->waitForLine("role=primary id=0"));
        QVERIFY(first->value("key=") != other->value("key="));
        first->quit();
        other->quit();
        QVERIFY(first->finish());
        QVERIFY(other->finish());
    }

    void inconsistentBlockIsTakenOverAfterFiveSeconds() {
        const QString extra = uniqueExtra();
        QSharedMemory memory(QString::fromLatin1(keyFor(extra)));
        InstanceBlock *block = createBlock(memory);
        QVERIFY(block);
        auto *bytes = reinterpret_cast<uchar *>(block);
        for (size_t i = 0; i < sizeof(InstanceBlock); ++i)
            bytes[i] = uchar(QRandomGenerator::global()->bounded(256));
        block->hasPrimary = 1;
        block->crc = quint16(InstanceBlockOps::checksum(*block) ^ 0x5A5A);

        QElapsedTimer timer;
        timer.start();
        auto primary = startPrimary({"--extra", extra});
        QVERIFY(primary->waitForLine("role=primary id=0", 30000));
        QVERIFY2(timer.elapsed() >= 5000, qPrintable(QString::number(timer.elapsed())));
        // Standard error may trail standard output a little.
        QTRY_VERIFY_WITH_TIMEOUT(primary->errors().contains(InconsistentWarning), 5000);

        QVERIFY(memory.lock());
        QVERIFY(InstanceBlockOps::isConsistent(*block));
        QCOMPARE(block->hasPrimary, quint8(1));
        QCOMPARE(block->secondaryCount, 0u);
        QCOMPARE(block->primaryProcessId, primary->process.processId());
        memory.unlock();
        QVERIFY(primary->quitAndFinish());
    }

    void blockThatBecomesConsistentIsUsedUnchanged() {
        const QString extra = uniqueExtra();
        QSharedMemory memory(QString::fromLatin1(keyFor(extra)));
        InstanceBlock *block = createBlock(memory);
        QVERIFY(block);
        std::memset(block, 0x33, sizeof(InstanceBlock));

        auto primary = startPrimary({"--extra", extra});
        QVERIFY(!primary->waitForLine("role=primary id=0", 800));

        QVERIFY(memory.lock());
        InstanceBlockOps::reset(block);
        block->secondaryCount = 7;
        InstanceBlockOps::updateChecksum(block);
        memory.unlock();

        QVERIFY(primary->waitForLine("role=primary id=0"));
        QVERIFY(!primary->errors().contains(InconsistentWarning));
        auto second = runSecondary({"--extra", extra});
        QVERIFY(second->lines().contains("role=secondary id=8"));
        QVERIFY(primary->quitAndFinish());
    }

    void recordedPrimaryThatNeverAnswersIsTakenOver() {
        // The block names a live process that is not a launcher (this test, as after the killed
        // primary's id was given to another program): nobody answers under the key, so the next
        // start takes the block over instead of handing over to nobody, and later starts reach it.
        const QString extra = uniqueExtra();
        QSharedMemory memory(QString::fromLatin1(keyFor(extra)));
        InstanceBlock *block = createBlock(memory);
        QVERIFY(block);
        std::memset(block, 0, sizeof(InstanceBlock));
        InstanceBlockOps::claimPrimary(block, QCoreApplication::applicationPid(), "someone");

        auto next = runPrimary({"--extra", extra});
        QTRY_VERIFY_WITH_TIMEOUT(next->errors().contains("taking over"), 5000);
        memory.lock();
        QCOMPARE(block->primaryProcessId, next->process.processId());
        memory.unlock();

        QVERIFY(activate(next.get(), extra, 1)->lines().contains("role=secondary id=1"));
        QVERIFY(next->quitAndFinish());
    }

    void killedPrimaryIsReplacedAtOnce() {
        const QString extra = uniqueExtra();
        auto primary = runPrimary({"--extra", extra});
        primary->process.kill();
        QVERIFY(primary->process.waitForFinished(10000));
        // Where a segment outlives its processes (System V) the block still names the dead primary
        // and the next start takes it over; where it dies with them (Windows) there is no block.
        // The probe stays attached so it does not remove a surviving segment itself.
        QSharedMemory probe(QString::fromLatin1(keyFor(extra)));
        const bool survived = probe.attach();

        auto next = runPrimary({"--extra", extra});
        QVERIFY(!next->errors().contains(InconsistentWarning));
        QTRY_COMPARE_WITH_TIMEOUT(next->errors().contains("taking over"), survived, 5000);

        activate(next.get(), extra, 1);
        QVERIFY(next->quitAndFinish());
    }

    void untrustedPeers() {
        const QString extra = uniqueExtra();
        auto primary = runPrimary({"--extra", extra});
        const QByteArray key = primary->value("key=");
        QCOMPARE(key.size(), 44);

        auto connectRaw = [&](QLocalSocket &socket) {
            socket.connectToServer(QString::fromLatin1(key));
            return socket.waitForConnected(5000);
        };

        // Wrong key and wrong CRC: the header is acknowledged, the greeting is not.
        for (const QByteArray &bad : {greeting("x" + key.mid(1), 3, 9), greeting(key, 3, 9, 1)}) {
            QLocalSocket socket;
            QVERIFY(connectRaw(socket));
            socket.write(frameHeader(bad.size()));
            QVERIFY(readAck(socket));
            socket.write(bad);
            QVERIFY(closedWithoutAnswer(socket));
        }

        // Announced lengths beyond the limit, or negative, close the connection at once.
        for (qint64 length : {SingleApplicationPrivate::MaxFrameLength + 1, qint64(-1), qint64(1) << 40}) {
            QLocalSocket socket;
            QVERIFY(connectRaw(socket));
            socket.write(frameHeader(length));
            QVERIFY(closedWithoutAnswer(socket));
        }

        // Garbage.
        {
            QLocalSocket socket;
            QVERIFY(connectRaw(socket));
            QByteArray junk(256 * 1024, '\0');
            for (int i = 0; i < junk.size(); ++i)
                junk[i] = char(QRandomGenerator::global()->bounded(256));
            junk[0] = '\x7f'; // make the first "length" huge
            socket.write(junk);
            socket.waitForBytesWritten(5000);
            QVERIFY(closedWithoutAnswer(socket));
        }

        // A partial header, then the peer goes away.
        {
            QLocalSocket socket;
            QVERIFY(connectRaw(socket));
            socket.write(frameHeader(10).left(5));
            socket.flush();
            socket.disconnectFromServer();
        }

        // A header in pieces is acknowledged once, when its eighth byte is there; a message that
        // arrives together with the close is still delivered.
        {
            QLocalSocket socket;
            QVERIFY(connectRaw(socket));
            const QByteArray hello = greeting(key, 3, 42);
            const QByteArray header = frameHeader(hello.size());
            socket.write(header.left(3));
            socket.flush();
            QVERIFY(!socket.waitForReadyRead(300));
            socket.write(header.mid(3, 4));
            socket.flush();
            QVERIFY(!socket.waitForReadyRead(300));
            socket.write(header.mid(7));
            QVERIFY(readAck(socket));
            QVERIFY(!socket.waitForReadyRead(200));
            socket.write(hello);
            QVERIFY(readAck(socket));

            socket.write(frameHeader(8));
            QVERIFY(readAck(socket));
            socket.write("farewell");
            socket.flush();
            socket.disconnectFromServer();
            QVERIFY(primary->waitForLine("message 42 farewell"));
        }

        // A peer that does not wait for acknowledgements: frames queued back to back still come
        // out one by one.
        {
            QLocalSocket socket;
            QVERIFY(connectRaw(socket));
            const QByteArray hello = greeting(key, 3, 43);
            socket.write(frameHeader(hello.size()) + hello + frameHeader(3) + "one" + frameHeader(0) +
                         frameHeader(3) + "two");
            socket.flush();
            QVERIFY(primary->waitForLine("message 43 two"));
            const QList<QByteArray> lines = primary->lines();
            const int one = lines.indexOf("message 43 one");
            const int empty = lines.indexOf("message 43 ");
            QVERIFY(one >= 0 && empty > one && lines.indexOf("message 43 two") > empty);
            socket.disconnectFromServer();
        }

        // After all that the primary still serves an ordinary second start.
        activate(primary.get(), extra, 1);
        QCOMPARE(primary->process.state(), QProcess::Running);
        QVERIFY(primary->quitAndFinish());
        QCOMPARE(primary->process.exitStatus(), QProcess::NormalExit);
    }
};

QTEST_GUILESS_MAIN(TestSingleInstance)
#include "test_singleinstance.moc"
