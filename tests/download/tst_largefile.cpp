// A listed file of 3 GiB: offsets past 2 and 4 GiB in ranges, writes, the record and the digest.
// Sparse files keep it quick and small on disk: the earlier run's part is already there, the last
// pieces are fetched, and the whole file is checked.
#include "download/downloadtaskpiece.h"
#include "download/resumerecord.h"
#include "download/xdmanager.h"
#include "support/httpserver.h"
#include "trust/versiontable.h"

#include <QCryptographicHash>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>

namespace {

constexpr qint64 Piece = DownloadTaskPiece::PieceSize;
constexpr qint64 Size = 3 * (qint64(1) << 30) + 12345;
// Bytes that differ from the sparse zeros, around the offsets where 32-bit arithmetic breaks.
const qint64 Marks[] = {0, (qint64(1) << 31) - 3, (qint64(1) << 32) - 2, Size - 7000, Size - 1};

bool makeSparse(const QString &path, qint64 upTo) {
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || !f.resize(upTo))
        return false;
    for (qint64 at : Marks) {
        if (at < upTo &&
            (!f.seek(at) || f.write(QByteArray::number(at).left(int(qMin<qint64>(8, upTo - at)))) < 1))
            return false;
    }
    return true;
}

QString md5Of(const QString &path) {
    QFile f(path);
    QCryptographicHash hash(QCryptographicHash::Md5);
    return f.open(QIODevice::ReadOnly) && hash.addData(&f) ? QString::fromLatin1(hash.result().toHex())
                                                           : QString();
}

} // namespace

class TestLargeFile : public QObject {
    Q_OBJECT

private slots:
    void threeGibFileResumesPastFourGibAndVerifies() {
        HttpServer server;
        QVERIFY(server.listenOnAssignedPort());
        QTemporaryDir cdn, dir;
        QVERIFY(cdn.isValid() && dir.isValid());
        QVERIFY(makeSparse(cdn.filePath(QStringLiteral("v1_big.bin")), Size));
        server.serveDirectory("/cdn/", cdn.path());

        RemoteFileInfo info;
        info.name = QStringLiteral("big.bin");
        info.version = QStringLiteral("1");
        info.size = Size;
        info.md5 = md5Of(cdn.filePath(QStringLiteral("v1_big.bin")));
        VersionTable::instance().insert(info.name, info);

        // An earlier run left every piece but the last three.
        const QString target = dir.filePath(info.name);
        ResumeRecord record(info.name, info.version, info.size, info.md5);
        const int fetched = 3;
        for (int k = 0; k < record.pieceCount() - fetched; ++k)
            record.setComplete(k);
        const qint64 kept = qint64(record.pieceCount() - fetched) * Piece;
        QVERIFY(makeSparse(ResumeRecord::partialPath(target), kept));
        QVERIFY(record.save(target).ok());

        XDManager m(dir.path());
        QSignalSpy ended(&m, &XDManager::fileDownloadFinished);
        QSignalSpy all(&m, &XDManager::allFileDownloadFinished);
        m.addFile(QStringLiteral("v1_big.bin"), info.name);
        QCOMPARE(m.resumedBytes(info.name), kept);
        m.start();
        QVERIFY(all.wait(300000));
        QCOMPARE(ended.count(), 1);
        QCOMPARE(ended.at(0).at(0).value<ErrorCode>(), NoError);

        const QList<HttpServer::Request> requests = server.requestsFor("/cdn/v1_big.bin");
        QCOMPARE(requests.size(), fetched);
        // The three pieces are asked for at once, on three connections: in any order.
        QList<QByteArray> ranges;
        for (const HttpServer::Request &r : requests)
            ranges.append(r.range());
        std::sort(ranges.begin(), ranges.end());
        QCOMPARE(ranges.first(), QByteArray("bytes=3212836864-3217031167"));
        QCOMPARE(ranges.last(), QStringLiteral("bytes=3221225472-%1").arg(Size - 1).toLatin1());
        QCOMPARE(server.bodyBytesSent(), Size - kept);
        QCOMPARE(QFileInfo(target).size(), Size);
        QVERIFY(!ResumeRecord::exists(target));
        VersionTable::release();
    }
};

KV_HTTP_TEST_MAIN(QCoreApplication, TestLargeFile,
                  {"KESTRIVANE_TEST_CDN_BASE_URL", QStringLiteral("http://127.0.0.1:%1/cdn/")})

#include "tst_largefile.moc"
