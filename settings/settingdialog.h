#pragma once

#include <QDialog>

#include <memory>

namespace Ui {
class SettingDialog;
}

// The modal settings window: general settings and language, chosen by a menu switch. Every
// control writes its setting at once; the close button only closes.
class SettingDialog : public QDialog {
    Q_OBJECT
public:
    explicit SettingDialog(QWidget *parent = nullptr);
    ~SettingDialog() override;

public slots:
    void switchPage(int index);
    void onLaunchSettingChanged(int state);
    void onCloseSettingChanged(bool checked);
    void onCrashSettingChanged(int state);
    void onLanguageChanged(int index);

protected:
    void paintEvent(QPaintEvent *event) override;
    // Centred on the window that opened it, every time, wherever that window stands (the
    // toolkit's own placement keeps a dialog within the screen and may leave it off-centre).
    void showEvent(QShowEvent *event) override;

private:
    std::unique_ptr<Ui::SettingDialog> ui; // settingdialog.ui
};
