#pragma once

#include "dialogs.h"

#include <QList>
#include <QStringList>
#include <functional>

// Stands in for the real dialogs while it lives: records every question and answers from a
// script (first scripted answer first; when the script is empty, the "cancel" answer).
class DialogDouble : public Dialogs
{
public:
    struct Call {
        QString kind; // "message", "directory", "open", "save", "text"
        QString title;
        QString text;
        QMessageBox::StandardButtons buttons;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
    };

    DialogDouble() { Dialogs::install(this); }
    ~DialogDouble() override { Dialogs::install(nullptr); }

    void answerButton(QMessageBox::StandardButton b) { m_buttons << b; }
    void answerText(const QString &t) { m_texts << t; }

    QList<Call> calls;
    QStringList titles() const;
    // Runs while a message box is "up", as the operator's input would arrive during a real
    // one's event loop.
    std::function<void()> whileShown;

    QMessageBox::StandardButton message(QMessageBox::Icon icon, QWidget *, const QString &title,
                                        const QString &text,
                                        QMessageBox::StandardButtons buttons) override;
    QString existingDirectory(QWidget *, const QString &title, const QString &dir) override;
    QString openFileName(QWidget *, const QString &title, const QString &dir,
                         const QString &filter) override;
    QString saveFileName(QWidget *, const QString &title, const QString &dir,
                         const QString &filter) override;
    QString text(QWidget *, const QString &title, const QString &label, QLineEdit::EchoMode,
                 const QString &initial, bool *ok) override;

private:
    QString nextText(bool *ok);
    QList<QMessageBox::StandardButton> m_buttons;
    QStringList m_texts;
};
