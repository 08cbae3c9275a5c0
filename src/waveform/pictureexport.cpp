#include "pictureexport.h"

#include "dialogs.h"

#include <QFile>
#include <QFileInfo>
#include <QImageWriter>
#include <QObject>
#include <QPixmap>
#include <QWidget>

QString exportPicture(QWidget *window, QWidget *shown)
{
    const QString name =
        Dialogs::current().saveFileName(window, QObject::tr("Nom du fichier"), QString(),
                                        QStringLiteral("Graphic files (*.png )"));
    if (name.isEmpty())
        return {};
    // The chooser gives back what was typed; a picture without a suffix opens nowhere.
    const QString file = QFileInfo(name).suffix().isEmpty() ? name + QStringLiteral(".png") : name;
    QImageWriter writer(file, "PNG");
    if (writer.write(shown->grab().toImage()))
        return file;
    const QString why = writer.errorString();
    // The writer leaves what it got to write before the disk filled: no picture opens from it.
    if (QFileInfo(file).isFile())
        QFile::remove(file);
    Dialogs::warning(window, QStringLiteral("Export"),
                     QStringLiteral("The picture could not be written to %1: %2")
                         .arg(QFileInfo(file).absoluteFilePath(), why));
    return {};
}
