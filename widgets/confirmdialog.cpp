#include "widgets/confirmdialog.h"

#include "i18n/translation.h"
#include "widgets/mainbutton.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QSpacerItem>
#include <QVBoxLayout>

ConfirmDialog::ConfirmDialog(const QString &text, QWidget *parent)
    : QDialog(parent, Qt::Dialog | Qt::FramelessWindowHint) {
    setupUi();
    setFixedSize(640, 380);
    setAttribute(Qt::WA_NoSystemBackground);
    setAttribute(Qt::WA_TranslucentBackground);

    Translation *catalogue = Translation::instance();
    titleLabel->setText(catalogue->tr(QStringLiteral("TIPS")));
    contentLabel->setText(text);

    const int captionSize = catalogue->fontRole() == QLatin1String("chinese") ? 35 : 45;
    cancelButton->textPixelSize = captionSize;
    confirmButton->textPixelSize = captionSize;

    cancelButton->setTextKey("CANCEL");
    cancelButton->setOuterColors(QColor("#ff75bc"), QColor("#994671"), QColor("#000000"), QColor("#ffacd7"));
    cancelButton->setInnerColors(QColor("#ff2372"), QColor("#991544"), QColor("#000000"), QColor("#ff7baa"));
    cancelButton->setTextColors(QColor("#ffffff"), QColor("#999999"), QColor("#000000"), QColor("#ffffff"));
    connect(cancelButton, &QPushButton::clicked, this, &QDialog::reject);

    confirmButton->setTextKey("CONFIRM");
    confirmButton->setOuterColors(QColor("#ffffff"), QColor("#999999"), QColor("#000000"), QColor("#ffffff"));
    confirmButton->setInnerColors(QColor("#ffffff"), QColor("#999999"), QColor("#000000"), QColor("#ffffff"));
    confirmButton->setTextColors(QColor("#8000cd"), QColor("#4d007b"), QColor("#000000"), QColor("#b366e1"));
    connect(confirmButton, &QPushButton::clicked, this, &QDialog::accept);
}

void ConfirmDialog::setupUi() {
    if (objectName().isEmpty())
        setObjectName(QString::fromUtf8("ConfirmDialogClass"));
    setWindowTitle(QString::fromUtf8("Confirm To Exit"));

    gridLayout = new QGridLayout(this);
    gridLayout->setSpacing(6);
    gridLayout->setObjectName(QString::fromUtf8("gridLayout"));
    gridLayout->setContentsMargins(30, -1, 30, -1);

    verticalLayout = new QVBoxLayout();
    verticalLayout->setSpacing(6);
    verticalLayout->setObjectName(QString::fromUtf8("verticalLayout"));

    horizontalLayout_2 = new QHBoxLayout();
    horizontalLayout_2->setSpacing(6);
    horizontalLayout_2->setObjectName(QString::fromUtf8("horizontalLayout_2"));
    horizontalLayout_2->addItem(new QSpacerItem(40, 20, QSizePolicy::Expanding, QSizePolicy::Minimum));
    titleLabel = new QLabel(this);
    titleLabel->setObjectName(QString::fromUtf8("titleLabel"));
    QSizePolicy titlePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    titlePolicy.setHeightForWidth(titleLabel->sizePolicy().hasHeightForWidth());
    titleLabel->setSizePolicy(titlePolicy);
    titleLabel->setStyleSheet(QString::fromUtf8("color:white;\nfont-size:43px;\nfont-weight:bold;"));
    horizontalLayout_2->addWidget(titleLabel);
    horizontalLayout_2->addItem(new QSpacerItem(40, 20, QSizePolicy::Expanding, QSizePolicy::Minimum));
    verticalLayout->addLayout(horizontalLayout_2);

    contentLabel = new QLabel(this);
    contentLabel->setObjectName(QString::fromUtf8("contentLabel"));
    QFont contentFont;
    contentFont.setBold(true);
    contentLabel->setFont(contentFont);
    contentLabel->setStyleSheet(QString::fromUtf8("color:white;\nfont-size:30px;"));
    contentLabel->setAlignment(Qt::AlignCenter);
    verticalLayout->addWidget(contentLabel);

    horizontalLayout = new QHBoxLayout();
    horizontalLayout->setSpacing(66);
    horizontalLayout->setObjectName(QString::fromUtf8("horizontalLayout"));
    horizontalLayout->setContentsMargins(25, 27, 25, 27);
    QSizePolicy buttonPolicy(QSizePolicy::Minimum, QSizePolicy::Expanding);
    cancelButton = new MainButton(this);
    cancelButton->setObjectName(QString::fromUtf8("cancelButton"));
    cancelButton->setSizePolicy(buttonPolicy);
    horizontalLayout->addWidget(cancelButton);
    confirmButton = new MainButton(this);
    confirmButton->setObjectName(QString::fromUtf8("confirmButton"));
    confirmButton->setSizePolicy(buttonPolicy);
    horizontalLayout->addWidget(confirmButton);
    verticalLayout->addLayout(horizontalLayout);

    verticalLayout->setStretch(0, 10);
    verticalLayout->setStretch(1, 40);
    verticalLayout->setStretch(2, 25);
    gridLayout->addLayout(verticalLayout, 0, 0, 1, 1);
}

void ConfirmDialog::paintEvent(QPaintEvent *) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor("#6f2d98"));
    painter.drawRoundedRect(rect(), 20, 20);
}
