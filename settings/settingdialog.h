#pragma once

#include <QDialog>

#include <memory>

namespace Ui {
class SettingDialog;
}

// The modal settings window: general settings, language and downloads (the speed limit, whether
// downloads wait while the game runs, sharing with the local network, and the repair of the game's
// files), chosen by a menu switch. Every control writes its setting at once; the close button only
// closes.
class SettingDialog : public QDialog {
    Q_OBJECT
public:
    // The steps of the download limit list, in megabytes (1,024 kilobytes) per second, between
    // "unlimited" first and a value the player types last.
    static constexpr int DownloadLimitStepsMb[] = {1, 2, 5, 10, 20, 50};
    static constexpr int DownloadLimitStepCount = 6;
    static constexpr int DownloadLimitTypedIndex = DownloadLimitStepCount + 1;

    explicit SettingDialog(QWidget *parent = nullptr);
    ~SettingDialog() override;

    // The limit in kilobytes per second for what the player typed in megabytes per second
    // ("2.5" or "2,5"); below the smallest limit it is the smallest; -1 when it is no number.
    static int typedDownloadLimitKbps(const QString &typed);

    // "Verify game files" may be pressed (not while the game or a download runs).
    void setVerifyEnabled(bool enabled);

signals:
    // The player asked for the game's files to be verified and repaired.
    void verifyRequested();

public slots:
    void switchPage(int index);
    void onLaunchSettingChanged(int state);
    void onCloseSettingChanged(bool checked);
    void onCrashSettingChanged(int state);
    void onPauseSettingChanged(int state);
    void onShareSettingChanged(int state);
    void onMeteredSettingChanged(int state);
    void onLanguageChanged(int index);
    void onDownloadLimitChosen(int index);
    void onDownloadLimitTyped();

protected:
    void paintEvent(QPaintEvent *event) override;
    // Enter confirms what has the focus (a typed limit, a row of a list) and leaves the dialog open:
    // the close button is no default button. Focused, it takes Enter itself.
    void keyPressEvent(QKeyEvent *event) override;
    // Centred on the window that opened it, every time, wherever that window stands (the
    // toolkit's own placement keeps a dialog within the screen and may leave it off-centre).
    void showEvent(QShowEvent *event) override;

private:
    void fillDownloadLimitList();
    void showDownloadLimit(int kbps);
    void setDownloadLimit(int kbps);
    void showShareHint();

    std::unique_ptr<Ui::SettingDialog> ui; // settingdialog.ui
};
