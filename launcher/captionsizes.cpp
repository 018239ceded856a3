// Pixel sizes of the window's status labels in the current language. The form gives them 19 px;
// where a language's longest texts would not fit their row at that size in the bundled heavy face,
// the labels of that row are drawn a pixel or two smaller, the same size for the whole row, chosen
// once per language so the size does not change while the numbers in the texts do.
#include "launcher/launcherupdater.h"

#include "i18n/translation.h"
#include "launcher/ui_launcherupdater.h"
#include "widgets/captionfit.h"

#include <QFontMetrics>
#include <QPair>

namespace {

const int formPixelSize = 19;
// Space kept free between the percentage line and the remaining time on the download row.
const int rowGap = 24;

QFont labelFont(const TranslatableLabel *label, int pixelSize) {
    QFont font = label->font();
    const QString family = Translation::instance()->currentFontFamily();
    if (!family.isEmpty())
        font.setFamily(family);
    font.setPixelSize(pixelSize);
    return font;
}

// Room a label's text takes: the text, its outline on both sides and the label's margins.
int labelWidth(const TranslatableLabel *label, const QFontMetrics &metrics, const QString &text) {
    const int outline = label->outlined() ? 2 * label->outlineWidth() : 0;
    return metrics.horizontalAdvance(text) + outline + 2 * label->margin();
}

void setPixelSize(TranslatableLabel *label, int pixelSize) {
    label->setStyleSheet(QStringLiteral("color:white;\nfont-size:%1px;").arg(pixelSize));
}

} // namespace

void LauncherUpdater::fitCaptionSizes() {
    Translation *catalogue = Translation::instance();
    auto tr = [catalogue](const char *key) { return catalogue->tr(QLatin1String(key)); };
    const QString widestSize = QStringLiteral("1024.00MB");

    // Download row: what the left line says beside what the right one says, within the progress
    // bar's width: the percentage at its widest beside the remaining time of a slow download, an
    // error beside the time to the next try, and the texts that stand alone.
    QList<QPair<QString, QString>> rowTexts = {
        {tr("DOWNLOADING_TIP").arg(100).arg(widestSize, widestSize),
         tr("ESTIMATED_TIME_TIP").arg(QStringLiteral("999:59:59"))},
        {tr("DISK_SPACE_SHORT").arg(widestSize), QString()},
        {tr("DISK_SPACE_STILL_SHORT").arg(widestSize), QString()},
        {tr("DOWNLOAD_PAUSED_TIP").arg(100).arg(widestSize, widestSize), QString()},
        {tr("RESUME_OFFERED_TIP").arg(100).arg(widestSize, widestSize), QString()},
        {tr("NETWORK_WAITING").arg(600), QString()},
        {tr("SCANNING_TIP").arg(100), QString()},
        {tr("CHECKING_CHANGES"), QString()},
        {tr("ADOPTING_TIP").arg(100), QString()},
        {tr("VERIFY_ALL_SOUND").arg(QStringLiteral("100,000")), QString()},
        {tr("VERIFY_REPAIRED_ONE").arg(widestSize), QString()},
        {tr("VERIFY_REPAIRED").arg(QStringLiteral("10,000"), widestSize), QString()}};
    for (const char *error : {"VERIFY_ERROR", "WRITE_ERROR", "FILE_MISSING_ON_SERVER", "UNCOMPRESS_FAILED",
                              "NETWORK_ERROR", "SERVER_ERROR", "RELEASE_OUT_OF_DATE",
                              "UPDATE_SERVER_UNREACHABLE", "RELEASE_SIGNATURE_ERROR", "VERSION_PARSE_ERROR"})
        rowTexts.append({tr(error), tr("RETRY_COUNTDOWN").arg(600)});
    const int row = ui->gameSrcProgressBar->width();
    const int downloadSize =
        largestFittingSize(formPixelSize, smallestCaptionSize(formPixelSize), [&](int size) {
            const QFontMetrics info(labelFont(ui->gameSrcDownloadInfo, size));
            const QFontMetrics time(labelFont(ui->estimateTimeInfo, size));
            for (const auto &texts : qAsConst(rowTexts)) {
                const int right = texts.second.isEmpty()
                                      ? 0
                                      : rowGap + labelWidth(ui->estimateTimeInfo, time, texts.second);
                if (labelWidth(ui->gameSrcDownloadInfo, info, texts.first) + right > row)
                    return false;
            }
            return true;
        });
    for (TranslatableLabel *label : {ui->gameSrcDownloadInfo, ui->estimateTimeInfo, ui->downloadingSpeedInfo})
        setPixelSize(label, downloadSize);

    // Launcher page: every error and progress text within the progress bar's width, so the bar
    // below stays where it is.
    QStringList launcherTexts = {tr("SERVER_ERROR"), tr("VERIFY_ERROR"), tr("WRITE_ERROR"), tr("LOADING"),
                                 QStringLiteral("%1 %2/%3").arg(tr("UPDATING"), widestSize, widestSize)};
    for (const char *error : {"NETWORK_ERROR", "VERSION_PARSE_ERROR", "LOAD_ERROR"}) {
        launcherTexts << tr("DETAILED_ERROR").arg(tr(error)).arg(3);
        launcherTexts << tr("FATAL_ERROR").arg(tr(error));
    }
    const int bar = ui->launcherProgressBar->width();
    const int launcherSize =
        largestFittingSize(formPixelSize, smallestCaptionSize(formPixelSize), [&](int size) {
            const QFontMetrics metrics(labelFont(ui->launcherDownloadInfo, size));
            for (const QString &text : launcherTexts)
                if (labelWidth(ui->launcherDownloadInfo, metrics, text) > bar)
                    return false;
            return true;
        });
    setPixelSize(ui->launcherDownloadInfo, launcherSize);
}
