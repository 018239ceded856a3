#pragma once

// Form of the launcher window: title row above a stacked widget with the launcher page (self-update)
// and the game-resource page (download, extraction, start button).

#include "i18n/translatablelabel.h"
#include "widgets/imagebutton.h"
#include "widgets/mainbutton.h"
#include "widgets/progressbar.h"

#include <QDialog>
#include <QFont>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QSpacerItem>
#include <QStackedWidget>
#include <QVBoxLayout>
#include <QWidget>

namespace Ui {

class LauncherUpdater {
public:
    QGridLayout *gridLayout;
    QHBoxLayout *horizontalLayout_2;
    TranslatableLabel *appnameLabel;
    TranslatableLabel *versionLabel;
    QSpacerItem *horizontalSpacer;
    ImageButton *setting_btn;
    ImageButton *minimize_btn;
    ImageButton *close_btn;
    QStackedWidget *stackedWidget;
    QWidget *page;
    QGridLayout *gridLayout_3;
    QVBoxLayout *verticalLayout_5;
    QSpacerItem *verticalSpacer;
    QHBoxLayout *horizontalLayout_4;
    QSpacerItem *horizontalSpacer_2;
    QVBoxLayout *verticalLayout;
    QHBoxLayout *horizontalLayout;
    QSpacerItem *horizontalSpacer_4;
    TranslatableLabel *launcherDownloadInfo;
    QSpacerItem *horizontalSpacer_5;
    ProgressBar *launcherProgressBar;
    QSpacerItem *horizontalSpacer_3;
    QWidget *page_2;
    QGridLayout *gridLayout_2;
    QHBoxLayout *horizontalLayout_3;
    QVBoxLayout *verticalLayout_3;
    QSpacerItem *verticalSpacer_2;
    QHBoxLayout *horizontalLayout_5;
    TranslatableLabel *gameSrcDownloadInfo;
    QSpacerItem *horizontalSpacer_6;
    TranslatableLabel *estimateTimeInfo;
    ProgressBar *gameSrcProgressBar;
    TranslatableLabel *downloadingSpeedInfo;
    QVBoxLayout *verticalLayout_2;
    QSpacerItem *verticalSpacer_3;
    ImageButton *downloadBtn;
    QVBoxLayout *verticalLayout_4;
    QSpacerItem *verticalSpacer_4;
    MainButton *startGameBtn;

    void setupUi(QDialog *LauncherUpdater) {
        if (LauncherUpdater->objectName().isEmpty())
            LauncherUpdater->setObjectName(QString::fromUtf8("LauncherUpdater"));
        LauncherUpdater->resize(1272, 701);
        LauncherUpdater->setStyleSheet(QString());

        gridLayout = new QGridLayout(LauncherUpdater);
        gridLayout->setObjectName(QString::fromUtf8("gridLayout"));
        gridLayout->setContentsMargins(0, 0, 0, 0);

        // Title row.
        horizontalLayout_2 = new QHBoxLayout();
        horizontalLayout_2->setSpacing(0);
        horizontalLayout_2->setObjectName(QString::fromUtf8("horizontalLayout_2"));
        horizontalLayout_2->setContentsMargins(9, -1, -1, -1);
        appnameLabel = new TranslatableLabel(LauncherUpdater);
        appnameLabel->setObjectName(QString::fromUtf8("appnameLabel"));
        QFont boldFont;
        boldFont.setBold(true);
        boldFont.setWeight(75);
        appnameLabel->setFont(boldFont);
        appnameLabel->setStyleSheet(QString::fromUtf8("color:#98abf8;\nfont-size:19px;"));
        appnameLabel->setMargin(9);
        horizontalLayout_2->addWidget(appnameLabel);

        versionLabel = new TranslatableLabel(LauncherUpdater);
        versionLabel->setObjectName(QString::fromUtf8("versionLabel"));
        versionLabel->setStyleSheet(QString::fromUtf8("color:#98abf8;\nfont-size:16px;"));
        horizontalLayout_2->addWidget(versionLabel);

        horizontalSpacer = new QSpacerItem(40, 20, QSizePolicy::Expanding, QSizePolicy::Minimum);
        horizontalLayout_2->addItem(horizontalSpacer);

        setting_btn = new ImageButton(LauncherUpdater);
        setting_btn->setObjectName(QString::fromUtf8("setting_btn"));
        setting_btn->setMinimumSize(QSize(30, 0));
        horizontalLayout_2->addWidget(setting_btn);

        minimize_btn = new ImageButton(LauncherUpdater);
        minimize_btn->setObjectName(QString::fromUtf8("minimize_btn"));
        minimize_btn->setMinimumSize(QSize(30, 0));
        horizontalLayout_2->addWidget(minimize_btn);

        close_btn = new ImageButton(LauncherUpdater);
        close_btn->setObjectName(QString::fromUtf8("close_btn"));
        close_btn->setMinimumSize(QSize(30, 0));
        horizontalLayout_2->addWidget(close_btn);

        gridLayout->addLayout(horizontalLayout_2, 0, 0, 2, 1);

        stackedWidget = new QStackedWidget(LauncherUpdater);
        stackedWidget->setObjectName(QString::fromUtf8("stackedWidget"));

        // Page 0: the launcher's own update.
        page = new QWidget();
        page->setObjectName(QString::fromUtf8("page"));
        gridLayout_3 = new QGridLayout(page);
        gridLayout_3->setObjectName(QString::fromUtf8("gridLayout_3"));
        verticalLayout_5 = new QVBoxLayout();
        verticalLayout_5->setObjectName(QString::fromUtf8("verticalLayout_5"));
        verticalSpacer = new QSpacerItem(17, 271, QSizePolicy::Minimum, QSizePolicy::Expanding);
        verticalLayout_5->addItem(verticalSpacer);

        horizontalLayout_4 = new QHBoxLayout();
        horizontalLayout_4->setObjectName(QString::fromUtf8("horizontalLayout_4"));
        horizontalSpacer_2 = new QSpacerItem(40, 20, QSizePolicy::Expanding, QSizePolicy::Minimum);
        horizontalLayout_4->addItem(horizontalSpacer_2);

        verticalLayout = new QVBoxLayout();
        verticalLayout->setObjectName(QString::fromUtf8("verticalLayout"));
        verticalLayout->setContentsMargins(-1, -1, -1, 29);
        horizontalLayout = new QHBoxLayout();
        horizontalLayout->setObjectName(QString::fromUtf8("horizontalLayout"));
        // The text's centring spacers ask for no width of their own: a long text never widens the
        // column and so never moves the progress bar below it.
        horizontalSpacer_4 = new QSpacerItem(0, 20, QSizePolicy::Expanding, QSizePolicy::Minimum);
        horizontalLayout->addItem(horizontalSpacer_4);
        launcherDownloadInfo = new TranslatableLabel(page);
        launcherDownloadInfo->setObjectName(QString::fromUtf8("launcherDownloadInfo"));
        QFont normalFont;
        normalFont.setBold(false);
        normalFont.setWeight(50);
        launcherDownloadInfo->setFont(normalFont);
        launcherDownloadInfo->setStyleSheet(QString::fromUtf8("color:white;\nfont-size:19px;"));
        launcherDownloadInfo->setAlignment(Qt::AlignLeading | Qt::AlignLeft | Qt::AlignVCenter);
        // Room above the font's ascent for accented capitals (É, İ, Ö).
        launcherDownloadInfo->setMinimumHeight(25);
        horizontalLayout->addWidget(launcherDownloadInfo);
        horizontalSpacer_5 = new QSpacerItem(0, 20, QSizePolicy::Expanding, QSizePolicy::Minimum);
        horizontalLayout->addItem(horizontalSpacer_5);
        verticalLayout->addLayout(horizontalLayout);

        launcherProgressBar = new ProgressBar(page);
        launcherProgressBar->setObjectName(QString::fromUtf8("launcherProgressBar"));
        launcherProgressBar->setMinimumSize(QSize(0, 20));
        verticalLayout->addWidget(launcherProgressBar);
        horizontalLayout_4->addLayout(verticalLayout);

        horizontalSpacer_3 = new QSpacerItem(40, 20, QSizePolicy::Expanding, QSizePolicy::Minimum);
        horizontalLayout_4->addItem(horizontalSpacer_3);
        verticalLayout_5->addLayout(horizontalLayout_4);
        gridLayout_3->addLayout(verticalLayout_5, 0, 0, 1, 1);
        stackedWidget->addWidget(page);

        // Page 1: game resources and the start button.
        page_2 = new QWidget();
        page_2->setObjectName(QString::fromUtf8("page_2"));
        gridLayout_2 = new QGridLayout(page_2);
        gridLayout_2->setObjectName(QString::fromUtf8("gridLayout_2"));
        horizontalLayout_3 = new QHBoxLayout();
        horizontalLayout_3->setObjectName(QString::fromUtf8("horizontalLayout_3"));
        horizontalLayout_3->setContentsMargins(-1, -1, -1, 16);

        verticalLayout_3 = new QVBoxLayout();
        verticalLayout_3->setSpacing(1);
        verticalLayout_3->setObjectName(QString::fromUtf8("verticalLayout_3"));
        verticalLayout_3->setContentsMargins(12, -1, -1, 23);
        verticalSpacer_2 = new QSpacerItem(20, 40, QSizePolicy::Minimum, QSizePolicy::Expanding);
        verticalLayout_3->addItem(verticalSpacer_2);

        horizontalLayout_5 = new QHBoxLayout();
        horizontalLayout_5->setObjectName(QString::fromUtf8("horizontalLayout_5"));
        // The spacer asks for no width of its own, so a long percentage and time text share the
        // row's full width before either is squeezed; it still keeps them apart.
        horizontalLayout_5->setSpacing(0);
        gameSrcDownloadInfo = new TranslatableLabel(page_2);
        gameSrcDownloadInfo->setObjectName(QString::fromUtf8("gameSrcDownloadInfo"));
        gameSrcDownloadInfo->setFont(boldFont);
        gameSrcDownloadInfo->setStyleSheet(QString::fromUtf8("color:white;\nfont-size:19px;"));
        gameSrcDownloadInfo->setAlignment(Qt::AlignLeading | Qt::AlignLeft | Qt::AlignVCenter);
        // Fixed row heights: the bar stays put when the time and speed texts are cleared, and
        // accented capitals keep their accents.
        gameSrcDownloadInfo->setMinimumHeight(25);
        horizontalLayout_5->addWidget(gameSrcDownloadInfo);
        horizontalSpacer_6 = new QSpacerItem(0, 20, QSizePolicy::Expanding, QSizePolicy::Minimum);
        horizontalLayout_5->addItem(horizontalSpacer_6);
        estimateTimeInfo = new TranslatableLabel(page_2);
        estimateTimeInfo->setObjectName(QString::fromUtf8("estimateTimeInfo"));
        estimateTimeInfo->setFont(boldFont);
        estimateTimeInfo->setStyleSheet(QString::fromUtf8("color:white;\nfont-size:19px;"));
        estimateTimeInfo->setAlignment(Qt::AlignLeading | Qt::AlignLeft | Qt::AlignVCenter);
        estimateTimeInfo->setMargin(1);
        estimateTimeInfo->setMinimumHeight(25);
        horizontalLayout_5->addWidget(estimateTimeInfo);
        verticalLayout_3->addLayout(horizontalLayout_5);

        gameSrcProgressBar = new ProgressBar(page_2);
        gameSrcProgressBar->setObjectName(QString::fromUtf8("gameSrcProgressBar"));
        gameSrcProgressBar->setMinimumSize(QSize(0, 20));
        verticalLayout_3->addWidget(gameSrcProgressBar);

        downloadingSpeedInfo = new TranslatableLabel(page_2);
        downloadingSpeedInfo->setObjectName(QString::fromUtf8("downloadingSpeedInfo"));
        downloadingSpeedInfo->setFont(boldFont);
        downloadingSpeedInfo->setStyleSheet(QString::fromUtf8("color:white;\nfont-size:19px;"));
        downloadingSpeedInfo->setAlignment(Qt::AlignLeading | Qt::AlignLeft | Qt::AlignVCenter);
        downloadingSpeedInfo->setMinimumHeight(25);
        verticalLayout_3->addWidget(downloadingSpeedInfo);
        horizontalLayout_3->addLayout(verticalLayout_3);

        verticalLayout_2 = new QVBoxLayout();
        verticalLayout_2->setSpacing(6);
        verticalLayout_2->setObjectName(QString::fromUtf8("verticalLayout_2"));
        verticalLayout_2->setContentsMargins(10, -1, 10, 45);
        verticalSpacer_3 = new QSpacerItem(20, 40, QSizePolicy::Minimum, QSizePolicy::Expanding);
        verticalLayout_2->addItem(verticalSpacer_3);
        downloadBtn = new ImageButton(page_2);
        downloadBtn->setObjectName(QString::fromUtf8("downloadBtn"));
        downloadBtn->setMinimumSize(QSize(43, 43));
        verticalLayout_2->addWidget(downloadBtn);
        horizontalLayout_3->addLayout(verticalLayout_2);

        verticalLayout_4 = new QVBoxLayout();
        verticalLayout_4->setObjectName(QString::fromUtf8("verticalLayout_4"));
        verticalLayout_4->setContentsMargins(0, -1, 37, 33);
        verticalSpacer_4 = new QSpacerItem(17, 108, QSizePolicy::Minimum, QSizePolicy::Expanding);
        verticalLayout_4->addItem(verticalSpacer_4);
        startGameBtn = new MainButton(page_2);
        startGameBtn->setObjectName(QString::fromUtf8("startGameBtn"));
        startGameBtn->setMinimumSize(QSize(0, 80));
        QFont startFont;
        startFont.setPointSize(16);
        startGameBtn->setFont(startFont);
        verticalLayout_4->addWidget(startGameBtn);
        horizontalLayout_3->addLayout(verticalLayout_4);

        horizontalLayout_3->setStretch(0, 24);
        horizontalLayout_3->setStretch(2, 10);
        gridLayout_2->addLayout(horizontalLayout_3, 0, 0, 1, 1);
        stackedWidget->addWidget(page_2);

        gridLayout->addWidget(stackedWidget, 2, 0, 1, 1);

        retranslateUi(LauncherUpdater);

        stackedWidget->setCurrentIndex(1);

        QMetaObject::connectSlotsByName(LauncherUpdater);
    }

    void retranslateUi(QDialog *LauncherUpdater) {
        LauncherUpdater->setWindowTitle(QString());
        appnameLabel->setText(QString());
        versionLabel->setText(QString());
        launcherDownloadInfo->setText(QString());
        gameSrcDownloadInfo->setText(QString());
        estimateTimeInfo->setText(QString());
        downloadingSpeedInfo->setText(QString());
    }
};

} // namespace Ui
