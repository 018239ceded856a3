#pragma once

#include <QDialog>

class DoublePopupComboBox;
class ImageButton;
class MenuSwitch;
class QHBoxLayout;
class QLabel;
class QStackedWidget;
class QVBoxLayout;
class RoundedWidget;
class TranslatableCheckBox;
class TranslatableLabel;
class TranslatableRadioButton;

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

private:
    // The widget tree, named as its objects are.
    struct Form {
        QHBoxLayout *horizontalLayout_3;
        QHBoxLayout *horizontalLayout_2;
        QVBoxLayout *verticalLayout;
        QHBoxLayout *horizontalLayout;
        QLabel *label;
        TranslatableLabel *settingTitle;
        MenuSwitch *menuSwitch;
        QStackedWidget *stackedWidget;
        RoundedWidget *page;
        QVBoxLayout *verticalLayout_7;
        QVBoxLayout *verticalLayout_3;
        TranslatableLabel *launchSettingLabel;
        TranslatableCheckBox *automaticLaunchCheckbox;
        TranslatableCheckBox *popOnExitCheckbox;
        QVBoxLayout *verticalLayout_4;
        TranslatableLabel *closeSettingLabel;
        TranslatableRadioButton *toTrayRadioButton;
        TranslatableRadioButton *exitLauncherRadioButton;
        QVBoxLayout *verticalLayout_5;
        TranslatableLabel *crashSettingLabel;
        TranslatableCheckBox *popupOnCrashCheckbox;
        RoundedWidget *page_2;
        QVBoxLayout *verticalLayout_6;
        RoundedWidget *languageBg;
        QHBoxLayout *horizontalLayout_4;
        TranslatableLabel *languageLabel;
        DoublePopupComboBox *languageComboBox;
        QVBoxLayout *verticalLayout_2;
        ImageButton *closeBtn;

        void setupUi(QDialog *dialog);
    };

    Form *ui;
};
