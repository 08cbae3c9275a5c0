#pragma once

#include <QString>
#include <QStringList>

// Where the program and the collector find the files they read and write. A working folder
// that holds config.ini or sensor.ini is used as it always was: its config.ini (read and
// written there), its sensor.ini, its icon/ and, for what the program writes, the folder
// itself. A program started anywhere else (an installed one from the desktop menu, say) keeps
// its config.ini and export.ini in a folder of the user's, writes its data files into another,
// and reads the catalogue and the icons that were installed beside it. Each file still comes
// from the working folder when it is there.
class FileLocations
{
public:
    // The folders a choice is made from. An empty `working` means the process's current
    // folder, named by relative paths ("config.ini"), as the program always named it.
    struct Folders {
        QString working;
        QString data;     // installed, read-only: sensor.ini, icon/, scenarios/
        QString settings; // the user's: config.ini, export.ini, an own sensor.ini if wanted
        QString output;   // the user's: default folder of the data files
    };

    static constexpr const char *ConfigName = "config.ini";
    static constexpr const char *CatalogueName = "sensor.ini";
    static constexpr const char *IconFolderName = "icon";
    static constexpr const char *SnapshotName = "export.ini";

    // Everything in the current folder by relative names, whatever is there: what the
    // libraries use until a front end chooses, and so what tests get.
    FileLocations();

    // The choice for `folders`, from what exists there now.
    static FileLocations resolve(const Folders &folders);
    // The folders of the running executable: the data installed at <bin>/../share/tessaran
    // (relative, so that a moved install tree still finds it) and the user's XDG folders
    // ($XDG_CONFIG_HOME/tessaran, $XDG_DATA_HOME/tessaran).
    static Folders applicationFolders();

    // Paths as they are opened (relative to the current folder when they come from it).
    const QString &config() const { return m_config; }
    const QString &catalogue() const { return m_catalogue; }
    const QString &iconFolder() const { return m_iconFolder; }
    QString icon(const QString &fileName) const;
    const QString &snapshot() const { return m_snapshot; }
    // Where data files go until the operator chooses a folder.
    QString outputFolder() const;
    // True when config.ini and what the program writes stay in the working folder.
    bool inWorkingFolder() const { return m_inWorkingFolder; }

    // Makes the folders the program writes into, when they are not the working folder, and
    // keeps a line for each one that is missing or cannot be written, and for a catalogue
    // found nowhere. Nothing is refused: a setting that cannot be saved is told when it is.
    void prepare();
    const QStringList &problems() const { return m_problems; }

    // The files in use, one "what: absolute path" line each, a missing one marked so.
    QStringList describe() const;

    // The choice the program runs with; FileLocations() until use() names another.
    static const FileLocations &current();
    static void use(const FileLocations &locations);

private:
    QString m_working;
    QString m_config;
    QString m_catalogue;
    QString m_iconFolder;
    QString m_snapshot;
    QString m_output; // empty: the current folder
    QStringList m_catalogueTried;
    bool m_inWorkingFolder = true;
    QStringList m_problems;
};
