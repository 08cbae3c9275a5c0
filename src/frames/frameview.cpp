#include "frameview.h"

#include "framelog.h"
#include "frametablemodel.h"

#include <QFontDatabase>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QSplitter>
#include <QTableView>
#include <QVBoxLayout>

FrameView::FrameView(FrameLog *log, int capacity, QWidget *parent)
    : QWidget(parent), m_log(log),
      m_model(
          new FrameTableModel(capacity > 0 ? capacity : FrameTableModel::DefaultCapacity, this)),
      m_table(new QTableView), m_detail(new QPlainTextEdit), m_pause(new QPushButton(tr("&Pause"))),
      m_clear(new QPushButton(tr("C&lear"))), m_count(new QLabel), m_fileLabel(new QLabel)
{
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(4, 4, 4, 4);
    auto *bar = new QHBoxLayout;
    m_pause->setCheckable(true);
    bar->addWidget(m_pause);
    bar->addWidget(m_clear);
    bar->addWidget(m_count);
    bar->addStretch();
    bar->addWidget(m_fileLabel);
    layout->addLayout(bar);

    m_table->setModel(m_model);
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->setSelectionMode(QAbstractItemView::SingleSelection);
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_table->setWordWrap(false);
    m_table->verticalHeader()->hide();
    // Rows of one height: a table of thousands of rows is laid out without measuring any.
    m_table->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    m_table->verticalHeader()->setDefaultSectionSize(m_table->fontMetrics().height() + 4);
    QHeaderView *columns = m_table->horizontalHeader();
    columns->setStretchLastSection(true);
    const int digit = m_table->fontMetrics().horizontalAdvance(QLatin1Char('0'));
    m_table->setColumnWidth(FrameTableModel::ColTime, digit * 15);
    m_table->setColumnWidth(FrameTableModel::ColDirection, digit * 5);
    m_table->setColumnWidth(FrameTableModel::ColLength, digit * 8);

    m_detail->setReadOnly(true);
    m_detail->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    m_detail->setLineWrapMode(QPlainTextEdit::NoWrap);
    m_detail->setPlaceholderText(tr("Select a frame to see its fields and bytes."));

    // The detail beside the table: a page frame's fields and bytes want the height, and the
    // window is wide.
    auto *split = new QSplitter(Qt::Horizontal);
    split->addWidget(m_table);
    split->addWidget(m_detail);
    split->setStretchFactor(0, 3);
    split->setStretchFactor(1, 2);
    split->setSizes({3000, 2000});
    layout->addWidget(split, 1);

    connect(m_log, &FrameLog::framesLogged, m_model, &FrameTableModel::append);
    connect(m_log, &FrameLog::fileChanged, this, &FrameView::showFile);
    // The newest frame stays in sight while the table is scrolled to its end; scrolled up to
    // read, it stays where it is.
    connect(m_model, &QAbstractItemModel::rowsAboutToBeInserted, this, [this] {
        const QScrollBar *s = m_table->verticalScrollBar();
        m_follow = s->value() >= s->maximum();
    });
    connect(m_model, &QAbstractItemModel::rowsInserted, this, [this] {
        if (m_follow)
            m_table->scrollToBottom();
        showCount();
    });
    connect(m_model, &QAbstractItemModel::rowsRemoved, this, &FrameView::showCount);
    connect(m_model, &QAbstractItemModel::modelReset, this, [this] {
        showCount();
        showDetail();
    });
    connect(m_table->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            &FrameView::showDetail);
    connect(m_pause, &QPushButton::toggled, this, [this](bool paused) {
        m_model->setPaused(paused);
        showCount();
    });
    connect(m_clear, &QPushButton::clicked, m_model, &FrameTableModel::clear);
    setFocusProxy(m_table);
    showCount();
    showFile();
}

void FrameView::showCount()
{
    QString text =
        tr("%n frame(s), the last %1 kept", nullptr, m_model->rowCount()).arg(m_model->capacity());
    if (m_model->paused())
        text += tr("; paused, %n not shown", nullptr, int(m_model->missedWhilePaused()));
    m_count->setText(text);
}

void FrameView::showFile()
{
    if (m_log->fileOpen())
        m_fileLabel->setText(tr("Log file: %1").arg(m_log->filePath()));
    else if (!m_log->fileError().isEmpty())
        m_fileLabel->setText(
            QStringLiteral("<font color=red>%1</font>").arg(m_log->fileError().toHtmlEscaped()));
    else
        m_fileLabel->setText(tr("No log file (LOG/FRAME_LOG in config.ini)"));
}

void FrameView::showDetail()
{
    const QModelIndex current = m_table->currentIndex();
    m_detail->setPlainText(current.isValid() ? m_model->detail(current.row()) : QString());
}
