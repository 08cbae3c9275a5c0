#include "dialogs.h"

#include "settings.h"

#include <QDebug>
#include <QFileDialog>
#include <QFileInfo>
#include <QInputDialog>
#include <QSet>

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

void Dialogs::notSaved(QWidget *parent, const QString &what, const QString &file)
{
    // A folder that is read-only stays so: every later window closing would ask again.
    static QSet<QString> told;
    const QString path = QFileInfo(file).absoluteFilePath();
    qWarning().noquote() << what << "could not be written to" << path;
    if (told.contains(path))
        return;
    told.insert(path);
    warning(parent, QStringLiteral("Settings Not Saved"),
            QStringLiteral("%1 could not be written to %2: the file or its folder is read-only, "
                           "or the disk is full. The next start will not know it.")
                .arg(what, path));
}

bool Dialogs::saveSetting(QWidget *parent, const QString &key, const QVariant &value)
{
    if (settings::write(key, value))
        return true;
    notSaved(parent, key, settings::path());
    return false;
}
