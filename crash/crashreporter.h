#pragma once

#include <QDialog>
#include <QString>

class QLabel;
class QTextEdit;

// Asks the player whether to send the crash archive the game left behind, with an optional
// description. exec() gives 1 for "send", 0 for "do not send", the close button or Escape.
class CrashReporter : public QDialog {
    Q_OBJECT
public:
    explicit CrashReporter(QWidget *parent = nullptr);

    static constexpr int maxDescriptionLength = 256; // UTF-16 code units

    // The description as plain text, cut to at most maxDescriptionLength code units.
    QString descriptionText() const;

private:
    void limitDescription();

    QTextEdit *descriptionEdit = nullptr;
    QLabel *lengthLabel = nullptr;
};
