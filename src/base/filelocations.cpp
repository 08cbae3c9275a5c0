#include "filelocations.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

#ifndef TESSARAN_DATA_FROM_BIN
#define TESSARAN_DATA_FROM_BIN "../share/tessaran"
#endif

namespace
{
QString in(const QString &folder, const QString &name)
{
    return folder.isEmpty() ? name : QDir(folder).filePath(name);
}

QString absolute(const QString &path)
{
    return QFileInfo(path).absoluteFilePath();
}

FileLocations g_current;
} // namespace

FileLocations::FileLocations()
    : m_config(QString::fromLatin1(ConfigName)), m_catalogue(QString::fromLatin1(CatalogueName)),
      m_iconFolder(QString::fromLatin1(IconFolderName)),
      m_snapshot(QString::fromLatin1(SnapshotName))
{
    m_catalogueTried << m_catalogue;
}

FileLocations FileLocations::resolve(const Folders &folders)
{
    const QString config = QString::fromLatin1(ConfigName);
    const QString catalogue = QString::fromLatin1(CatalogueName);
    const QString icons = QString::fromLatin1(IconFolderName);
    const QString snapshot = QString::fromLatin1(SnapshotName);

    FileLocations l;
    l.m_working = folders.working;
    // A folder set up by hand (either file is enough: the program always made config.ini
    // itself beside a copied sensor.ini) stays the program's home, as it was before installs.
    l.m_inWorkingFolder = folders.settings.isEmpty() ||
                          QFileInfo(in(folders.working, config)).isFile() ||
                          QFileInfo(in(folders.working, catalogue)).isFile();
    const QString home = l.m_inWorkingFolder ? folders.working : folders.settings;
    l.m_config = in(home, config);
    l.m_snapshot = in(home, snapshot);
    l.m_output =
        l.m_inWorkingFolder ? folders.working : (folders.output.isEmpty() ? home : folders.output);

    // The working folder's own catalogue first, then one the user keeps beside the settings,
    // then the installed one. None: the working folder's name, which the readers report.
    l.m_catalogueTried.clear();
    const QString places[] = {folders.working, folders.settings, folders.data};
    for (const QString &folder : places) {
        if (&folder != &places[0] && folder.isEmpty())
            continue;
        const QString path = in(folder, catalogue);
        if (!l.m_catalogueTried.contains(path))
            l.m_catalogueTried << path;
    }
    l.m_catalogue = l.m_catalogueTried.first();
    for (const QString &path : l.m_catalogueTried) {
        if (QFileInfo(path).isFile()) {
            l.m_catalogue = path;
            break;
        }
    }

    l.m_iconFolder = in(folders.working, icons);
    if (!QFileInfo(l.m_iconFolder).isDir() && !folders.data.isEmpty() &&
        QFileInfo(in(folders.data, icons)).isDir())
        l.m_iconFolder = in(folders.data, icons);
    return l;
}

FileLocations::Folders FileLocations::applicationFolders()
{
    Folders f;
    // Only with an application object is the executable's folder known.
    if (QCoreApplication::instance())
        f.data = QDir::cleanPath(QDir(QCoreApplication::applicationDirPath())
                                     .filePath(QStringLiteral(TESSARAN_DATA_FROM_BIN)));
    // Generic locations, not the application's own: the program and the collector share them.
    const QString config = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    const QString data = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    if (!config.isEmpty())
        f.settings = QDir(config).filePath(QStringLiteral("tessaran"));
    if (!data.isEmpty())
        f.output = QDir(data).filePath(QStringLiteral("tessaran"));
    return f;
}

QString FileLocations::icon(const QString &fileName) const
{
    return in(m_iconFolder, fileName);
}

QString FileLocations::outputFolder() const
{
    return m_output.isEmpty() ? QDir::currentPath() : absolute(m_output);
}

void FileLocations::prepare()
{
    m_problems.clear();
    if (!m_inWorkingFolder) {
        const QString folder = QFileInfo(absolute(m_config)).absolutePath();
        if (!QFileInfo(folder).isDir() && !QDir().mkpath(folder))
            m_problems << QStringLiteral("The folder %1 can't be created: the settings and the "
                                         "sensor list will not be saved.")
                              .arg(folder);
        else if (!QFileInfo(folder).isWritable())
            m_problems << QStringLiteral("The folder %1 can't be written: the settings and the "
                                         "sensor list will not be saved.")
                              .arg(folder);
    }
    if (!QFileInfo(m_catalogue).isFile()) {
        QStringList tried;
        for (const QString &path : m_catalogueTried)
            tried << absolute(path);
        m_problems << QStringLiteral("No sensor catalogue found (%1): sensor types stay unknown.")
                          .arg(tried.join(QStringLiteral(", ")));
    }
}

QStringList FileLocations::describe() const
{
    const auto line = [](const QString &what, const QString &path, bool there) {
        return QStringLiteral("%1: %2%3")
            .arg(what, absolute(path), there ? QString() : QStringLiteral(" (not there)"));
    };
    return {
        line(QStringLiteral("Settings"), m_config, QFileInfo(m_config).isFile()),
        line(QStringLiteral("Sensor catalogue"), m_catalogue, QFileInfo(m_catalogue).isFile()),
        line(QStringLiteral("Icons"), m_iconFolder, QFileInfo(m_iconFolder).isDir()),
        line(QStringLiteral("Sensor list snapshot"), m_snapshot, true),
        QStringLiteral("Working folder: %1")
            .arg(m_working.isEmpty() ? QDir::currentPath() : QDir(m_working).absolutePath()),
    };
}

const FileLocations &FileLocations::current()
{
    return g_current;
}

void FileLocations::use(const FileLocations &locations)
{
    g_current = locations;
}
