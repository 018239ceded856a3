#include "services/campaignid.h"

#include "platform/platform.h"

#include <QDebug>

namespace {
const char *const InstallerKey = "HKEY_CURRENT_USER\\SOFTWARE\\Quelvane";
}

QString campaignIdFromFilename(const QString &fileName) {
    if (fileName.isEmpty())
        return QString();
    const int gc = fileName.indexOf(QLatin1String("gc"));
    if (gc < 0)
        return QString();
    const int lid = fileName.lastIndexOf(QLatin1String("lid"));
    const int length = lid - gc - 2;
    if (length < 0)
        return fileName.mid(gc + 2);
    return fileName.mid(gc + 2, length);
}

QString readCampaignId() {
    const QString key = QString::fromLatin1(InstallerKey);
    const QString fileName = Platform::registryValue(key, QStringLiteral("Filename"));
    qDebug().noquote() << "filename=" + fileName +
                              ", keys=" + Platform::registryValueNames(key).join(QLatin1Char(','));
    if (fileName.isEmpty())
        return QString();
    const QString gclid = campaignIdFromFilename(fileName);
    qDebug().noquote() << "gclid=" + gclid;
    return gclid;
}
