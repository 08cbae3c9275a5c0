// The action boxes of the table and what they choose for each sensor of the next run.
#include "managewirelessdata.h"

#include <QCheckBox>
#include <QDateTimeEdit>

namespace
{
using FM = FleetModel;
} // namespace

void managewirelessdata::state_change_set_time()
{
    markFieldOfBox(m_setTime, FM::Field::Clock);
}

void managewirelessdata::state_change_clrdata()
{
    markFieldOfBox(m_clearData, FM::Field::Start);
}

// "Set Time" and "Clear all data" rewrite a time column of every sensor: it turns red while
// the box is checked, and the downloads, which would read the old times, are unchecked.
void managewirelessdata::markFieldOfBox(const QCheckBox *box, FleetModel::Field field)
{
    if (box->isChecked()) {
        m_downloadAll->setChecked(false);
        m_downloadBetween->setChecked(false);
        m_downloadNew->setChecked(false);
    }
    m_model->markWaiting(field, box->isChecked());
}

void managewirelessdata::state_change_setperiode()
{
    if (m_changePeriod->isChecked()) {
        m_downloadAll->setChecked(false);
        m_downloadBetween->setChecked(false);
        m_downloadNew->setChecked(false);
    }
    m_model->selectorsChosen(FM::Field::Period, m_changePeriod->isChecked());
}

void managewirelessdata::state_change_set_data()
{
    if (m_selectChannels->isChecked()) {
        m_downloadAll->setChecked(false);
        m_downloadBetween->setChecked(false);
        m_downloadNew->setChecked(false);
    }
    m_model->selectorsChosen(FM::Field::Channels, m_selectChannels->isChecked());
}

void managewirelessdata::state_change_dl_all_data()
{
    if (!m_downloadAll->isChecked())
        return;
    for (QCheckBox *box :
         {m_downloadBetween, m_downloadNew, m_clearData, m_setTime, m_selectChannels,
          m_changePeriod})
        box->setChecked(false);
    m_model->waitingForAction(false);
}

void managewirelessdata::state_change_dl_data_between()
{
    if (!m_downloadBetween->isChecked())
        return;
    for (QCheckBox *box :
         {m_downloadAll, m_downloadNew, m_clearData, m_setTime, m_selectChannels, m_changePeriod})
        box->setChecked(false);
    m_model->waitingForAction(false);
}

void managewirelessdata::state_change_dl_new_data()
{
    if (!m_downloadNew->isChecked())
        return;
    for (QCheckBox *box :
         {m_downloadAll, m_downloadBetween, m_clearData, m_setTime, m_selectChannels,
          m_changePeriod})
        box->setChecked(false);
    m_model->waitingForAction(false);
}

void managewirelessdata::uncheck_action_boxes()
{
    for (QCheckBox *box : {m_setTime, m_selectChannels, m_changePeriod, m_clearData, m_downloadAll,
                           m_downloadBetween, m_downloadNew})
        box->setChecked(false);
}

actionblock::Choice managewirelessdata::action_choice() const
{
    actionblock::Choice c;
    c.setTime = m_setTime->isChecked();
    c.changePeriod = m_changePeriod->isChecked();
    c.clearData = m_clearData->isChecked();
    c.downloadBetween = m_downloadBetween->isChecked();
    c.downloadAll = m_downloadAll->isChecked();
    c.downloadNew = m_downloadNew->isChecked();
    c.selectChannels = m_selectChannels->isChecked();
    c.windowStart = m_from->dateTime();
    c.windowEnd = m_to->dateTime();
    return c;
}

QString managewirelessdata::windowProblem() const
{
    const actionblock::Choice c = action_choice();
    if (!c.downloadBetween)
        return {};
    switch (actionblock::windowFault(c.windowStart, c.windowEnd, QDateTime::currentDateTime())) {
    case actionblock::WindowFault::Reversed:
        return QStringLiteral("The \"to\" date is before the \"from\" date: no sensor has "
                              "recorded in this window. Change the dates and send again.");
    case actionblock::WindowFault::Empty:
        return QStringLiteral("The \"from\" and \"to\" dates are the same: the window holds "
                              "no sample. Change the dates and send again.");
    case actionblock::WindowFault::Future:
        return QStringLiteral("The \"from\" date is in the future: no sensor has recorded there "
                              "yet. Change the dates and send again.");
    case actionblock::WindowFault::None:
        break;
    }
    return {};
}

void managewirelessdata::syncChoice()
{
    m_model->setChoice(action_choice());
}
