#include "settings/settingdialog.h"

#include "download/bandwidthcap.h"
#include "i18n/cataloguefont.h"
#include "i18n/translatablecheckbox.h"
#include "i18n/translatablelabel.h"
#include "i18n/translatableradiobutton.h"
#include "i18n/translation.h"
#include "settings/globalsettings.h"
#include "settings/ui_settingdialog.h"
#include "widgets/doublepopupcombobox.h"
#include "widgets/imagebutton.h"
#include "widgets/mainbutton.h"
#include "widgets/menuswitch.h"
#include "widgets/roundedwidget.h"

#include <QDebug>
#include <QKeyEvent>
#include <QLineEdit>
#include <QLocale>
#include <QPainter>

#include <cmath>

namespace {

// The typed value as it is shown again: megabytes per second with one decimal at most, written with
// the decimal sign of the catalogue's language (either sign is read).
QString megabytesText(int kbps) {
    static const QLocale::Language languages[Translation::LanguageCount] = {
        QLocale::Chinese, QLocale::English,  QLocale::Dutch,   QLocale::French,
        QLocale::German,  QLocale::Japanese, QLocale::Spanish, QLocale::Turkish};
    const int index = Translation::instance()->languageIndex();
    const QLocale locale(index >= 0 && index < Translation::LanguageCount ? languages[index]
                                                                          : QLocale::English);
    QString text = QString::number(std::round(kbps / 1024.0 * 10) / 10, 'f', kbps % 1024 == 0 ? 0 : 1);
    return text.replace(QLatin1Char('.'), locale.decimalPoint());
}

} // namespace

SettingDialog::SettingDialog(QWidget *parent)
    : QDialog(parent, Qt::Dialog | Qt::FramelessWindowHint)
    , ui(std::make_unique<Ui::SettingDialog>()) {
    ui->setupUi(this);
    Translation *catalogue = Translation::instance();
    GlobalSettings *settings = GlobalSettings::instance();

    setWindowTitle(catalogue->tr(QStringLiteral("SETTINGS")));
    // 900 x 520 designed for 1280 x 720, scaled like the main window (1300 / 1280).
    setFixedSize(qRound(900 * 1300 / 1280.0), qRound(520 * 1300 / 1280.0));
    setAttribute(Qt::WA_NoSystemBackground);
    setAttribute(Qt::WA_TranslucentBackground);
    ui->stackedWidget->setCurrentIndex(0);

    ui->closeBtn->setIcon(QPixmap(QStringLiteral(":/images/images/close.png")));
    ui->closeBtn->setFaceColors(QColor("#c391e2"), QColor("#755788"), QColor("#dbbdee"));
    ui->closeBtn->rounded = true;
    ui->closeBtn->radiusIsHalfHeight = true;
    ui->closeBtn->iconScale = 0.5f;
    ui->closeBtn->update();
    connect(ui->closeBtn, SIGNAL(clicked()), this, SLOT(accept()));

    ui->settingTitle->setTextKey(QStringLiteral("SETTINGS"), true, true);

    ui->menuSwitch->setTextOffsetY(5);
    ui->menuSwitch->setItems({QStringLiteral("GENERAL_SETTINGS"), QStringLiteral("LANGUAGE"),
                              QStringLiteral("DOWNLOAD_SETTINGS")});
    connect(ui->menuSwitch, SIGNAL(menuSelected(int)), this, SLOT(switchPage(int)));

    // Controls take their state before their signals are connected, so opening writes nothing.
    ui->launchSettingLabel->setTextKey(QStringLiteral("LAUNCH_SETTING"), true, true);
    ui->automaticLaunchCheckbox->setTextKey(QStringLiteral("AUTO_LAUNCH_ON_REBOOT"));
    ui->automaticLaunchCheckbox->setChecked(settings->value(AutoLaunch) != 0);
    ui->popOnExitCheckbox->setTextKey(QStringLiteral("POPUP_ON_EXIT_GAME"));
    ui->popOnExitCheckbox->setChecked(settings->value(PopupOnExit) != 0);
    ui->closeSettingLabel->setTextKey(QStringLiteral("CLOSE_SETTINGS"), true, true);
    ui->toTrayRadioButton->setTextKey(QStringLiteral("MINIMIZE_TO_TRAY"));
    ui->exitLauncherRadioButton->setTextKey(QStringLiteral("CLOSE_LAUNCHER"));
    if (settings->value(CloseGameAction) == 0)
        ui->toTrayRadioButton->setChecked(true);
    else
        ui->exitLauncherRadioButton->setChecked(true);
    ui->crashSettingLabel->setTextKey(QStringLiteral("CRASH_SETTING"), true, true);
    ui->popupOnCrashCheckbox->setTextKey(QStringLiteral("POPUP_ON_CRASH"));
    ui->popupOnCrashCheckbox->setChecked(settings->value(PopupOnCrash) != 0);

    ui->languageBg->setColor(QColor("#6f2d98"));
    ui->languageBg->setRadius(10);
    ui->languageBg->setHoverColor(QColor("#a981c1"));
    ui->languageBg->setHoverEnabled(true);

    ui->languageLabel->setTextKey(QStringLiteral("LANGUAGE"), true, true);

    // Every language listed under its own name, in a font that can show it.
    for (int i = 0; i < Translation::LanguageCount; ++i) {
        const QString role = Translation::fontRoleAt(i);
        ui->languageComboBox->addItem(
            qMakePair(catalogue->tr(Translation::languageNameAt(i)), catalogue->fontFamily(role)));
    }
    ui->languageComboBox->setAlignment(Qt::AlignLeft);
    ui->languageComboBox->setArrowImage(QStringLiteral(":/images/images/down_arrow.png"));
    int language = settings->value(Language);
    if (language < 0 || language >= Translation::LanguageCount)
        language = catalogue->languageIndex(); // an edited file: show what the catalogue uses
    ui->languageComboBox->setCurrentIndex(language);

    ui->downloadLimitLabel->setTextKey(QStringLiteral("DOWNLOAD_LIMIT"), true, true);
    ui->downloadLimitUnitLabel->setTextKey(QStringLiteral("DOWNLOAD_LIMIT_TYPED"), true, true);
    ui->downloadLimitComboBox->setAlignment(Qt::AlignLeft);
    ui->downloadLimitComboBox->setArrowImage(QStringLiteral(":/images/images/down_arrow.png"));
    fillDownloadLimitList();
    showDownloadLimit(settings->value(DownloadLimitKbps));
    // The steps are texts of the catalogue ("5 MB/s"): the list follows the language, and so does
    // the typed value's decimal sign.
    connect(catalogue, &TranslationSignals::languageChanged, this, &SettingDialog::fillDownloadLimitList);
    connect(catalogue, &TranslationSignals::languageChanged, this, [this]() {
        const int typed = typedDownloadLimitKbps(ui->downloadLimitEdit->text());
        if (typed > 0)
            ui->downloadLimitEdit->setText(megabytesText(typed));
    });
    // The typed row keeps its room while hidden: the check box below stays put whatever the limit.
    QSizePolicy typedRowPolicy = ui->downloadLimitTypedRow->sizePolicy();
    typedRowPolicy.setRetainSizeWhenHidden(true);
    ui->downloadLimitTypedRow->setSizePolicy(typedRowPolicy);
    ui->pauseWhilePlayingCheckbox->setTextKey(QStringLiteral("PAUSE_WHILE_PLAYING"));
    ui->pauseWhilePlayingCheckbox->setChecked(settings->value(PauseDownloadsWhilePlaying) == 1);
    ui->shareWithLocalNetworkCheckbox->setTextKey(QStringLiteral("SHARE_WITH_LOCAL_NETWORK"));
    ui->shareWithLocalNetworkCheckbox->setChecked(settings->value(ShareWithLocalNetwork) == 1);
    // The hint wraps, which a translatable label does not: it follows the language here. It
    // starts where the check box's text does (its indicator picture and 5 px).
    const int textX = QPixmap(QStringLiteral(":/images/images/check_button_checked.png")).width() + 5;
    ui->shareWithLocalNetworkHint->setContentsMargins(textX, 0, 10, 0);
    showShareHint();
    connect(catalogue, &TranslationSignals::languageChanged, this, &SettingDialog::showShareHint);
    ui->downloadOnMeteredCheckbox->setTextKey(QStringLiteral("DOWNLOAD_ON_METERED"));
    ui->downloadOnMeteredCheckbox->setChecked(settings->value(DownloadOnMetered) == 1);

    // The repair: a button of its own below the download settings, reached with Tab like the rest.
    ui->verifyFilesButton->setTextKey(QStringLiteral("VERIFY_GAME_FILES"));
    ui->verifyFilesButton->setTextPixelSize(22);
    ui->verifyFilesButton->setOuterColors(QColor("#c391e2"), QColor("#755788"), QColor("#8a64a3"),
                                          QColor("#dbbdee"));
    ui->verifyFilesButton->setInnerColors(QColor("#9b4fd0"), QColor("#5e2a85"), QColor("#7a5a91"),
                                          QColor("#ad66dd"));
    ui->verifyFilesButton->setTextColors(QColor("#ffffff"), QColor("#e0d0ee"), QColor("#b9a6c8"),
                                         QColor("#ffffff"));
    connect(ui->verifyFilesButton, &QPushButton::clicked, this, &SettingDialog::verifyRequested);

    connect(ui->automaticLaunchCheckbox, SIGNAL(stateChanged(int)), this, SLOT(onLaunchSettingChanged(int)));
    connect(ui->popOnExitCheckbox, SIGNAL(stateChanged(int)), this, SLOT(onLaunchSettingChanged(int)));
    connect(ui->toTrayRadioButton, SIGNAL(clicked(bool)), this, SLOT(onCloseSettingChanged(bool)));
    connect(ui->exitLauncherRadioButton, SIGNAL(clicked(bool)), this, SLOT(onCloseSettingChanged(bool)));
    connect(ui->popupOnCrashCheckbox, SIGNAL(stateChanged(int)), this, SLOT(onCrashSettingChanged(int)));
    connect(ui->languageComboBox, SIGNAL(activated(int)), this, SLOT(onLanguageChanged(int)));
    connect(ui->downloadLimitComboBox, &DoublePopupComboBox::activated, this,
            &SettingDialog::onDownloadLimitChosen);
    connect(ui->downloadLimitEdit, &QLineEdit::editingFinished, this, &SettingDialog::onDownloadLimitTyped);
    connect(ui->pauseWhilePlayingCheckbox, &QCheckBox::stateChanged, this,
            &SettingDialog::onPauseSettingChanged);
    connect(ui->shareWithLocalNetworkCheckbox, &QCheckBox::stateChanged, this,
            &SettingDialog::onShareSettingChanged);
    connect(ui->downloadOnMeteredCheckbox, &QCheckBox::stateChanged, this,
            &SettingDialog::onMeteredSettingChanged);
}

SettingDialog::~SettingDialog() = default;

void SettingDialog::setVerifyEnabled(bool enabled) {
    ui->verifyFilesButton->setEnabled(enabled);
}

void SettingDialog::switchPage(int index) {
    ui->stackedWidget->setCurrentIndex(index);
}

void SettingDialog::onLaunchSettingChanged(int state) {
    qDebug() << "onLaunchSettingChanged " << sender() << ", state=" << state;
    const int value = state != Qt::Unchecked ? 1 : 0;
    if (sender() == ui->automaticLaunchCheckbox)
        GlobalSettings::instance()->setValue(AutoLaunch, value);
    else if (sender() == ui->popOnExitCheckbox)
        GlobalSettings::instance()->setValue(PopupOnExit, value);
}

void SettingDialog::onCloseSettingChanged(bool checked) {
    qDebug() << "onCloseSettingChanged " << sender() << ", checked=" << checked;
    if (!checked)
        return;
    if (sender() == ui->exitLauncherRadioButton)
        GlobalSettings::instance()->setValue(CloseGameAction, 1);
    else if (sender() == ui->toTrayRadioButton)
        GlobalSettings::instance()->setValue(CloseGameAction, 0);
}

void SettingDialog::onCrashSettingChanged(int state) {
    qDebug() << "onCrashSettingChanged state=" << state;
    GlobalSettings::instance()->setValue(PopupOnCrash, state != Qt::Unchecked ? 1 : 0);
}

void SettingDialog::onPauseSettingChanged(int state) {
    qDebug() << "onPauseSettingChanged state=" << state;
    GlobalSettings::instance()->setValue(PauseDownloadsWhilePlaying, state != Qt::Unchecked ? 1 : 0);
}

void SettingDialog::onShareSettingChanged(int state) {
    qDebug() << "onShareSettingChanged state=" << state;
    // Whoever listens to the store starts or stops searching and serving at once.
    GlobalSettings::instance()->setValue(ShareWithLocalNetwork, state != Qt::Unchecked ? 1 : 0);
}

void SettingDialog::showShareHint() {
    ui->shareWithLocalNetworkHint->setFont(withCatalogueFamily(ui->shareWithLocalNetworkHint->font()));
    ui->shareWithLocalNetworkHint->setText(
        Translation::instance()->tr(QStringLiteral("SHARE_WITH_LOCAL_NETWORK_TIP")));
}

void SettingDialog::onMeteredSettingChanged(int state) {
    qDebug() << "onMeteredSettingChanged state=" << state;
    GlobalSettings::instance()->setValue(DownloadOnMetered, state != Qt::Unchecked ? 1 : 0);
}

void SettingDialog::onLanguageChanged(int index) {
    qDebug() << "onLanguageChanged " << index;
    Translation::instance()->setLanguageIndex(index);
}

void SettingDialog::fillDownloadLimitList() {
    Translation *catalogue = Translation::instance();
    const QString family = catalogue->fontFamily(Translation::fontRoleAt(catalogue->languageIndex()));
    QList<QPair<QString, QString>> items{{catalogue->tr(QStringLiteral("DOWNLOAD_LIMIT_UNLIMITED")), family}};
    for (int mb : DownloadLimitStepsMb)
        items.append({catalogue->tr(QStringLiteral("DOWNLOAD_LIMIT_STEP")).arg(mb), family});
    items.append({catalogue->tr(QStringLiteral("DOWNLOAD_LIMIT_OTHER")), family});
    ui->downloadLimitComboBox->setItems(items);
}

void SettingDialog::showDownloadLimit(int kbps) {
    int index = DownloadLimitTypedIndex;
    if (kbps <= 0)
        index = 0;
    for (int i = 0; i < DownloadLimitStepCount; ++i) {
        if (kbps == DownloadLimitStepsMb[i] * 1024)
            index = i + 1;
    }
    ui->downloadLimitComboBox->setCurrentIndex(index);
    // The typed value stays in view, the current limit in it, while "other" is chosen.
    ui->downloadLimitTypedRow->setVisible(index == DownloadLimitTypedIndex);
    if (kbps > 0)
        ui->downloadLimitEdit->setText(megabytesText(kbps));
}

int SettingDialog::typedDownloadLimitKbps(const QString &typed) {
    QString text = typed.trimmed();
    text.replace(QLatin1Char(','), QLatin1Char('.'));
    bool ok = false;
    const double mb = text.toDouble(&ok);
    if (!ok || !std::isfinite(mb) || mb <= 0)
        return -1;
    const double kbps = std::round(mb * 1024);
    if (kbps > GlobalSettings::MaxDownloadLimitKbps)
        return GlobalSettings::MaxDownloadLimitKbps;
    return qMax(GlobalSettings::MinDownloadLimitKbps, int(kbps));
}

void SettingDialog::setDownloadLimit(int kbps) {
    GlobalSettings::instance()->setValue(DownloadLimitKbps, kbps);
    // Downloads under way follow within a tick; none of them starts over.
    BandwidthCap::instance().setRate(qint64(GlobalSettings::instance()->value(DownloadLimitKbps)) * 1024);
}

void SettingDialog::onDownloadLimitChosen(int index) {
    qDebug() << "onDownloadLimitChosen " << index;
    if (index == DownloadLimitTypedIndex) {
        // The value is the player's to type; until then the limit stays what it was.
        ui->downloadLimitTypedRow->setVisible(true);
        if (ui->downloadLimitEdit->text().isEmpty())
            ui->downloadLimitEdit->setText(megabytesText(GlobalSettings::MinDownloadLimitKbps));
        ui->downloadLimitEdit->setFocus();
        ui->downloadLimitEdit->selectAll();
        return;
    }
    setDownloadLimit(index <= 0 ? 0 : DownloadLimitStepsMb[qMin(index, DownloadLimitStepCount) - 1] * 1024);
    showDownloadLimit(GlobalSettings::instance()->value(DownloadLimitKbps));
}

void SettingDialog::onDownloadLimitTyped() {
    const int kbps = typedDownloadLimitKbps(ui->downloadLimitEdit->text());
    qDebug() << "onDownloadLimitTyped " << ui->downloadLimitEdit->text() << kbps;
    if (kbps > 0)
        setDownloadLimit(kbps);
    // The limit in force is shown again, as it was rounded; a text that is no number goes back to it.
    const int current = GlobalSettings::instance()->value(DownloadLimitKbps);
    ui->downloadLimitEdit->setText(
        megabytesText(current > 0 ? current : GlobalSettings::MinDownloadLimitKbps));
}

void SettingDialog::showEvent(QShowEvent *event) {
    QDialog::showEvent(event);
    if (QWidget *owner = parentWidget()) {
        QWidget *window = owner->window();
        const QPoint centre = window->mapToGlobal(window->rect().center());
        move(centre - rect().center());
    }
}

void SettingDialog::keyPressEvent(QKeyEvent *event) {
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void SettingDialog::paintEvent(QPaintEvent *) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor("#6f2d98"));
    painter.drawRoundedRect(rect(), 20, 20, Qt::AbsoluteSize);
}
