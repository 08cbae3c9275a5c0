#pragma once

#include <QComboBox>
#include <QStringList>

class QStandardItemModel;

// A combo box whose items carry check boxes: the operator ticks any number of them in the
// pop-up, which stays open while items are toggled. The closed box shows the ticked items
// joined by ", ".
class CheckComboBox : public QComboBox
{
    Q_OBJECT
public:
    explicit CheckComboBox(QWidget *parent = nullptr);

    // Items are added unchecked and checkable.
    void addCheckItem(const QString &text);
    void addCheckItems(const QStringList &texts);

    // Texts of the checked items, in item order.
    QStringList checkedItems() const;
    // Checks exactly the items whose text is in `items`.
    void setCheckedItems(const QStringList &items);
    void setItemCheckState(int index, Qt::CheckState state);
    Qt::CheckState itemCheckState(int index) const;
    // Text shown in the closed box, cut with an ellipsis where it does not fit (the tooltip
    // then holds it whole).
    QString displayText() const;
    // The width that shows displayText() whole.
    int displayWidth() const;
    void showPopup() override;

signals:
    void checkedItemsChanged(const QStringList &items);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    void toggle(int index);
    void onItemChanged();

    QStandardItemModel *m_model;
    // Several changes made at once (setCheckedItems) report once.
    bool m_batch = false;
    bool m_pressInPopup = false;
};
