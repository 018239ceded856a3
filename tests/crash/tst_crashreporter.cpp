#include "crash/crashreporter.h"
#include "i18n/translation.h"
#include "platform/platform.h"
#include "settings/globalsettings.h"

#include <QApplication>
#include <QCheckBox>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QTextCursor>
#include <QTextEdit>
#include <QTimer>

class TestCrashReporter : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void cutsDescriptionAt256Units();
    void showsCatalogueTexts();
    void refusesTextBeyondTheLimitWhereItIsInserted();
    void uncheckingThenRejectingKeepsPopupOff();
    void buttonsAndEscapeGiveTheResult();

private:
    QString settingsText() const;

    QTemporaryDir tmp;
};

void TestCrashReporter::initTestCase() {
    QVERIFY(tmp.isValid());
    Platform::setLauncherDirOverride(tmp.path());
    {
        QSettings seed(tmp.filePath("settings.ini"), QSettings::IniFormat);
        seed.setValue("global_settings/language", 1);
        seed.setValue("global_settings/popup_on_crash", 1);
    }
    Translation::instance()->loadLanguage();
}

void TestCrashReporter::cleanupTestCase() {
    Platform::setLauncherDirOverride(QString());
}

QString TestCrashReporter::settingsText() const {
    QFile file(tmp.filePath("settings.ini"));
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

void TestCrashReporter::cutsDescriptionAt256Units() {
    CrashReporter dialog;
    auto *edit = dialog.findChild<QTextEdit *>("descriptionEdit");
    QVERIFY(edit);

    QString text;
    for (int i = 0; i < 300; ++i)
        text += QChar('a' + i % 26);
    edit->setPlainText(text);
    QCOMPARE(dialog.descriptionText(), text.left(256));
    QCOMPARE(edit->toPlainText(), text.left(256));

    edit->setPlainText("short\nwith a second line");
    QCOMPARE(dialog.descriptionText(), QString("short\nwith a second line"));

    // A character outside the BMP straddling the cut is dropped whole, not halved.
    const QString emoji = QString::fromUtf8("\xf0\x9f\x98\x80");
    edit->setPlainText(QString(255, 'x') + emoji + "tail");
    QCOMPARE(dialog.descriptionText(), QString(255, 'x'));
    QVERIFY(!dialog.descriptionText().toUtf8().contains("\xef\xbf\xbd"));
    edit->setPlainText(QString(254, 'x') + emoji + "tail");
    QCOMPARE(dialog.descriptionText(), QString(254, 'x') + emoji);
}

void TestCrashReporter::refusesTextBeyondTheLimitWhereItIsInserted() {
    CrashReporter dialog;
    auto *edit = dialog.findChild<QTextEdit *>("descriptionEdit");
    auto *counter = dialog.findChild<QLabel *>("lengthLabel");
    QVERIFY(edit && counter);
    QCOMPARE(counter->text(), QString("0/256"));

    // Typing stops at the limit.
    dialog.show();
    edit->setFocus();
    QTest::keyClicks(edit, QString(250, 'a'));
    QTest::keyClicks(edit, "bcdefghij");
    QCOMPARE(edit->toPlainText(), QString(250, 'a') + "bcdefg");
    QCOMPARE(counter->text(), QString("256/256"));

    // A paste in the middle keeps the text around it and drops the pasted surplus.
    edit->setPlainText(QString(100, 'x') + QString(100, 'z'));
    QTextCursor cursor = edit->textCursor();
    cursor.setPosition(100);
    edit->setTextCursor(cursor);
    edit->insertPlainText(QString(80, 'P'));
    QCOMPARE(edit->toPlainText(), QString(100, 'x') + QString(56, 'P') + QString(100, 'z'));
    QCOMPARE(edit->textCursor().position(), 156);
    QCOMPARE(dialog.descriptionText(), edit->toPlainText());

    // Pasted formatting is not taken: what is shown is what is sent.
    QVERIFY(!edit->acceptRichText());
    edit->clear();
    QCOMPARE(counter->text(), QString("0/256"));
}

void TestCrashReporter::showsCatalogueTexts() {
    Translation *catalogue = Translation::instance();
    CrashReporter dialog;
    QCOMPARE(dialog.windowTitle(), catalogue->tr("APP_NAME"));
    QVERIFY(!dialog.windowTitle().startsWith("TR_"));
    QVERIFY(!(dialog.windowFlags() & Qt::WindowContextHelpButtonHint));

    QList<QLabel *> labels = dialog.findChildren<QLabel *>();
    labels.removeOne(dialog.findChild<QLabel *>("lengthLabel"));
    QCOMPARE(labels.size(), 1);
    QCOMPARE(labels.first()->text(), catalogue->tr("CRASH_TIP").arg(catalogue->tr("APP_NAME")));
    QVERIFY(!labels.first()->text().contains("%1"));

    auto *edit = dialog.findChild<QTextEdit *>("descriptionEdit");
    QCOMPARE(edit->placeholderText(), catalogue->tr("DESCRIPTION_TIP"));
    QCOMPARE(dialog.findChild<QPushButton *>("sendButton")->text(), catalogue->tr("SEND_LOG"));
    QCOMPARE(dialog.findChild<QPushButton *>("dontSendButton")->text(), catalogue->tr("DONT_SEND_LOG"));
    QCOMPARE(dialog.findChild<QCheckBox *>()->text(), catalogue->tr("POPUP_ON_CRASH"));
}

void TestCrashReporter::uncheckingThenRejectingKeepsPopupOff() {
    GlobalSettings::instance()->setValue(PopupOnCrash, 1);
    CrashReporter dialog;
    auto *box = dialog.findChild<QCheckBox *>("popupOnCrashCheckBox");
    QVERIFY(box);
    QVERIFY(box->isChecked());

    QTimer::singleShot(0, &dialog, [&] {
        box->click();
        dialog.findChild<QPushButton *>("dontSendButton")->click();
    });
    QCOMPARE(dialog.exec(), 0);

    QCOMPARE(GlobalSettings::instance()->value(PopupOnCrash), 0);
    QVERIFY2(settingsText().contains("popup_on_crash=0"), qPrintable(settingsText()));

    // Checking it again in a later dialog turns it back on.
    CrashReporter again;
    auto *box2 = again.findChild<QCheckBox *>("popupOnCrashCheckBox");
    QVERIFY(!box2->isChecked());
    box2->click();
    QVERIFY2(settingsText().contains("popup_on_crash=1"), qPrintable(settingsText()));
}

void TestCrashReporter::buttonsAndEscapeGiveTheResult() {
    {
        CrashReporter dialog;
        QTimer::singleShot(0, &dialog, [&] { dialog.findChild<QPushButton *>("sendButton")->click(); });
        QCOMPARE(dialog.exec(), 1);
    }
    {
        CrashReporter dialog;
        QTimer::singleShot(0, &dialog, [&] { QTest::keyClick(&dialog, Qt::Key_Escape); });
        QCOMPARE(dialog.exec(), 0);
    }
}

QTEST_MAIN(TestCrashReporter)
#include "tst_crashreporter.moc"
