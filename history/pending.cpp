#include "history/pending.h"

#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <QSysInfo>

#include "calc/settings.h"
#include "history/messages.h"
#include "platform/inifile.h"

namespace history {

namespace {

QString MarkPath(const QString& folder) {
    return QDir(folder).filePath(kPendingFile);
}

}  // namespace

bool IsPending(const QString& folder) {
    return QFile::exists(MarkPath(folder));
}

bool MarkPending(const QString& folder, const QString& database, const QString& reason) {
    QSaveFile file(MarkPath(folder));
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write(QString(kPendingText).arg(database, reason).toUtf8());
    return file.commit();
}

void ClearPending(const QString& folder) {
    QFile::remove(MarkPath(folder));
}

QStringList PendingFolders(const QString& runsFolder) {
    QStringList folders;
    const QDir runs(runsFolder);
    for (const QString& name : runs.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name))
        if (IsPending(runs.filePath(name)))
            folders << runs.filePath(name);
    return folders;
}

QString HistoryDatabaseSetting(const std::string& settingsFile) {
    const platform::TIniFile ini(settingsFile);
    return QString::fromStdString(ini.ReadString(calc::kSettingsSection, kHistoryDatabaseKey, ""));
}

TImportContext DefaultImportContext(const std::string& settingsFile) {
    const platform::TIniFile ini(settingsFile);
    return {QString::fromStdString(ini.ReadString("Laboratory", "Name", "")),
            QSysInfo::machineHostName()};
}

TWriteOutcome WriteFinishedRun(const QString& folder, THistoryDatabase& database,
                               const TImportContext& context) {
    TWriteOutcome outcome;
    try {
        outcome.Added = database.Import(ReadRunFolder(folder, context));
        outcome.Written = true;
        ClearPending(folder);
    } catch (const std::exception& e) {
        outcome.Error = QString::fromStdString(e.what());
        MarkPending(folder, database.Location().Text, outcome.Error);
    }
    return outcome;
}

TWriteOutcome WriteFinishedRun(const QString& folder, const THistoryLocation& location,
                               const TImportContext& context) {
    // Marked first: a write cut short by a power cut still leaves the mark.
    if (!IsPending(folder))
        MarkPending(folder, location.Text, "writing");
    try {
        THistoryDatabase database(location);
        return WriteFinishedRun(folder, database, context);
    } catch (const std::exception& e) {
        TWriteOutcome outcome;
        outcome.Error = QString::fromStdString(e.what());
        MarkPending(folder, location.Text, outcome.Error);
        return outcome;
    }
}

TSyncOutcome SyncPending(THistoryDatabase& database, const QStringList& runsFolders,
                         const TImportContext& context) {
    TSyncOutcome sync;
    for (const QString& runs : runsFolders)
        for (const QString& folder : PendingFolders(runs)) {
            const TWriteOutcome outcome = WriteFinishedRun(folder, database, context);
            if (!outcome.Written)
                sync.Failed << folder + ": " + outcome.Error;
            else if (outcome.Added)
                ++sync.Added;
            else
                ++sync.AlreadyThere;
        }
    return sync;
}

}  // namespace history
