#include "checkcombobox.h"

#include <QAbstractItemView>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QStandardItemModel>
#include <QStylePainter>

CheckComboBox::CheckComboBox(QWidget *parent)
    : QComboBox(parent), m_model(new QStandardItemModel(this))
{
    setModel(m_model);
    view()->viewport()->installEventFilter(this);
    view()->installEventFilter(this);
    connect(m_model, &QStandardItemModel::itemChanged, this, &CheckComboBox::onItemChanged);
}

void CheckComboBox::addCheckItem(const QString &text)
{
    auto *item = new QStandardItem(text);
    item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsUserCheckable);
    item->setData(Qt::Unchecked, Qt::CheckStateRole);
    const QSignalBlocker quiet(m_model); // a new unchecked item changes no choice
    m_model->appendRow(item);
    if (count() == 1)
        setCurrentIndex(0);
    update();
}

void CheckComboBox::addCheckItems(const QStringList &texts)
{
    for (const QString &t : texts)
        addCheckItem(t);
}

QStringList CheckComboBox::checkedItems() const
{
    QStringList items;
    for (int i = 0; i < m_model->rowCount(); ++i)
        if (itemCheckState(i) == Qt::Checked)
            items << m_model->item(i)->text();
    return items;
}

void CheckComboBox::setCheckedItems(const QStringList &items)
{
    const QStringList before = checkedItems();
    m_batch = true;
    for (int i = 0; i < m_model->rowCount(); ++i)
        setItemCheckState(i,
                          items.contains(m_model->item(i)->text()) ? Qt::Checked : Qt::Unchecked);
    m_batch = false;
    const QStringList after = checkedItems();
    if (after != before) {
        update();
        emit checkedItemsChanged(after);
    }
}

void CheckComboBox::setItemCheckState(int index, Qt::CheckState state)
{
    if (QStandardItem *item = m_model->item(index))
        item->setData(state, Qt::CheckStateRole);
}

Qt::CheckState CheckComboBox::itemCheckState(int index) const
{
    const QStandardItem *item = m_model->item(index);
    return item ? static_cast<Qt::CheckState>(item->data(Qt::CheckStateRole).toInt())
                : Qt::Unchecked;
}

QString CheckComboBox::displayText() const
{
    return checkedItems().join(QStringLiteral(", "));
}

int CheckComboBox::displayWidth() const
{
    QStyleOptionComboBox option;
    initStyleOption(&option);
    option.currentText = displayText();
    const QSize text(fontMetrics().horizontalAdvance(option.currentText), fontMetrics().height());
    return style()->sizeFromContents(QStyle::CT_ComboBox, &option, text, this).width();
}

void CheckComboBox::toggle(int index)
{
    setItemCheckState(index, itemCheckState(index) == Qt::Checked ? Qt::Unchecked : Qt::Checked);
}

void CheckComboBox::onItemChanged()
{
    if (m_batch)
        return;
    update();
    emit checkedItemsChanged(checkedItems());
}

bool CheckComboBox::eventFilter(QObject *watched, QEvent *event)
{
    // A click or a space in the pop-up toggles the item and keeps the pop-up open, so several
    // channels can be chosen in one go. The release of the click that opened the pop-up lands
    // on it too, over an item: only a release whose press was in the pop-up is a click there.
    if (watched == view()->viewport() && event->type() == QEvent::MouseButtonPress)
        m_pressInPopup = true;
    if (watched == view()->viewport() && event->type() == QEvent::MouseButtonRelease) {
        const auto *mouse = static_cast<QMouseEvent *>(event);
        const QModelIndex index = view()->indexAt(mouse->pos());
        if (index.isValid() && m_pressInPopup)
            toggle(index.row());
        m_pressInPopup = false;
        return true;
    }
    if (watched == view() && event->type() == QEvent::KeyPress) {
        const auto *key = static_cast<QKeyEvent *>(event);
        if (key->key() == Qt::Key_Space || key->key() == Qt::Key_Select) {
            toggle(view()->currentIndex().row());
            return true;
        }
    }
    return QComboBox::eventFilter(watched, event);
}

void CheckComboBox::showPopup()
{
    m_pressInPopup = false;
    QComboBox::showPopup();
}

void CheckComboBox::paintEvent(QPaintEvent *)
{
    QStylePainter painter(this);
    painter.setPen(palette().color(QPalette::Text));
    QStyleOptionComboBox option;
    initStyleOption(&option);
    // Cut short, the list says so with an ellipsis and the tooltip holds it whole: a list cut
    // at a channel's edge reads as all there is.
    const QString text = displayText();
    const int room =
        style()
            ->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField, this)
            .width();
    option.currentText = fontMetrics().elidedText(text, Qt::ElideRight, room);
    const QString tip = option.currentText == text ? QString() : text;
    if (toolTip() != tip)
        setToolTip(tip);
    option.currentIcon = QIcon();
    painter.drawComplexControl(QStyle::CC_ComboBox, option);
    painter.drawControl(QStyle::CE_ComboBoxLabel, option);
}
