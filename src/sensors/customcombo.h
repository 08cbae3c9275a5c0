#pragma once

#include "checkcombobox.h"

#include <QComboBox>

// The selectors in the sensor table ignore the mouse wheel: scrolling the table over a row must
// never change what a sensor records or how often.

// Channel selector of a row.
class CustomCombo : public CheckComboBox
{
    Q_OBJECT
public:
    explicit CustomCombo(QWidget *parent = nullptr);

protected:
    void wheelEvent(QWheelEvent *event) override;
};

// Period selector of a row.
class CustomCombo2 : public QComboBox
{
    Q_OBJECT
public:
    explicit CustomCombo2(QWidget *parent = nullptr);

protected:
    void wheelEvent(QWheelEvent *event) override;
};
