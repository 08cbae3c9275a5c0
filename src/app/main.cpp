#include "dialogs.h"
#include "filelocations.h"
#include "mainwindow.h"
#include "settings.h"

#include <QApplication>
#include <QFile>
#include <QFont>
#include <QIcon>
#include <QTimer>
#include <cstdio>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tessaran"));
    app.setFont(QFont(QStringLiteral("MS Sans Serif"), 9));

    // Chosen once, before anything reads a file: a folder set up by hand keeps everything, an
    // installed program started elsewhere reads its installed defaults and the user's folder.
    FileLocations files = FileLocations::resolve(FileLocations::applicationFolders());
    files.prepare();
    FileLocations::use(files);
    settings::use(files.config());
    const QString appIcon = files.icon(QStringLiteral("tessaran.png"));
    if (QFile::exists(appIcon))
        QApplication::setWindowIcon(QIcon(appIcon));
    for (const QString &problem : files.problems())
        std::fprintf(stderr, "tessaran: %s\n", qPrintable(problem));

    auto *window = new MainWindow;
    if (!files.problems().isEmpty())
        QTimer::singleShot(0, window, [window] {
            Dialogs::warning(window, QStringLiteral("Files"),
                             FileLocations::current().problems().join(QLatin1Char('\n')));
        });
    const int code = app.exec();
    delete window;
    return code;
}
