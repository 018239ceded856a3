#pragma once

#include <QDialog>

class QGridLayout;
class QHBoxLayout;
class QLabel;
class QVBoxLayout;
class MainButton;

// Frameless rounded question box with a title, a message and CANCEL / CONFIRM buttons.
// CANCEL rejects, CONFIRM accepts. The message is shown as given (the caller translates it).
class ConfirmDialog : public QDialog {
    Q_OBJECT
public:
    explicit ConfirmDialog(const QString &text, QWidget *parent = nullptr);

    QLabel *titleLabel = nullptr;
    QLabel *contentLabel = nullptr;
    MainButton *cancelButton = nullptr;
    MainButton *confirmButton = nullptr;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    void setupUi();

    QGridLayout *gridLayout = nullptr;
    QVBoxLayout *verticalLayout = nullptr;
    QHBoxLayout *horizontalLayout_2 = nullptr;
    QHBoxLayout *horizontalLayout = nullptr;
};
