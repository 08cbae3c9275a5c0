#include "mainwindow.h"

#include <QApplication>
#include <QFont>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    app.setFont(QFont(QStringLiteral("MS Sans Serif"), 9));
    auto *window = new MainWindow;
    const int code = app.exec();
    delete window;
    return code;
}
