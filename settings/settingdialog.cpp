#include "settings/settingdialog.h"

#include "i18n/translatablecheckbox.h"
#include "i18n/translatablelabel.h"
#include "i18n/translatableradiobutton.h"
#include "i18n/translation.h"
#include "settings/globalsettings.h"
#include "widgets/doublepopupcombobox.h"
#include "widgets/imagebutton.h"
#include "widgets/menuswitch.h"
#include "widgets/roundedwidget.h"

#include <QDebug>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QSpacerItem>
#include <QStackedWidget>
#include <QVBoxLayout>

namespace {

QFont pointFont(int pointSize, bool bold = false) {
    QFont font;
    font.setPointSize(pointSize);
    if (bold) {
        font.setBold(true);
        font.setWeight(75);
    }
    return font;
}

TranslatableLabel *sectionLabel(QWidget *parent, const char *name) {
    auto *label = new TranslatableLabel(parent);
    label->setObjectName(QString::fromUtf8(name));
    label->setFont(pointFont(16));
    label->setStyleSheet(QString::fromUtf8("color:white"));
    // Taller than the font's line so accented capitals (É, Ç, Ö) keep their accents: the bundled
    // Latin face is heavy, its accents reach above the line.
    label->setMinimumHeight(30);
    return label;
}

template <typename Button>
Button *optionButton(QWidget *parent, const char *name) {
    auto *button = new Button(parent);
    button->setObjectName(QString::fromUtf8(name));
    button->setFont(pointFont(15));
    return button;
}

QVBoxLayout *section(const char *name, int bottomMargin) {
    auto *layout = new QVBoxLayout();
    layout->setSpacing(6);
    layout->setObjectName(QString::fromUtf8(name));
    layout->setContentsMargins(-1, -1, -1, bottomMargin);
    return layout;
}

} // namespace

void SettingDialog::Form::setupUi(QDialog *dialog) {
    if (dialog->objectName().isEmpty())
        dialog->setObjectName(QString::fromUtf8("SettingDialogClass"));
    dialog->resize(788, 456);

    horizontalLayout_3 = new QHBoxLayout(dialog);
    horizontalLayout_3->setSpacing(0);
    horizontalLayout_3->setObjectName(QString::fromUtf8("horizontalLayout_3"));
    horizontalLayout_3->setContentsMargins(0, 0, 0, 0);

    horizontalLayout_2 = new QHBoxLayout();
    horizontalLayout_2->setSpacing(6);
    horizontalLayout_2->setObjectName(QString::fromUtf8("horizontalLayout_2"));
    horizontalLayout_2->setContentsMargins(-1, 30, -1, 30);

    verticalLayout = new QVBoxLayout();
    verticalLayout->setSpacing(6);
    verticalLayout->setObjectName(QString::fromUtf8("verticalLayout"));

    horizontalLayout = new QHBoxLayout();
    horizontalLayout->setSpacing(6);
    horizontalLayout->setObjectName(QString::fromUtf8("horizontalLayout"));
    horizontalLayout->setContentsMargins(50, 10, -1, 10);
    label = new QLabel(dialog);
    label->setObjectName(QString::fromUtf8("label"));
    label->setSizePolicy(QSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed));
    label->setPixmap(QPixmap(QString::fromUtf8(":/images/images/square.png")));
    horizontalLayout->addWidget(label);
    settingTitle = new TranslatableLabel(dialog);
    settingTitle->setObjectName(QString::fromUtf8("settingTitle"));
    settingTitle->setSizePolicy(QSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed));
    settingTitle->setMinimumSize(QSize(0, 40));
    settingTitle->setFont(pointFont(20, true));
    settingTitle->setStyleSheet(QString::fromUtf8("color:white"));
    settingTitle->setAlignment(Qt::AlignLeading | Qt::AlignLeft | Qt::AlignVCenter);
    settingTitle->setMargin(0);
    horizontalLayout->addWidget(settingTitle);
    verticalLayout->addLayout(horizontalLayout);

    menuSwitch = new MenuSwitch(dialog);
    menuSwitch->setObjectName(QString::fromUtf8("menuSwitch"));
    menuSwitch->setSizePolicy(QSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred));
    menuSwitch->setMinimumSize(QSize(100, 300));
    verticalLayout->addWidget(menuSwitch);
    horizontalLayout_2->addLayout(verticalLayout);

    stackedWidget = new QStackedWidget(dialog);
    stackedWidget->setObjectName(QString::fromUtf8("stackedWidget"));

    page = new RoundedWidget();
    page->setObjectName(QString::fromUtf8("page"));
    verticalLayout_7 = new QVBoxLayout(page);
    verticalLayout_7->setSpacing(6);
    verticalLayout_7->setObjectName(QString::fromUtf8("verticalLayout_7"));
    verticalLayout_7->setContentsMargins(20, 15, -1, -1);

    verticalLayout_3 = section("verticalLayout_3", 18);
    launchSettingLabel = sectionLabel(page, "launchSettingLabel");
    verticalLayout_3->addWidget(launchSettingLabel);
    automaticLaunchCheckbox = optionButton<TranslatableCheckBox>(page, "automaticLaunchCheckbox");
    verticalLayout_3->addWidget(automaticLaunchCheckbox);
    popOnExitCheckbox = optionButton<TranslatableCheckBox>(page, "popOnExitCheckbox");
    verticalLayout_3->addWidget(popOnExitCheckbox);
    verticalLayout_7->addLayout(verticalLayout_3);

    verticalLayout_4 = section("verticalLayout_4", 18);
    closeSettingLabel = sectionLabel(page, "closeSettingLabel");
    verticalLayout_4->addWidget(closeSettingLabel);
    toTrayRadioButton = optionButton<TranslatableRadioButton>(page, "toTrayRadioButton");
    verticalLayout_4->addWidget(toTrayRadioButton);
    exitLauncherRadioButton = optionButton<TranslatableRadioButton>(page, "exitLauncherRadioButton");
    verticalLayout_4->addWidget(exitLauncherRadioButton);
    verticalLayout_7->addLayout(verticalLayout_4);

    verticalLayout_5 = section("verticalLayout_5", 0);
    crashSettingLabel = sectionLabel(page, "crashSettingLabel");
    verticalLayout_5->addWidget(crashSettingLabel);
    popupOnCrashCheckbox = optionButton<TranslatableCheckBox>(page, "popupOnCrashCheckbox");
    verticalLayout_5->addWidget(popupOnCrashCheckbox);
    verticalLayout_7->addLayout(verticalLayout_5);
    verticalLayout_7->addItem(new QSpacerItem(20, 40, QSizePolicy::Minimum, QSizePolicy::Expanding));
    stackedWidget->addWidget(page);

    page_2 = new RoundedWidget();
    page_2->setObjectName(QString::fromUtf8("page_2"));
    verticalLayout_6 = new QVBoxLayout(page_2);
    verticalLayout_6->setSpacing(6);
    verticalLayout_6->setObjectName(QString::fromUtf8("verticalLayout_6"));
    verticalLayout_6->setContentsMargins(20, 15, -1, -1);
    languageBg = new RoundedWidget(page_2);
    languageBg->setObjectName(QString::fromUtf8("languageBg"));
    horizontalLayout_4 = new QHBoxLayout(languageBg);
    horizontalLayout_4->setSpacing(6);
    horizontalLayout_4->setObjectName(QString::fromUtf8("horizontalLayout_4"));
    horizontalLayout_4->setContentsMargins(15, 0, 0, 0);
    languageLabel = new TranslatableLabel(languageBg);
    languageLabel->setObjectName(QString::fromUtf8("languageLabel"));
    languageLabel->setFont(pointFont(16, true));
    languageLabel->setStyleSheet(QString::fromUtf8("color:white"));
    horizontalLayout_4->addWidget(languageLabel);
    horizontalLayout_4->addItem(new QSpacerItem(329, 20, QSizePolicy::Expanding, QSizePolicy::Minimum));
    languageComboBox = new DoublePopupComboBox(languageBg);
    languageComboBox->setObjectName(QString::fromUtf8("languageComboBox"));
    languageComboBox->setMinimumSize(QSize(0, 40));
    horizontalLayout_4->addWidget(languageComboBox);
    horizontalLayout_4->setStretch(0, 11);
    horizontalLayout_4->setStretch(1, 18);
    horizontalLayout_4->setStretch(2, 11);
    verticalLayout_6->addWidget(languageBg);
    verticalLayout_6->addItem(new QSpacerItem(20, 348, QSizePolicy::Minimum, QSizePolicy::Expanding));
    stackedWidget->addWidget(page_2);

    horizontalLayout_2->addWidget(stackedWidget);
    horizontalLayout_2->setStretch(0, 23);
    horizontalLayout_2->setStretch(1, 50);
    horizontalLayout_3->addLayout(horizontalLayout_2);

    verticalLayout_2 = new QVBoxLayout();
    verticalLayout_2->setSpacing(6);
    verticalLayout_2->setObjectName(QString::fromUtf8("verticalLayout_2"));
    verticalLayout_2->setContentsMargins(-1, 3, 3, -1);
    closeBtn = new ImageButton(dialog);
    closeBtn->setObjectName(QString::fromUtf8("closeBtn"));
    verticalLayout_2->addWidget(closeBtn);
    verticalLayout_2->addItem(new QSpacerItem(20, 40, QSizePolicy::Minimum, QSizePolicy::Expanding));
    horizontalLayout_3->addLayout(verticalLayout_2);

    stackedWidget->setCurrentIndex(0);
}

SettingDialog::SettingDialog(QWidget *parent)
    : QDialog(parent, Qt::Dialog | Qt::FramelessWindowHint)
    , ui(new Form) {
    ui->setupUi(this);
    Translation *catalogue = Translation::instance();
    GlobalSettings *settings = GlobalSettings::instance();

    setWindowTitle(catalogue->tr(QStringLiteral("SETTINGS")));
    // 900 x 520 designed for 1280 x 720, scaled like the main window (1300 / 1280).
    setFixedSize(qRound(900 * 1300 / 1280.0), qRound(520 * 1300 / 1280.0));
    setAttribute(Qt::WA_NoSystemBackground);
    setAttribute(Qt::WA_TranslucentBackground);
    ui->stackedWidget->setCurrentIndex(0);

    ui->closeBtn->setIcon(QPixmap(QStringLiteral(":/images/images/close.png")));
    ui->closeBtn->setFaceColors(QColor("#c391e2"), QColor("#755788"), QColor("#dbbdee"));
    ui->closeBtn->rounded = true;
    ui->closeBtn->radiusIsHalfHeight = true;
    ui->closeBtn->iconScale = 0.5f;
    ui->closeBtn->update();
    connect(ui->closeBtn, SIGNAL(clicked()), this, SLOT(accept()));

    ui->settingTitle->setTextKey(QStringLiteral("SETTINGS"), true, true);

    ui->menuSwitch->setTextOffsetY(5);
    ui->menuSwitch->setItems({QStringLiteral("GENERAL_SETTINGS"), QStringLiteral("LANGUAGE")});
    connect(ui->menuSwitch, SIGNAL(menuSelected(int)), this, SLOT(switchPage(int)));

    // Controls take their state before their signals are connected, so opening writes nothing.
    ui->launchSettingLabel->setTextKey(QStringLiteral("LAUNCH_SETTING"), true, true);
    ui->automaticLaunchCheckbox->setTextKey(QStringLiteral("AUTO_LAUNCH_ON_REBOOT"));
    ui->automaticLaunchCheckbox->setChecked(settings->value(AutoLaunch) != 0);
    ui->popOnExitCheckbox->setTextKey(QStringLiteral("POPUP_ON_EXIT_GAME"));
    ui->popOnExitCheckbox->setChecked(settings->value(PopupOnExit) != 0);
    ui->closeSettingLabel->setTextKey(QStringLiteral("CLOSE_SETTINGS"), true, true);
    ui->toTrayRadioButton->setTextKey(QStringLiteral("MINIMIZE_TO_TRAY"));
    ui->exitLauncherRadioButton->setTextKey(QStringLiteral("CLOSE_LAUNCHER"));
    if (settings->value(CloseGameAction) == 0)
        ui->toTrayRadioButton->setChecked(true);
    else
        ui->exitLauncherRadioButton->setChecked(true);
    ui->crashSettingLabel->setTextKey(QStringLiteral("CRASH_SETTING"), true, true);
    ui->popupOnCrashCheckbox->setTextKey(QStringLiteral("POPUP_ON_CRASH"));
    ui->popupOnCrashCheckbox->setChecked(settings->value(PopupOnCrash) != 0);

    ui->languageBg->setColor(QColor("#6f2d98"));
    ui->languageBg->setRadius(10);
    ui->languageBg->setHoverColor(QColor("#a981c1"));
    ui->languageBg->setHoverEnabled(true);

    ui->languageLabel->setTextKey(QStringLiteral("LANGUAGE"), true, true);

    // Every language listed under its own name, in a font that can show it.
    for (int i = 0; i < Translation::LanguageCount; ++i) {
        const QString role = Translation::fontRoleAt(i);
        ui->languageComboBox->addItem(
            qMakePair(catalogue->tr(Translation::languageNameAt(i)), catalogue->fontFamily(role)));
    }
    ui->languageComboBox->setAlignment(Qt::AlignLeft);
    ui->languageComboBox->setArrowImage(QStringLiteral(":/images/images/down_arrow.png"));
    int language = settings->value(Language);
    if (language < 0 || language >= Translation::LanguageCount)
        language = catalogue->languageIndex(); // an edited file: show what the catalogue uses
    ui->languageComboBox->setCurrentIndex(language);

    connect(ui->automaticLaunchCheckbox, SIGNAL(stateChanged(int)), this, SLOT(onLaunchSettingChanged(int)));
    connect(ui->popOnExitCheckbox, SIGNAL(stateChanged(int)), this, SLOT(onLaunchSettingChanged(int)));
    connect(ui->toTrayRadioButton, SIGNAL(clicked(bool)), this, SLOT(onCloseSettingChanged(bool)));
    connect(ui->exitLauncherRadioButton, SIGNAL(clicked(bool)), this, SLOT(onCloseSettingChanged(bool)));
    connect(ui->popupOnCrashCheckbox, SIGNAL(stateChanged(int)), this, SLOT(onCrashSettingChanged(int)));
    connect(ui->languageComboBox, SIGNAL(activated(int)), this, SLOT(onLanguageChanged(int)));
}

SettingDialog::~SettingDialog() {
    delete ui;
}

void SettingDialog::switchPage(int index) {
    ui->stackedWidget->setCurrentIndex(index);
}

void SettingDialog::onLaunchSettingChanged(int state) {
    qDebug() << "onLaunchSettingChanged " << sender() << ", state=" << state;
    const int value = state != Qt::Unchecked ? 1 : 0;
    if (sender() == ui->automaticLaunchCheckbox)
        GlobalSettings::instance()->setValue(AutoLaunch, value);
    else if (sender() == ui->popOnExitCheckbox)
        GlobalSettings::instance()->setValue(PopupOnExit, value);
}

void SettingDialog::onCloseSettingChanged(bool checked) {
    qDebug() << "onCloseSettingChanged " << sender() << ", checked=" << checked;
    if (!checked)
        return;
    if (sender() == ui->exitLauncherRadioButton)
        GlobalSettings::instance()->setValue(CloseGameAction, 1);
    else if (sender() == ui->toTrayRadioButton)
        GlobalSettings::instance()->setValue(CloseGameAction, 0);
}

void SettingDialog::onCrashSettingChanged(int state) {
    qDebug() << "onCrashSettingChanged state=" << state;
    GlobalSettings::instance()->setValue(PopupOnCrash, state != Qt::Unchecked ? 1 : 0);
}

void SettingDialog::onLanguageChanged(int index) {
    qDebug() << "onLanguageChanged " << index;
    Translation::instance()->setLanguageIndex(index);
}

void SettingDialog::paintEvent(QPaintEvent *) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor("#6f2d98"));
    painter.drawRoundedRect(rect(), 20, 20, Qt::AbsoluteSize);
}
