#include "workflow/launcherconfig.h"

#include "trust/keyrevocation.h"
#include "trust/minisignpublickey.h"

#include <QDebug>

namespace {

const QString VersionGroup = QStringLiteral("version");
const QString MarkGroup = QStringLiteral("uncompressing");
const QString ManualResumeKey = QStringLiteral("download_config/manual_resume");
const QString GameArchiveKey = QStringLiteral("download_config/game_archive");
const QString UpdateReleaseKey = QStringLiteral("download_config/update_release");
const QString UpdateBytesKey = QStringLiteral("download_config/update_bytes");
// A SHA-256 in hex.
constexpr int ReleaseDigestLength = 64;
const QString SignedTimeKey = QStringLiteral("release/signed_timestamp");
const QString ComingTimeKey = QStringLiteral("release/coming_timestamp");
const QString StaleComingTimeKey = QStringLiteral("release/stale_coming_timestamp");
const QString RevokedKeysKey = QStringLiteral("release/revoked_keys");

QString key(const QString &group, const QString &name) {
    return group + QLatin1Char('/') + name;
}

} // namespace

LauncherConfig::LauncherConfig(const QString &folder)
    : settings(folder + QStringLiteral("/config.ini"), QSettings::IniFormat) {}

LauncherConfig::~LauncherConfig() {
    recordStaged();
}

QString LauncherConfig::installedVersion(const QString &name) const {
    return settings.value(key(VersionGroup, name)).toString();
}

QStringList LauncherConfig::installedNames() const {
    return keysOf(VersionGroup);
}

void LauncherConfig::recordDownloaded(const QString &name, const QString &version, bool markForExtraction) {
    applyStaged();
    if (markForExtraction)
        settings.setValue(key(MarkGroup, name), 1);
    settings.setValue(key(VersionGroup, name), version);
    sync();
}

void LauncherConfig::stageDownloaded(const QString &name, const QString &version, bool markForExtraction) {
    // Not in the settings yet: they write themselves back from the event loop after any change.
    staged.append({name, version, markForExtraction});
}

bool LauncherConfig::recordStaged() {
    // A write that failed (a full disk) is tried again: what it held is only in memory.
    if (staged.isEmpty() && !unsynced)
        return true;
    applyStaged();
    return sync();
}

// Staged downloads go with any rewrite, before the change that asks for it, so that they never
// overtake it (a file forgotten after it was staged stays forgotten).
void LauncherConfig::applyStaged() {
    for (const Staged &s : qAsConst(staged)) {
        if (s.mark)
            settings.setValue(key(MarkGroup, s.name), 1);
        settings.setValue(key(VersionGroup, s.name), s.version);
    }
    staged.clear();
}

void LauncherConfig::forget(const QString &name) {
    applyStaged();
    settings.remove(key(VersionGroup, name));
    settings.remove(key(MarkGroup, name));
    sync();
}

void LauncherConfig::forgetVersion(const QString &name) {
    applyStaged();
    settings.remove(key(VersionGroup, name));
    sync();
}

QStringList LauncherConfig::extractionMarks() const {
    return keysOf(MarkGroup);
}

bool LauncherConfig::hasExtractionMark(const QString &name) const {
    return settings.contains(key(MarkGroup, name));
}

void LauncherConfig::clearExtractionMark(const QString &name) {
    applyStaged();
    settings.remove(key(MarkGroup, name));
    sync();
}

bool LauncherConfig::hasManualResume() const {
    return settings.contains(ManualResumeKey);
}

bool LauncherConfig::manualResume() const {
    return settings.value(ManualResumeKey, false).toBool();
}

void LauncherConfig::setManualResume(bool manualResume) {
    applyStaged();
    settings.setValue(ManualResumeKey, manualResume);
    sync();
}

LauncherConfig::UpdateRun LauncherConfig::updateRun() const {
    bool ok = false;
    const qint64 bytes = settings.value(UpdateBytesKey).toLongLong(&ok);
    const QByteArray release = settings.value(UpdateReleaseKey).toString().toLatin1();
    if (!ok || bytes < 0 || release.size() != ReleaseDigestLength)
        return {};
    return {release, bytes};
}

bool LauncherConfig::setUpdateRun(const UpdateRun &run) {
    applyStaged();
    settings.setValue(UpdateReleaseKey, QString::fromLatin1(run.release));
    settings.setValue(UpdateBytesKey, run.bytes);
    return sync();
}

void LauncherConfig::clearUpdateRun() {
    if (!settings.contains(UpdateReleaseKey) && !settings.contains(UpdateBytesKey))
        return;
    applyStaged();
    settings.remove(UpdateReleaseKey);
    settings.remove(UpdateBytesKey);
    sync();
}

QString LauncherConfig::gameArchive() const {
    return settings.value(GameArchiveKey).toString();
}

void LauncherConfig::setGameArchive(const QString &name) {
    applyStaged();
    settings.setValue(GameArchiveKey, name);
    sync();
}

qint64 LauncherConfig::timestamp(const QString &key) const {
    bool ok = false;
    const qint64 time = settings.value(key).toLongLong(&ok);
    return ok ? time : -1;
}

bool LauncherConfig::setTimestamp(const QString &key, qint64 time) {
    applyStaged();
    settings.setValue(key, time);
    return sync();
}

qint64 LauncherConfig::newestAcceptedRelease() const {
    return timestamp(SignedTimeKey);
}

bool LauncherConfig::setNewestAcceptedRelease(qint64 time) {
    return setTimestamp(SignedTimeKey, time);
}

qint64 LauncherConfig::newestAcceptedComing() const {
    return timestamp(ComingTimeKey);
}

bool LauncherConfig::setNewestAcceptedComing(qint64 time) {
    return setTimestamp(ComingTimeKey, time);
}

qint64 LauncherConfig::staleComing() const {
    return timestamp(StaleComingTimeKey);
}

bool LauncherConfig::setStaleComing(qint64 time) {
    return setTimestamp(StaleComingTimeKey, time);
}

QList<QByteArray> LauncherConfig::revokedKeys() const {
    QList<QByteArray> ids;
    // The file may have been edited or damaged: only well-formed key ids count, and only so many.
    for (const QString &text : settings.value(RevokedKeysKey).toStringList()) {
        const QByteArray id = KeyRevocation::keyIdFromText(text.trimmed());
        if (id.isEmpty()) {
            qWarning() << "ignoring a revoked key that is not a key id" << text.left(40) << path();
            continue;
        }
        if (!ids.contains(id))
            ids.append(id);
        if (ids.size() == MaxRevokedKeys)
            break;
    }
    return ids;
}

bool LauncherConfig::addRevokedKeys(const QList<QByteArray> &keyIds) {
    QList<QByteArray> ids = revokedKeys();
    const int before = ids.size();
    for (const QByteArray &id : keyIds) {
        if (id.size() == MinisignPublicKey::KeyIdSize && !ids.contains(id) && ids.size() < MaxRevokedKeys)
            ids.append(id);
    }
    if (ids.size() == before)
        return true;
    QStringList texts;
    for (const QByteArray &id : qAsConst(ids))
        texts << MinisignPublicKey::keyIdText(id);
    applyStaged();
    settings.setValue(RevokedKeysKey, texts);
    return sync();
}

QStringList LauncherConfig::keysOf(const QString &group) const {
    settings.beginGroup(group);
    const QStringList keys = settings.childKeys();
    settings.endGroup();
    return keys;
}

bool LauncherConfig::sync() {
    settings.sync();
    bool written = settings.status() == QSettings::NoError;
    if (!written) {
        // The settings keep their first error for good. What they failed to write stays pending in
        // the file's state, which every reader of the file in this process shares: a new reader's
        // write tells whether it is on the disk now.
        QSettings probe(settings.fileName(), settings.format());
        probe.sync();
        written = probe.status() == QSettings::NoError;
    }
    unsynced = !written;
    if (written)
        return true;
    qWarning() << "cannot write the download configuration" << settings.fileName() << settings.status();
    return false;
}
