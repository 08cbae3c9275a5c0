#include "dialogs.h"

#include <QFileDialog>
#include <QInputDialog>

namespace
{
Dialogs g_real;
Dialogs *g_current = &g_real;
} // namespace

QMessageBox::StandardButton Dialogs::message(QMessageBox::Icon icon, QWidget *parent,
                                             const QString &title, const QString &text,
                                             QMessageBox::StandardButtons buttons)
{
    QMessageBox box(icon, title, text, buttons, parent);
    return static_cast<QMessageBox::StandardButton>(box.exec());
}

QString Dialogs::existingDirectory(QWidget *parent, const QString &title, const QString &dir)
{
    return QFileDialog::getExistingDirectory(parent, title, dir, QFileDialog::ShowDirsOnly);
}

QString Dialogs::openFileName(QWidget *parent, const QString &title, const QString &dir,
                              const QString &filter)
{
    return QFileDialog::getOpenFileName(parent, title, dir, filter);
}

QString Dialogs::saveFileName(QWidget *parent, const QString &title, const QString &dir,
                              const QString &filter)
{
    return QFileDialog::getSaveFileName(parent, title, dir, filter);
}

QString Dialogs::text(QWidget *parent, const QString &title, const QString &label,
                      QLineEdit::EchoMode echo, const QString &initial, bool *ok)
{
    return QInputDialog::getText(parent, title, label, echo, initial, ok);
}

Dialogs &Dialogs::current()
{
    return *g_current;
}

void Dialogs::install(Dialogs *dialogs)
{
    g_current = dialogs ? dialogs : &g_real;
}

QMessageBox::StandardButton Dialogs::critical(QWidget *parent, const QString &title,
                                              const QString &text)
{
    return current().message(QMessageBox::Critical, parent, title, text, QMessageBox::Ok);
}

QMessageBox::StandardButton Dialogs::warning(QWidget *parent, const QString &title,
                                             const QString &text)
{
    return current().message(QMessageBox::Warning, parent, title, text, QMessageBox::Ok);
}

QMessageBox::StandardButton Dialogs::information(QWidget *parent, const QString &title,
                                                 const QString &text)
{
    return current().message(QMessageBox::Information, parent, title, text, QMessageBox::Ok);
}

bool Dialogs::askAccessCode(QWidget *parent)
{
    static const QLatin1String AccessCode("7294");
    bool ok = false;
    const QString typed =
        current().text(parent, QStringLiteral("Password"),
                       QStringLiteral("Restricted functions.<br>Please enter password."),
                       QLineEdit::Normal, QString(), &ok);
    return ok && typed == AccessCode;
}
