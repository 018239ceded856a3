#include "crash/crashreporter.h"

#include "i18n/translation.h"
#include "settings/globalsettings.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QPalette>
#include <QPushButton>
#include <QTextCursor>
#include <QTextEdit>
#include <QVBoxLayout>

CrashReporter::CrashReporter(QWidget *parent)
    : QDialog(parent) {
    Translation *catalogue = Translation::instance();

    setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);
    QFont dialogFont = font();
    dialogFont.setFamily(catalogue->fontFamily(QStringLiteral("default")));
    setFont(dialogFont);
    resize(500, 300);
    setWindowTitle(catalogue->tr(QStringLiteral("APP_NAME")));
    setWindowIcon(QIcon(QStringLiteral(":/images/images/icon.png")));

    auto *layout = new QVBoxLayout(this);

    auto *tipLabel = new QLabel(
        catalogue->tr(QStringLiteral("CRASH_TIP")).arg(catalogue->tr(QStringLiteral("APP_NAME"))), this);
    tipLabel->setWordWrap(true);
    layout->addWidget(tipLabel);

    descriptionEdit = new QTextEdit(this);
    descriptionEdit->setObjectName(QStringLiteral("descriptionEdit"));
    descriptionEdit->setContextMenuPolicy(Qt::NoContextMenu);
    descriptionEdit->setPlaceholderText(catalogue->tr(QStringLiteral("DESCRIPTION_TIP")));
    descriptionEdit->setFocusPolicy(Qt::ClickFocus);
    // Only plain text is sent: pasted formatting would show but never arrive.
    descriptionEdit->setAcceptRichText(false);
    descriptionEdit->setTabChangesFocus(true);

    // Characters used of the description, right under it; what is typed or pasted beyond the
    // limit is refused at once, so nothing the player wrote is dropped unseen at sending.
    lengthLabel = new QLabel(this);
    lengthLabel->setObjectName(QStringLiteral("lengthLabel"));
    lengthLabel->setAlignment(Qt::AlignRight | Qt::AlignTop);
    QPalette dim = lengthLabel->palette();
    dim.setColor(QPalette::WindowText, dim.color(QPalette::Disabled, QPalette::WindowText));
    lengthLabel->setPalette(dim);
    connect(descriptionEdit, &QTextEdit::textChanged, this, &CrashReporter::limitDescription);
    limitDescription();

    auto *descriptionBox = new QVBoxLayout;
    descriptionBox->setSpacing(2);
    descriptionBox->addWidget(descriptionEdit);
    descriptionBox->addWidget(lengthLabel);
    layout->addLayout(descriptionBox);

    auto *popupCheckBox = new QCheckBox(catalogue->tr(QStringLiteral("POPUP_ON_CRASH")), this);
    popupCheckBox->setObjectName(QStringLiteral("popupOnCrashCheckBox"));
    popupCheckBox->setChecked(GlobalSettings::instance()->value(PopupOnCrash) != 0);
    connect(popupCheckBox, &QCheckBox::stateChanged, this, [](int state) {
        GlobalSettings::instance()->setValue(PopupOnCrash, state != Qt::Unchecked ? 1 : 0);
    });
    layout->addWidget(popupCheckBox);

    auto *dontSendButton = new QPushButton(catalogue->tr(QStringLiteral("DONT_SEND_LOG")), this);
    dontSendButton->setObjectName(QStringLiteral("dontSendButton"));
    dontSendButton->setMinimumSize(180, 35);
    dontSendButton->setFocusPolicy(Qt::NoFocus);
    connect(dontSendButton, &QPushButton::clicked, this, &QDialog::reject);

    auto *sendButton = new QPushButton(catalogue->tr(QStringLiteral("SEND_LOG")), this);
    sendButton->setObjectName(QStringLiteral("sendButton"));
    sendButton->setMinimumSize(180, 35);
    connect(sendButton, &QPushButton::clicked, this, &QDialog::accept);

    auto *buttonRow = new QHBoxLayout;
    buttonRow->addStretch(0);
    buttonRow->addWidget(dontSendButton);
    buttonRow->addStretch(0);
    buttonRow->addWidget(sendButton);
    buttonRow->addStretch(0);
    layout->addLayout(buttonRow);
}

void CrashReporter::limitDescription() {
    const int length = descriptionEdit->toPlainText().size();
    if (length > maxDescriptionLength) {
        // The surplus is what was just inserted: it ends at the cursor. Text set as a whole
        // leaves the cursor at its start; then the end goes.
        const int excess = length - maxDescriptionLength;
        QTextCursor cursor = descriptionEdit->textCursor();
        const int end = cursor.position() >= excess ? cursor.position() : length;
        int start = end - excess;
        const QString text = descriptionEdit->toPlainText();
        if (start > 0 && text.at(start - 1).isHighSurrogate())
            --start;
        cursor.setPosition(start);
        cursor.setPosition(end, QTextCursor::KeepAnchor);
        cursor.removeSelectedText(); // emits textChanged again, now within the limit
        descriptionEdit->setTextCursor(cursor);
        return;
    }
    lengthLabel->setText(QStringLiteral("%1/%2").arg(length).arg(maxDescriptionLength));
}

QString CrashReporter::descriptionText() const {
    QString text = descriptionEdit->toPlainText();
    if (text.size() > maxDescriptionLength) {
        int length = maxDescriptionLength;
        // Do not leave half of a surrogate pair at the end: it would not survive UTF-8 encoding.
        if (text.at(length - 1).isHighSurrogate())
            --length;
        text.truncate(length);
    }
    return text;
}
