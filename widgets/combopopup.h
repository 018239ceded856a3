#pragma once

#include <QColor>
#include <QDialog>
#include <QList>
#include <QPair>

class LanguageItemWidget;

// Frameless popup list of a DoublePopupComboBox: one LanguageItemWidget per item, 40 pixels each,
// squared top corners so that it joins the combo box above it. Accepted when a row was chosen.
class ComboPopup : public QDialog {
    Q_OBJECT
public:
    ComboPopup(int width, const QList<QPair<QString, QString>> &items, int currentIndex,
               const QColor &backgroundColor, const QColor &accentColor, const QColor &textColor,
               QWidget *parent = nullptr);

    static constexpr int RowHeight = 40;

    int selectedIndex = -1;

protected:
    void paintEvent(QPaintEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

private slots:
    void onActivated(int id);

private:
    void markRow(int row);

    QColor backgroundColor;
    QList<LanguageItemWidget *> rows;
    int markedRow = -1;
};
