#include "dialogdouble.h"

QStringList DialogDouble::titles() const
{
    QStringList t;
    for (const Call &c : calls)
        t << c.title;
    return t;
}

QString DialogDouble::nextText(bool *ok)
{
    const bool have = !m_texts.isEmpty();
    if (ok)
        *ok = have;
    return have ? m_texts.takeFirst() : QString();
}

QMessageBox::StandardButton DialogDouble::message(QMessageBox::Icon icon, QWidget *,
                                                  const QString &title, const QString &text,
                                                  QMessageBox::StandardButtons buttons)
{
    calls << Call{QStringLiteral("message"), title, text, buttons, icon};
    if (whileShown)
        whileShown();
    if (!m_buttons.isEmpty())
        return m_buttons.takeFirst();
    return (buttons & QMessageBox::Cancel) ? QMessageBox::Cancel : QMessageBox::Ok;
}

QString DialogDouble::existingDirectory(QWidget *, const QString &title, const QString &dir)
{
    calls << Call{QStringLiteral("directory"), title, dir, {}};
    return nextText(nullptr);
}

QString DialogDouble::openFileName(QWidget *, const QString &title, const QString &dir,
                                   const QString &)
{
    calls << Call{QStringLiteral("open"), title, dir, {}};
    return nextText(nullptr);
}

QString DialogDouble::saveFileName(QWidget *, const QString &title, const QString &dir,
                                   const QString &)
{
    calls << Call{QStringLiteral("save"), title, dir, {}};
    return nextText(nullptr);
}

QString DialogDouble::text(QWidget *, const QString &title, const QString &label,
                           QLineEdit::EchoMode, const QString &, bool *ok)
{
    calls << Call{QStringLiteral("text"), title, label, {}};
    return nextText(ok);
}
