#include "customcombo.h"

#include <QWheelEvent>

CustomCombo::CustomCombo(QWidget *parent) : CheckComboBox(parent)
{
    setFocusPolicy(Qt::StrongFocus);
    setContextMenuPolicy(Qt::NoContextMenu);
}

void CustomCombo::wheelEvent(QWheelEvent *event)
{
    // Passed on, so the table under it scrolls.
    event->ignore();
}

CustomCombo2::CustomCombo2(QWidget *parent) : QComboBox(parent)
{
    setFocusPolicy(Qt::StrongFocus);
    setContextMenuPolicy(Qt::NoContextMenu);
}

void CustomCombo2::wheelEvent(QWheelEvent *event)
{
    event->ignore();
}
