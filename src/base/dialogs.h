#pragma once

#include <QLineEdit>
#include <QMessageBox>
#include <QString>

class QWidget;

// Every modal question the program asks goes through here, so that tests can answer it
// without a dialog ever blocking them. The default shows the real dialogs.
class Dialogs
{
public:
    virtual ~Dialogs() = default;

    virtual QMessageBox::StandardButton message(QMessageBox::Icon icon, QWidget *parent,
                                                const QString &title, const QString &text,
                                                QMessageBox::StandardButtons buttons);
    // Empty when cancelled.
    virtual QString existingDirectory(QWidget *parent, const QString &title, const QString &dir);
    virtual QString openFileName(QWidget *parent, const QString &title, const QString &dir,
                                 const QString &filter);
    virtual QString saveFileName(QWidget *parent, const QString &title, const QString &dir,
                                 const QString &filter);
    // `ok` is false when cancelled.
    virtual QString text(QWidget *parent, const QString &title, const QString &label,
                         QLineEdit::EchoMode echo, const QString &initial, bool *ok);

    // The dialogs in use; never null. Installing nullptr puts the real dialogs back.
    static Dialogs &current();
    static void install(Dialogs *dialogs);

    static QMessageBox::StandardButton critical(QWidget *parent, const QString &title,
                                                const QString &text);
    static QMessageBox::StandardButton warning(QWidget *parent, const QString &title,
                                               const QString &text);
    // The restricted functions' password question; true when the code typed is the access code.
    static bool askAccessCode(QWidget *parent);

    static QMessageBox::StandardButton information(QWidget *parent, const QString &title,
                                                   const QString &text);
    // What could not be kept in `file` (a settings file of the working folder): a warning the
    // first time for that file, a diagnostic line every time.
    static void notSaved(QWidget *parent, const QString &what, const QString &file);
    // Writes one setting of config.ini, and says so when it could not be written.
    static bool saveSetting(QWidget *parent, const QString &key, const QVariant &value);
};
