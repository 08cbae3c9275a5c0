#include "sensortableview.h"

#include "customcombo.h"
#include "periods.h"
#include "sensortext.h"

#include <QCheckBox>
#include <QFrame>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QScrollBar>
#include <QVBoxLayout>
#include <algorithm>

namespace
{
using FM = FleetModel;
using TM = SensorTableModel;

// The usual widths; a column is never narrower than what it shows.
const int kMinimumWidths[TM::Columns] = {37, 71, 26, 114, 114, 223, 75,
                                         45, 35, 50, 170, 35,  50,  50};

constexpr int RowHeight = 35;

QString selectorStyle(const QColor &tint)
{
    const QString name = tint == QColor(Qt::red)     ? QStringLiteral("red")
                         : tint == QColor(Qt::blue)  ? QStringLiteral("blue")
                         : tint == QColor(Qt::black) ? QStringLiteral("black")
                                                     : tint.name();
    return QStringLiteral("QComboBox   {  color:   %1;   }").arg(name);
}

// Sets a flag for the lifetime of a scope and restores what it was.
class FlagScope
{
public:
    explicit FlagScope(bool &flag) : m_flag(flag), m_was(flag) { m_flag = true; }
    ~FlagScope() { m_flag = m_was; }
    FlagScope(const FlagScope &) = delete;
    FlagScope &operator=(const FlagScope &) = delete;

private:
    bool &m_flag;
    bool m_was;
};
} // namespace

SensorTableView::SensorTableView(FleetModel *fleet, QWidget *parent)
    : QTableView(parent), m_fleet(fleet), m_model(new SensorTableModel(fleet, this)),
      m_running([] { return false; })
{
    setModel(m_model);
    for (int c = 0; c < TM::Columns; ++c)
        setColumnWidth(c, kMinimumWidths[c]);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    horizontalHeader()->setHighlightSections(false);
    horizontalHeader()->setStretchLastSection(true);
    setVerticalScrollMode(QAbstractItemView::ScrollPerItem);
    setAutoScroll(false);
    verticalHeader()->setDefaultSectionSize(RowHeight);

    connect(m_model, &QAbstractItemModel::rowsInserted, this,
            [this](const QModelIndex &, int first, int last) {
                FlagScope fill(m_filling);
                for (int r = first; r <= last; ++r) {
                    makeRowWidgets(r);
                    renderSelectors(r, FM::Aspect::All);
                }
                scheduleFit();
            });
    connect(m_model, &QAbstractItemModel::dataChanged, this, &SensorTableView::scheduleFit);
    connect(m_model, &SensorTableModel::selectorsChanged, this, [this](int row, FM::Aspect a) {
        renderSelectors(row, a);
        scheduleFit();
    });
    FlagScope fill(m_filling);
    for (int r = 0; r < m_model->rowCount(); ++r) {
        makeRowWidgets(r);
        renderSelectors(r, FM::Aspect::All);
    }
}

SensorTableView::~SensorTableView()
{
    // The cell widgets go with the table; what they say on their way out is not the operator's.
    for (QObject *child : findChildren<QObject *>())
        child->disconnect(this);
}

void SensorTableView::setRunning(std::function<bool()> running)
{
    m_running = running;
    m_model->setRunning(std::move(running));
}

int SensorTableView::fullWidth() const
{
    int width = verticalHeader()->sizeHint().width() + 2 * frameWidth() +
                verticalScrollBar()->sizeHint().width();
    for (int c = 0; c < TM::Columns; ++c)
        width += columnWidth(c);
    return width;
}

void SensorTableView::scheduleFit()
{
    if (m_fitPending)
        return;
    m_fitPending = true;
    QMetaObject::invokeMethod(this, &SensorTableView::fitColumns, Qt::QueuedConnection);
}

void SensorTableView::fitColumns()
{
    m_fitPending = false;
    // Widths only grow: a column the operator widened stays so.
    for (int c = 0; c < TM::Columns; ++c) {
        if (c == TM::ColChannels)
            continue;
        const int before = columnWidth(c);
        resizeColumnToContents(c);
        setColumnWidth(c, std::max({before, kMinimumWidths[c], columnWidth(c)}));
    }
    // A channel selector shows its checked channels joined, wider than any one of them: the
    // room the last column would stretch over goes to the selectors, and shrinks again as the
    // other columns grow. A width the operator gave the column stays.
    const int ch = TM::ColChannels;
    int width = std::max(kMinimumWidths[ch], sizeHintForColumn(ch));
    if (columnWidth(ch) != m_channelsFitted)
        width = std::max(width, columnWidth(ch));
    int wanted = 0;
    for (int r = 0; r < m_fleet->size(); ++r)
        if (const CustomCombo *channels = channelSelector(r))
            wanted = std::max(wanted, channels->displayWidth());
    int room = viewport()->width() - kMinimumWidths[TM::Columns - 1];
    for (int c = 0; c < TM::Columns - 1; ++c)
        if (c != ch)
            room -= columnWidth(c);
    width = std::max(width, std::min(wanted, room));
    setColumnWidth(ch, width);
    m_channelsFitted = width;
}

void SensorTableView::resizeEvent(QResizeEvent *event)
{
    QTableView::resizeEvent(event);
    scheduleFit();
}

QWidget *SensorTableView::widgetAt(int row, int column) const
{
    return indexWidget(m_model->index(row, column));
}

CustomCombo *SensorTableView::channelSelector(int row) const
{
    QWidget *cell = widgetAt(row, TM::ColChannels);
    return cell ? cell->findChild<CustomCombo *>() : nullptr;
}

CustomCombo2 *SensorTableView::periodSelector(int row) const
{
    return qobject_cast<CustomCombo2 *>(widgetAt(row, TM::ColPeriod));
}

QLabel *SensorTableView::lastValuesLabel(int row) const
{
    QWidget *cell = widgetAt(row, TM::ColChannels);
    return cell ? cell->findChild<QLabel *>() : nullptr;
}

QCheckBox *SensorTableView::modeBox(int row) const
{
    QWidget *cell = widgetAt(row, TM::ColMode);
    return cell ? cell->findChild<QCheckBox *>() : nullptr;
}

int SensorTableView::rowOf(const QObject *widget) const
{
    for (int r = 0; r < m_fleet->size(); ++r)
        if (channelSelector(r) == widget || periodSelector(r) == widget || modeBox(r) == widget)
            return r;
    return -1;
}

// The widgets of a freshly inserted row `row`; what they show comes from the fleet.
void SensorTableView::makeRowWidgets(int row)
{
    auto *channelCell = new QWidget;
    auto *channelLayout = new QVBoxLayout(channelCell);
    channelLayout->setContentsMargins(0, 0, 0, 0);
    channelLayout->setSpacing(0);
    auto *channels = new CustomCombo;
    auto *lastValues = new QLabel;
    lastValues->setStyleSheet(QStringLiteral("font: 8px;"));
    lastValues->setFixedHeight(10);
    channelLayout->addWidget(channels);
    channelLayout->addWidget(lastValues);
    setIndexWidget(m_model->index(row, TM::ColChannels), channelCell);
    connect(channels, &CustomCombo::checkedItemsChanged, this,
            [this, channels](const QStringList &items) {
                if (!m_filling)
                    emit channelsEdited(rowOf(channels), items);
            });

    auto *period = new CustomCombo2;
    setIndexWidget(m_model->index(row, TM::ColPeriod), period);
    connect(period, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            [this, period](int index) {
                if (!m_filling)
                    emit periodEdited(rowOf(period), index);
            });

    auto *modeFrame = new QFrame;
    auto *modeLayout = new QHBoxLayout(modeFrame);
    modeLayout->setContentsMargins(2, 2, 2, 2);
    modeLayout->addSpacing(5);
    auto *mode = new QCheckBox;
    modeLayout->addWidget(mode);
    setIndexWidget(m_model->index(row, TM::ColMode), modeFrame);
    connect(mode, &QCheckBox::toggled, this, [this, mode](bool checked) {
        if (!m_filling)
            emit modeEdited(rowOf(mode), checked);
    });

    if (m_running())
        setRowWidgetsEnabled(row, false);
    else
        mode->setChecked(true);
    setRowHeight(row, RowHeight);
}

void SensorTableView::renderSelectors(int row, FleetModel::Aspect aspect)
{
    if (!m_fleet->isSensorRow(row))
        return;
    FlagScope fill(m_filling);
    const FM::Sensor &s = m_fleet->sensor(row);
    const bool all = aspect == FM::Aspect::All;
    if (CustomCombo *channels = channelSelector(row);
        channels && (all || aspect == FM::Aspect::Channels)) {
        const QStringList offered =
            s.record.serial_number ? s.type.selectableChannels() : QStringList();
        QStringList shown;
        for (int i = 0; i < channels->count(); ++i)
            shown << channels->itemText(i);
        if (shown != offered) {
            channels->clear();
            channels->addCheckItems(offered);
        }
        channels->setCheckedItems(s.checkedChannels);
        const QString style = selectorStyle(m_model->selectorTint(row, FM::Field::Channels));
        if (channels->styleSheet() != style)
            channels->setStyleSheet(style);
        lastValuesLabel(row)->setText(sensortext::lastValues(s));
    }
    if (CustomCombo2 *period = periodSelector(row);
        period && (all || aspect == FM::Aspect::Period)) {
        if (!s.periodsListed) {
            period->clear();
        } else {
            if (period->count() != periods::Count) {
                period->clear();
                period->addItems(periods::texts());
            }
            period->setCurrentIndex(s.periodItem);
        }
        const QString style = selectorStyle(m_model->selectorTint(row, FM::Field::Period));
        if (period->styleSheet() != style)
            period->setStyleSheet(style);
    }
    if (QCheckBox *mode = modeBox(row); mode && (all || aspect == FM::Aspect::Mode))
        mode->setChecked(s.mode_flag);
}

void SensorTableView::setRowWidgetsEnabled(int row, bool enabled)
{
    if (CustomCombo *c = channelSelector(row))
        c->setEnabled(enabled);
    if (CustomCombo2 *p = periodSelector(row))
        p->setEnabled(enabled);
    if (QCheckBox *m = modeBox(row))
        m->setEnabled(enabled);
}

void SensorTableView::lock()
{
    setSelectionMode(QAbstractItemView::NoSelection);
    for (int r = 0; r < m_fleet->size(); ++r)
        setRowWidgetsEnabled(r, false);
}

void SensorTableView::giveBack()
{
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    FlagScope fill(m_filling);
    for (int r = 0; r < m_fleet->size(); ++r)
        setRowWidgetsEnabled(r, true);
}
