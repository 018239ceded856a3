// The settings dialog against real files: settings.ini in a temporary launcher directory and the
// start-at-login entry in a temporary XDG config directory.

#include "download/bandwidthcap.h"
#include "i18n/translatablecheckbox.h"
#include "i18n/translatablelabel.h"
#include "i18n/translatableradiobutton.h"
#include "i18n/translation.h"
#include "platform/platform.h"
#include "settings/globalsettings.h"
#include "settings/settingdialog.h"
#include "support/logcapture.h"
#include "support/testfiles.h"
#include "support/teststep.h"
#include "support/widgetfixture.h"
#include "widgets/combopopup.h"
#include "widgets/doublepopupcombobox.h"
#include "widgets/imagebutton.h"
#include "widgets/languageitemwidget.h"
#include "widgets/menuswitch.h"
#include "widgets/roundedwidget.h"

#include <QFile>
#include <QLineEdit>
#include <QSettings>
#include <QSignalSpy>
#include <QStackedWidget>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>
#include <functional>

namespace {

QString text(const QString &key) {
    return Translation::instance()->tr(key);
}

} // namespace

class SettingDialogTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanupTestCase();

    void formShapeAndStart();
    void openingWritesNothing();
    void eachControlWritesAtOnce();
    void clickingCheckedRadioWritesSameValue();
    void storedCloseActionTwoShowsExitChecked();
    void choosingCurrentLanguageChangesNothing();
    void choosingJapaneseSwitchesEveryLabel();
    void pageSelectorStartsOnGeneralPage();
    void downloadLimitSteppedOrTyped();
    void pauseWhilePlayingWrittenThrough();
    void closeButtonAccepts();
    void keyboardReachesEveryControl();

private:
    QString settingsPath() const { return dir.filePath("launcher/settings.ini"); }
    QString autostartPath() const { return dir.filePath("xdg/autostart/Quelvane.desktop"); }
    void writeSettings(const QMap<QString, int> &values);
    QVariant storedValue(const QString &key) const;
    QByteArray fileDigest(const QString &path) const;
    template <typename T>
    T *child(SettingDialog &dialog, const char *name) {
        T *widget = dialog.findChild<T *>(QString::fromLatin1(name));
        if (!widget)
            qFatal("no child %s", name);
        return widget;
    }
    void clickIndicator(QAbstractButton *button);
    void chooseLanguageRow(SettingDialog &dialog, int row, bool *sawPopup,
                           const char *comboName = "languageComboBox");

    QTemporaryDir dir;
};

void SettingDialogTest::initTestCase() {
    QVERIFY(dir.isValid());
    QVERIFY(QDir(dir.path()).mkpath("launcher"));
    Platform::setLauncherDirOverride(dir.filePath("launcher"));
    qputenv("XDG_CONFIG_HOME", dir.filePath("xdg").toUtf8());
    LogCapture::start();

    writeSettings({{"language", 1}});
    WidgetFixture::setUpFonts();
    Translation::instance()->loadLanguage();
    QCOMPARE(Translation::instance()->languageIndex(), 1);
}

void SettingDialogTest::cleanupTestCase() {
    LogCapture::stop();
    GlobalSettings::release();
}

// Each test starts from English, no start-at-login entry and a settings store read afresh.
void SettingDialogTest::init() {
    Translation::instance()->setLanguageIndex(1);
    QFile::remove(autostartPath());
    GlobalSettings::release();
    LogCapture::lines().clear();
}

void SettingDialogTest::writeSettings(const QMap<QString, int> &values) {
    QFile::remove(settingsPath());
    QSettings ini(settingsPath(), QSettings::IniFormat);
    ini.beginGroup("global_settings");
    for (auto it = values.begin(); it != values.end(); ++it)
        ini.setValue(it.key(), it.value());
    ini.endGroup();
    ini.sync();
}

QVariant SettingDialogTest::storedValue(const QString &key) const {
    QSettings ini(settingsPath(), QSettings::IniFormat);
    return ini.value("global_settings/" + key);
}

QByteArray SettingDialogTest::fileDigest(const QString &path) const {
    return QFile::exists(path) ? TestFiles::md5Hex(TestFiles::readFile(path)).toLatin1()
                               : QByteArray("absent");
}

void SettingDialogTest::clickIndicator(QAbstractButton *button) {
    QTest::mouseClick(button, Qt::LeftButton, {}, QPoint(8, button->height() / 2));
}

void SettingDialogTest::chooseLanguageRow(SettingDialog &dialog, int row, bool *sawPopup,
                                          const char *comboName) {
    auto *combo = child<DoublePopupComboBox>(dialog, comboName);
    *sawPopup = false;
    QTimer::singleShot(0, combo, [=] {
        auto *popup = qobject_cast<ComboPopup *>(QApplication::activePopupWidget());
        *sawPopup = popup != nullptr;
        if (!popup)
            return;
        for (auto *item : popup->findChildren<LanguageItemWidget *>())
            if (item->itemIndex() == row)
                QTest::mouseClick(item, Qt::LeftButton, {}, QPoint(30, 20));
    });
    QTimer::singleShot(10000, combo, [] {
        if (QWidget *popup = QApplication::activePopupWidget())
            popup->close();
    });
    QTest::mouseClick(combo, Qt::LeftButton, {}, QPoint(30, 20));
}

void SettingDialogTest::formShapeAndStart() {
    QWidget window;
    window.resize(1300, 731);
    SettingDialog dialog(&window);
    QCOMPARE(dialog.objectName(), QString("SettingDialogClass"));
    QCOMPARE(dialog.size(), QSize(914, 528));
    QCOMPARE(dialog.minimumSize(), dialog.maximumSize());
    QCOMPARE(dialog.parentWidget(), &window);
    QVERIFY(dialog.windowFlags() & Qt::FramelessWindowHint);
    QVERIFY(dialog.testAttribute(Qt::WA_TranslucentBackground));
    QCOMPARE(dialog.windowTitle(), text("SETTINGS"));
    for (const char *name : {"horizontalLayout_3",
                             "horizontalLayout_2",
                             "verticalLayout",
                             "horizontalLayout",
                             "label",
                             "settingTitle",
                             "menuSwitch",
                             "stackedWidget",
                             "page",
                             "verticalLayout_7",
                             "verticalLayout_3",
                             "launchSettingLabel",
                             "automaticLaunchCheckbox",
                             "popOnExitCheckbox",
                             "verticalLayout_4",
                             "closeSettingLabel",
                             "toTrayRadioButton",
                             "exitLauncherRadioButton",
                             "verticalLayout_5",
                             "crashSettingLabel",
                             "popupOnCrashCheckbox",
                             "page_2",
                             "verticalLayout_6",
                             "languageBg",
                             "horizontalLayout_4",
                             "languageLabel",
                             "languageComboBox",
                             "verticalLayout_2",
                             "closeBtn"})
        QVERIFY2(dialog.findChild<QObject *>(name), name);

    // Languages listed under their own names, in a font able to show them.
    auto *combo = child<DoublePopupComboBox>(dialog, "languageComboBox");
    const auto items = combo->itemList();
    QCOMPARE(items.size(), 8);
    QCOMPARE(items.at(4).first, QString("Deutsch"));
    QCOMPARE(items.at(5).first, QString::fromUtf8("日本語"));
    QCOMPARE(items.at(0).second, Translation::instance()->fontFamily("chinese"));
    QCOMPARE(items.at(5).second, Translation::instance()->fontFamily("chinese"));
    QCOMPARE(items.at(1).second, Translation::instance()->fontFamily("english"));
    QCOMPARE(combo->currentIndex(), 1);
    QVERIFY(combo->alignment & Qt::AlignLeft);

    auto *languageBg = child<RoundedWidget>(dialog, "languageBg");
    QCOMPARE(languageBg->color(), QColor("#6f2d98"));
    QCOMPARE(languageBg->hoverColor(), QColor("#a981c1"));
    QCOMPARE(languageBg->radius(), 10);
    QVERIFY(languageBg->isHoverEnabled());
    QCOMPARE(child<RoundedWidget>(dialog, "page")->color(), QColor("#571481"));

    auto *closeBtn = child<ImageButton>(dialog, "closeBtn");
    QVERIFY(closeBtn->rounded && closeBtn->radiusIsHalfHeight);
    QCOMPARE(closeBtn->iconScale, 0.5f);
    QVERIFY(!closeBtn->icon.isNull());

    // Painted: purple with transparent corners outside the radius-20 curve.
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    const QImage image = dialog.grab().toImage();
    QCOMPARE(image.pixelColor(1, 1).alpha(), 0);
    QCOMPARE(image.pixelColor(912, 526).alpha(), 0);
    QCOMPARE(image.pixelColor(457, 2), QColor("#6f2d98"));
    // Title row: settings title, square image left of it; close button top right.
    QVERIFY(child<QLabel>(dialog, "label")->geometry().right() < child<QLabel>(dialog, "settingTitle")->x());
    QVERIFY(closeBtn->geometry().right() >= 900);
    QVERIFY(closeBtn->geometry().top() <= 5);
    // Every check box and radio button lies inside the general page and does not overlap the next one.
    QList<QWidget *> rows;
    for (const char *name :
         {"launchSettingLabel", "automaticLaunchCheckbox", "popOnExitCheckbox", "closeSettingLabel",
          "toTrayRadioButton", "exitLauncherRadioButton", "crashSettingLabel", "popupOnCrashCheckbox"})
        rows.append(child<QWidget>(dialog, name));
    auto *page = child<QWidget>(dialog, "page");
    for (int i = 0; i < rows.size(); ++i) {
        QVERIFY(page->rect().contains(rows.at(i)->geometry()));
        if (i > 0)
            QVERIFY(rows.at(i - 1)->geometry().bottom() < rows.at(i)->geometry().top());
    }
}

void SettingDialogTest::openingWritesNothing() {
    // No settings file at all, then one with values: opening, showing and closing leave both alone.
    QFile::remove(settingsPath());
    {
        SettingDialog dialog(nullptr);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        QApplication::processEvents();
        dialog.close();
    }
    QVERIFY(!QFile::exists(settingsPath()));
    QVERIFY(!QFile::exists(autostartPath()));

    writeSettings({{"language", 1},
                   {"popup_on_exit", 0},
                   {"close_game_action", 1},
                   {"popup_on_crash", 0},
                   {"pause_downloads_while_playing", 1},
                   {"share_with_local_network", 0}});
    QVERIFY(Platform::setRunValue("Quelvane", GlobalSettings::expectedRunValue()));
    GlobalSettings::release();
    const QByteArray settingsBefore = fileDigest(settingsPath());
    const QByteArray autostartBefore = fileDigest(autostartPath());
    const QDateTime modified = QFileInfo(settingsPath()).lastModified();
    {
        SettingDialog dialog(nullptr);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        QVERIFY(child<QCheckBox>(dialog, "automaticLaunchCheckbox")->isChecked());
        QVERIFY(!child<QCheckBox>(dialog, "popOnExitCheckbox")->isChecked());
        QVERIFY(child<QRadioButton>(dialog, "exitLauncherRadioButton")->isChecked());
        QVERIFY(!child<QRadioButton>(dialog, "toTrayRadioButton")->isChecked());
        QVERIFY(!child<QCheckBox>(dialog, "popupOnCrashCheckbox")->isChecked());
        QVERIFY(child<QCheckBox>(dialog, "pauseWhilePlayingCheckbox")->isChecked());
        QVERIFY(!child<QCheckBox>(dialog, "shareWithLocalNetworkCheckbox")->isChecked());
    }
    QCOMPARE(fileDigest(settingsPath()), settingsBefore);
    QCOMPARE(fileDigest(autostartPath()), autostartBefore);
    QCOMPARE(QFileInfo(settingsPath()).lastModified(), modified);
    for (const QString &line : LogCapture::lines())
        QVERIFY2(!line.contains("SettingChanged") && !line.startsWith("onLanguageChanged"), qPrintable(line));
}

void SettingDialogTest::eachControlWritesAtOnce() {
    writeSettings({{"language", 1}, {"popup_on_exit", 0}, {"close_game_action", 0}, {"popup_on_crash", 1}});
    SettingDialog dialog(nullptr);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));

    // Start at login: the autostart entry appears and goes again.
    auto *autoLaunch = child<QCheckBox>(dialog, "automaticLaunchCheckbox");
    QVERIFY(!autoLaunch->isChecked());
    clickIndicator(autoLaunch);
    QVERIFY(autoLaunch->isChecked());
    QVERIFY(QFile::exists(autostartPath()));
    QCOMPARE(Platform::runValue("Quelvane"), GlobalSettings::expectedRunValue());
    QCOMPARE(GlobalSettings::instance()->value(AutoLaunch), 1);
    clickIndicator(autoLaunch);
    QVERIFY(!QFile::exists(autostartPath()));
    QCOMPARE(GlobalSettings::instance()->value(AutoLaunch), 0);

    clickIndicator(child<QCheckBox>(dialog, "popOnExitCheckbox"));
    QCOMPARE(storedValue("popup_on_exit").toInt(), 1);
    clickIndicator(child<QCheckBox>(dialog, "popupOnCrashCheckbox"));
    QCOMPARE(storedValue("popup_on_crash").toInt(), 0);
    clickIndicator(child<QCheckBox>(dialog, "popupOnCrashCheckbox"));
    QCOMPARE(storedValue("popup_on_crash").toInt(), 1);

    auto *exitRadio = child<QRadioButton>(dialog, "exitLauncherRadioButton");
    auto *trayRadio = child<QRadioButton>(dialog, "toTrayRadioButton");
    clickIndicator(exitRadio);
    QVERIFY(exitRadio->isChecked() && !trayRadio->isChecked());
    QCOMPARE(storedValue("close_game_action").toInt(), 1);
    clickIndicator(trayRadio);
    QVERIFY(trayRadio->isChecked() && !exitRadio->isChecked());
    QCOMPARE(storedValue("close_game_action").toInt(), 0);

    // A fresh store reads back what the dialog wrote.
    GlobalSettings::release();
    QCOMPARE(GlobalSettings::instance()->value(PopupOnExit), 1);
    QCOMPARE(GlobalSettings::instance()->value(PopupOnCrash), 1);
    QCOMPARE(GlobalSettings::instance()->value(CloseGameAction), 0);

    // Fixed log lines, one per change.
    QVERIFY(LogCapture::lines().filter("onLaunchSettingChanged").size() == 3);
    QVERIFY(LogCapture::lines()
                .filter(QRegularExpression(
                    "onLaunchSettingChanged .*TranslatableCheckBox.*automaticLaunchCheckbox.*, state= 2"))
                .size() == 1);
    QCOMPARE(LogCapture::lines().filter("onCrashSettingChanged state= 0").size(), 1);
    QCOMPARE(LogCapture::lines().filter("onCrashSettingChanged state= 2").size(), 1);
    QCOMPARE(LogCapture::lines()
                 .filter(QRegularExpression("onCloseSettingChanged .*exitLauncherRadioButton.*checked= true"))
                 .size(),
             1);
}

void SettingDialogTest::clickingCheckedRadioWritesSameValue() {
    writeSettings({{"language", 1}, {"close_game_action", 1}});
    SettingDialog dialog(nullptr);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    auto *exitRadio = child<QRadioButton>(dialog, "exitLauncherRadioButton");
    QVERIFY(exitRadio->isChecked());

    // Remove the file behind the store's back: only a write can bring the value back.
    QVERIFY(QFile::remove(settingsPath()));
    clickIndicator(exitRadio);
    QVERIFY(exitRadio->isChecked());
    QVERIFY(QFile::exists(settingsPath()));
    QCOMPARE(storedValue("close_game_action").toInt(), 1);
    QCOMPARE(LogCapture::lines().filter(QRegularExpression("onCloseSettingChanged .*checked= true")).size(),
             1);

    // Twice more on the checked one: never the other value.
    clickIndicator(exitRadio);
    clickIndicator(exitRadio);
    QCOMPARE(storedValue("close_game_action").toInt(), 1);
    QVERIFY(!child<QRadioButton>(dialog, "toTrayRadioButton")->isChecked());
}

void SettingDialogTest::storedCloseActionTwoShowsExitChecked() {
    writeSettings({{"language", 1}, {"close_game_action", 2}});
    SettingDialog dialog(nullptr);
    QVERIFY(child<QRadioButton>(dialog, "exitLauncherRadioButton")->isChecked());
    QVERIFY(!child<QRadioButton>(dialog, "toTrayRadioButton")->isChecked());
    QCOMPARE(storedValue("close_game_action").toInt(), 2); // shown, not rewritten
}

void SettingDialogTest::choosingCurrentLanguageChangesNothing() {
    SettingDialog dialog(nullptr);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    const QByteArray before = fileDigest(settingsPath());
    QSignalSpy changed(Translation::instance(), &Translation::languageChanged);

    bool sawPopup = false;
    chooseLanguageRow(dialog, 1, &sawPopup);
    QVERIFY(sawPopup);
    QCOMPARE(changed.count(), 0);
    QCOMPARE(Translation::instance()->languageIndex(), 1);
    QCOMPARE(fileDigest(settingsPath()), before);
    QCOMPARE(child<DoublePopupComboBox>(dialog, "languageComboBox")->currentIndex(), 1);
    QCOMPARE(LogCapture::lines().filter("onLanguageChanged").size(), 0);
}

void SettingDialogTest::choosingJapaneseSwitchesEveryLabel() {
    SettingDialog dialog(nullptr);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    const QString englishTitle = child<QLabel>(dialog, "settingTitle")->text();
    QSignalSpy changed(Translation::instance(), &Translation::languageChanged);

    bool sawPopup = false;
    chooseLanguageRow(dialog, 5, &sawPopup);
    QVERIFY(sawPopup);
    QCOMPARE(changed.count(), 1);
    QCOMPARE(changed.at(0).at(0).toString(), QString("Japanese"));
    QCOMPARE(Translation::instance()->languageIndex(), 5);
    QCOMPARE(storedValue("language").toInt(), 5);
    QCOMPARE(LogCapture::lines().filter("onLanguageChanged  5").size(), 1);

    const QString cjk = Translation::instance()->fontFamily("chinese");
    for (auto *label : dialog.findChildren<TranslatableLabel *>()) {
        QCOMPARE(label->text(), text(label->textKey()));
        QCOMPARE(label->font().family(), cjk);
    }
    for (auto *box : dialog.findChildren<TranslatableCheckBox *>())
        QCOMPARE(box->text(), text(box->textKey()));
    for (auto *radio : dialog.findChildren<TranslatableRadioButton *>())
        QCOMPARE(radio->text(), text(radio->textKey()));
    QVERIFY(child<QLabel>(dialog, "settingTitle")->text() != englishTitle);
    QCOMPARE(child<QLabel>(dialog, "settingTitle")->text(), text("SETTINGS"));
    QCOMPARE(child<QAbstractButton>(dialog, "exitLauncherRadioButton")->text(), text("CLOSE_LAUNCHER"));
    QCOMPARE(child<DoublePopupComboBox>(dialog, "languageComboBox")->currentIndex(), 5);
}

void SettingDialogTest::pageSelectorStartsOnGeneralPage() {
    {
        SettingDialog dialog(nullptr);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        auto *menu = child<MenuSwitch>(dialog, "menuSwitch");
        auto *stack = child<QStackedWidget>(dialog, "stackedWidget");
        QCOMPARE(stack->currentIndex(), 0);
        QCOMPARE(menu->selectedIndex(), 0);
        QCOMPARE(menu->itemKeys(), QStringList({"GENERAL_SETTINGS", "LANGUAGE", "DOWNLOAD_SETTINGS"}));
        QTest::mousePress(menu, Qt::LeftButton, {}, QPoint(60, 120 + 30));
        QCOMPARE(stack->currentWidget()->objectName(), QString("page_3"));
        QTest::mousePress(menu, Qt::LeftButton, {}, QPoint(60, 60 + 30));
        QCOMPARE(stack->currentWidget()->objectName(), QString("page_2"));
        QTest::mousePress(menu, Qt::LeftButton, {}, QPoint(60, 30));
        QCOMPARE(stack->currentWidget()->objectName(), QString("page"));
        QTest::mousePress(menu, Qt::LeftButton, {}, QPoint(60, 60 + 30));
        QCOMPARE(stack->currentIndex(), 1);
    }
    SettingDialog again(nullptr);
    QCOMPARE(child<QStackedWidget>(again, "stackedWidget")->currentIndex(), 0);
    QCOMPARE(child<MenuSwitch>(again, "menuSwitch")->selectedIndex(), 0);
}

// The limit shows as a step, or as "other" with the value in megabytes per second; choosing a step
// or typing a value writes it and sets the running cap at once; a typed value below the smallest
// limit is the smallest, a text that is no number changes nothing.
void SettingDialogTest::downloadLimitSteppedOrTyped() {
    const auto open = [this](SettingDialog &dialog) {
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        child<QStackedWidget>(dialog, "stackedWidget")->setCurrentIndex(2);
    };
    writeSettings({{"download_limit_kbps", 5120}});
    {
        SettingDialog dialog(nullptr);
        open(dialog);
        QCOMPARE(child<DoublePopupComboBox>(dialog, "downloadLimitComboBox")->currentIndex(), 3);
        QVERIFY(!child<QWidget>(dialog, "downloadLimitTypedRow")->isVisible());
    }
    writeSettings({{"download_limit_kbps", 3000}});
    GlobalSettings::release();
    SettingDialog dialog(nullptr);
    open(dialog);
    auto *combo = child<DoublePopupComboBox>(dialog, "downloadLimitComboBox");
    auto *edit = child<QLineEdit>(dialog, "downloadLimitEdit");
    QCOMPARE(combo->count(), 8);
    QCOMPARE(combo->itemList().at(0).first, QString("Unlimited"));
    QCOMPARE(combo->itemList().at(5).first, QString("20 MB/s"));
    QCOMPARE(combo->currentIndex(), SettingDialog::DownloadLimitTypedIndex);
    QVERIFY(child<QWidget>(dialog, "downloadLimitTypedRow")->isVisible());
    QCOMPARE(edit->text(), QString("2.9"));
    QCOMPARE(child<QLabel>(dialog, "downloadLimitLabel")->text(), QString("Download speed limit"));

    bool sawPopup = false;
    chooseLanguageRow(dialog, 2, &sawPopup, "downloadLimitComboBox");
    QVERIFY(sawPopup);
    QCOMPARE(storedValue("download_limit_kbps").toInt(), 2048);
    QCOMPARE(BandwidthCap::instance().rate(), 2 * 1024 * 1024);
    QVERIFY(!child<QWidget>(dialog, "downloadLimitTypedRow")->isVisible());

    // "Other": the value is the player's to type; until then nothing changes.
    chooseLanguageRow(dialog, SettingDialog::DownloadLimitTypedIndex, &sawPopup, "downloadLimitComboBox");
    QVERIFY(child<QWidget>(dialog, "downloadLimitTypedRow")->isVisible());
    QCOMPARE(storedValue("download_limit_kbps").toInt(), 2048);
    const auto type = [edit](const QString &typed) {
        edit->setFocus();
        edit->selectAll();
        QTest::keyClicks(edit, typed);
        QTest::keyClick(edit, Qt::Key_Return);
    };
    type("7,5");
    QCOMPARE(storedValue("download_limit_kbps").toInt(), 7680);
    QCOMPARE(BandwidthCap::instance().rate(), 7680 * 1024);
    type("0.01");
    QCOMPARE(storedValue("download_limit_kbps").toInt(), GlobalSettings::MinDownloadLimitKbps);
    QCOMPARE(edit->text(), QString("0.1"));
    type("fast");
    QCOMPARE(storedValue("download_limit_kbps").toInt(), GlobalSettings::MinDownloadLimitKbps);
    QCOMPARE(edit->text(), QString("0.1"));
    QCOMPARE(SettingDialog::typedDownloadLimitKbps("-3"), -1);
    QCOMPARE(SettingDialog::typedDownloadLimitKbps(" 50 "), 51200);
    QCOMPARE(SettingDialog::typedDownloadLimitKbps("1e9"), GlobalSettings::MaxDownloadLimitKbps);

    chooseLanguageRow(dialog, 0, &sawPopup, "downloadLimitComboBox");
    QCOMPARE(storedValue("download_limit_kbps").toInt(), 0);
    QCOMPARE(BandwidthCap::instance().rate(), 0);

    // The steps follow the language.
    Translation::instance()->setLanguageIndex(5);
    QCOMPARE(combo->itemList().at(0).first, text("DOWNLOAD_LIMIT_UNLIMITED"));
    QVERIFY(combo->itemList().at(0).first != QString("Unlimited"));
    QCOMPARE(combo->currentIndex(), 0);
}

// The pause and sharing switches on the download page: shown as stored (a value the store refuses
// shows pause off and stays in the file), written through at each click and read back by a fresh
// store; they keep their place below the limit whether or not the row of a typed value shows.
void SettingDialogTest::pauseWhilePlayingWrittenThrough() {
    const auto open = [this](SettingDialog &dialog) {
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        child<QStackedWidget>(dialog, "stackedWidget")->setCurrentIndex(2);
        QApplication::processEvents();
    };
    writeSettings({{"language", 1}, {"pause_downloads_while_playing", 7}});
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^pause downloads while playing refused"));
    {
        SettingDialog dialog(nullptr);
        open(dialog);
        QVERIFY(!child<QCheckBox>(dialog, "pauseWhilePlayingCheckbox")->isChecked());
    }
    QCOMPARE(storedValue("pause_downloads_while_playing").toInt(), 7);

    writeSettings({{"language", 1}});
    GlobalSettings::release();
    SettingDialog dialog(nullptr);
    open(dialog);
    auto *box = child<QCheckBox>(dialog, "pauseWhilePlayingCheckbox");
    auto *page = child<QWidget>(dialog, "page_3");
    auto *typedRow = child<QWidget>(dialog, "downloadLimitTypedRow");
    QVERIFY(box->isVisible() && !box->isChecked());
    QCOMPARE(box->text(), QString("Pause downloads while playing"));
    QCOMPARE(box->font().pointSize(), child<QCheckBox>(dialog, "popupOnCrashCheckbox")->font().pointSize());
    QVERIFY(page->rect().contains(box->geometry()));
    QVERIFY(child<QWidget>(dialog, "downloadLimitComboBox")->geometry().bottom() < box->geometry().top());
    QVERIFY(!typedRow->isVisible());
    QVERIFY(typedRow->geometry().bottom() < box->geometry().top());
    const QRect place = box->geometry();

    clickIndicator(box);
    QVERIFY(box->isChecked());
    QCOMPARE(storedValue("pause_downloads_while_playing").toInt(), 1);
    QCOMPARE(GlobalSettings::instance()->value(PauseDownloadsWhilePlaying), 1);
    // The metered switch in its own block below it, written at once too.
    auto *metered = child<QCheckBox>(dialog, "downloadOnMeteredCheckbox");
    QVERIFY(metered->isVisible() && !metered->isChecked());
    QVERIFY(page->rect().contains(metered->geometry()) &&
            box->geometry().bottom() < metered->geometry().top());
    clickIndicator(metered);
    QCOMPARE(storedValue("download_on_metered").toInt(), 1);
    QCOMPARE(GlobalSettings::instance()->value(DownloadOnMetered), 1);

    bool sawPopup = false;
    chooseLanguageRow(dialog, SettingDialog::DownloadLimitTypedIndex, &sawPopup, "downloadLimitComboBox");
    QVERIFY(sawPopup);
    QVERIFY(typedRow->isVisible());
    QApplication::processEvents();
    QCOMPARE(box->geometry(), place);
    QVERIFY(typedRow->geometry().bottom() < box->geometry().top());

    clickIndicator(box);
    QVERIFY(!box->isChecked());
    QCOMPARE(storedValue("pause_downloads_while_playing").toInt(), 0);
    clickIndicator(box);
    QCOMPARE(storedValue("pause_downloads_while_playing").toInt(), 1);

    // Sharing below it, on by default, its hint under it in smaller text, read in full in every
    // language; a click turns it off at once.
    auto *share = child<QCheckBox>(dialog, "shareWithLocalNetworkCheckbox");
    auto *hint = child<QLabel>(dialog, "shareWithLocalNetworkHint");
    QVERIFY(share->isChecked());
    QCOMPARE(share->text(), text("SHARE_WITH_LOCAL_NETWORK"));
    QVERIFY(hint->font().pointSize() < share->font().pointSize());
    const auto fitsBelow = [&]() {
        QApplication::processEvents();
        QCOMPARE(hint->text(), text("SHARE_WITH_LOCAL_NETWORK_TIP"));
        QVERIFY(box->geometry().bottom() < share->geometry().top());
        QVERIFY(share->geometry().bottom() < hint->geometry().top());
        QVERIFY(page->rect().contains(hint->geometry()));
        QVERIFY2(hint->heightForWidth(hint->width()) <= hint->height(), qPrintable(hint->text()));
        QVERIFY(share->sizeHint().width() <= share->width());
    };
    STEP(fitsBelow());
    QSignalSpy announced(GlobalSettings::instance(), &GlobalSettings::valueChanged);
    clickIndicator(share);
    QCOMPARE(storedValue("share_with_local_network").toInt(), 0);
    QCOMPARE(announced.count(), 1);
    QCOMPARE(announced.at(0), QVariantList({int(ShareWithLocalNetwork), 0}));
    for (int i = 0; i < Translation::LanguageCount; ++i) {
        Translation::instance()->setLanguageIndex(i);
        STEP(fitsBelow());
    }

    GlobalSettings::release();
    QCOMPARE(GlobalSettings::instance()->value(PauseDownloadsWhilePlaying), 1);
    QCOMPARE(GlobalSettings::instance()->value(ShareWithLocalNetwork), 0);
    QCOMPARE(LogCapture::lines().filter("onPauseSettingChanged state= 2").size(), 2);
    QCOMPARE(LogCapture::lines().filter("onPauseSettingChanged state= 0").size(), 1);
    QCOMPARE(LogCapture::lines().filter("onShareSettingChanged state= 0").size(), 1);
}

void SettingDialogTest::closeButtonAccepts() {
    QWidget window;
    window.resize(1300, 731);
    window.show();
    SettingDialog dialog(&window);
    QTimer::singleShot(0, &dialog, [&] {
        auto *closeBtn = child<ImageButton>(dialog, "closeBtn");
        QTest::mouseClick(closeBtn, Qt::LeftButton, {}, closeBtn->rect().center());
    });
    QTimer::singleShot(10000, &dialog, [&] { dialog.done(42); });
    QCOMPARE(dialog.exec(), int(QDialog::Accepted));
}

QTEST_MAIN(SettingDialogTest)
#include "tst_settingdialog.moc"

// The whole dialog without a mouse: Tab goes round every control of the page shown, each marked
// while it has the focus; the arrows choose pages and the limit, Space and Enter choose in the
// language list, Enter leaves the dialog open; the typed limit is read and shown with the
// language's decimal sign.
void SettingDialogTest::keyboardReachesEveryControl() {
    writeSettings({{"download_limit_kbps", 512}});
    GlobalSettings::release();
    SettingDialog dialog(nullptr);
    dialog.show();
    dialog.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&dialog));
    auto *edit = child<QLineEdit>(dialog, "downloadLimitEdit");
    QWidget *close = child<QWidget>(dialog, "closeBtn");
    const auto key = [](int k) { QTest::keyClick(QApplication::focusWidget(), Qt::Key(k)); };
    const auto focus = [&](const char *name) { child<QWidget>(dialog, name)->setFocus(); };
    const auto tabRound = [&](const QStringList &expected) {
        close->setFocus();
        QStringList reached;
        QList<QPair<QWidget *, QImage>> marked;
        do {
            key(Qt::Key_Tab);
            reached << QApplication::focusWidget()->objectName();
            marked.append({QApplication::focusWidget(), QApplication::focusWidget()->grab().toImage()});
        } while (QApplication::focusWidget() != close && reached.size() < 20);
        close->clearFocus();
        QCOMPARE(reached, expected);
        for (const auto &[widget, image] : marked)
            QVERIFY2(widget->grab().toImage() != image, qPrintable(widget->objectName()));
    };
    STEP(tabRound({"menuSwitch", "automaticLaunchCheckbox", "popOnExitCheckbox", "toTrayRadioButton",
                   "popupOnCrashCheckbox", "closeBtn"}));
    focus("menuSwitch");
    key(Qt::Key_Down);
    STEP(tabRound({"menuSwitch", "languageComboBox", "closeBtn"}));
    focus("languageComboBox");
    QTimer::singleShot(0, &dialog, [] {
        for (int k : {Qt::Key_Down, Qt::Key_Down, Qt::Key_Down, Qt::Key_Return})
            if (QWidget *popup = QApplication::activePopupWidget())
                QTest::keyClick(popup, Qt::Key(k));
    });
    key(Qt::Key_Space); // English is row 1, German row 4
    QCOMPARE(Translation::instance()->languageName(), QString("German"));
    dialog.activateWindow(); // the offscreen platform gives the focus back to no window after a popup
    QVERIFY(QTest::qWaitForWindowActive(&dialog));
    focus("menuSwitch");
    key(Qt::Key_End);
    QCOMPARE(edit->text(), QString("0,5"));
    focus("downloadLimitComboBox");
    key(Qt::Key_Home);
    QCOMPARE(storedValue("download_limit_kbps").toInt(), 0);
    key(Qt::Key_End); // "other": its field takes the focus
    QTest::keyClicks(edit, "2,5");
    key(Qt::Key_Return);
    QCOMPARE(storedValue("download_limit_kbps").toInt(), 2560);
    QVERIFY(dialog.isVisible());
    STEP(tabRound({"menuSwitch", "downloadLimitComboBox", "downloadLimitEdit", "pauseWhilePlayingCheckbox",
                   "shareWithLocalNetworkCheckbox", "downloadOnMeteredCheckbox", "verifyFilesButton",
                   "closeBtn"}));
    focus("shareWithLocalNetworkCheckbox");
    key(Qt::Key_Space);
    QCOMPARE(storedValue("share_with_local_network").toInt(), 0);
    // "Verify game files" asks with Space; disabled (the game or a download runs) Tab passes it by.
    QSignalSpy verify(&dialog, &SettingDialog::verifyRequested);
    focus("verifyFilesButton");
    key(Qt::Key_Space);
    QCOMPARE(verify.count(), 1);
    dialog.setVerifyEnabled(false);
    STEP(tabRound({"menuSwitch", "downloadLimitComboBox", "downloadLimitEdit", "pauseWhilePlayingCheckbox",
                   "shareWithLocalNetworkCheckbox", "downloadOnMeteredCheckbox", "closeBtn"}));
    Translation::instance()->setLanguageIndex(1);
    QCOMPARE(edit->text(), QString("2.5"));
}
