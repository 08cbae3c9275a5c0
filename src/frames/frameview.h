#pragma once

#include <QWidget>

class FrameLog;
class FrameTableModel;
class QLabel;
class QPlainTextEdit;
class QPushButton;
class QTableView;

// The frames of the line as the frame log hands them on: a table of the last ones (time,
// direction, length, meaning; a refused frame in red with the reason), the fields and bytes of
// the selected one below it, and pause and clear.
class FrameView : public QWidget
{
    Q_OBJECT
public:
    explicit FrameView(FrameLog *log, int capacity = 0, QWidget *parent = nullptr);

    FrameTableModel *model() const { return m_model; }
    QTableView *table() const { return m_table; }
    QPlainTextEdit *detail() const { return m_detail; }
    QPushButton *pauseButton() const { return m_pause; }
    QPushButton *clearButton() const { return m_clear; }
    QLabel *countLabel() const { return m_count; }
    QLabel *fileLabel() const { return m_fileLabel; }

private:
    void showCount();
    void showFile();
    void showDetail();

    FrameLog *m_log;
    FrameTableModel *m_model;
    QTableView *m_table;
    QPlainTextEdit *m_detail;
    QPushButton *m_pause;
    QPushButton *m_clear;
    QLabel *m_count;
    QLabel *m_fileLabel;
    bool m_follow = true;
};
