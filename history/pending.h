// A finished run's way into the history: the run folder is marked "not yet
// in the history" before the write and the mark goes when the run is in, so
// a database that is away, a full disk or a power cut during the write
// leaves a mark that the next run's end, the console's start or
// `vapcal-history sync` finds and writes.
#pragma once

#include <QString>
#include <QStringList>
#include <string>

#include "history/database.h"
#include "history/runrecord.h"

namespace history {

bool IsPending(const QString& folder);
// False when the mark cannot be written (the folder refuses it).
bool MarkPending(const QString& folder, const QString& database, const QString& reason);
void ClearPending(const QString& folder);

// The run folders directly below `runsFolder` that carry the mark.
QStringList PendingFolders(const QString& runsFolder);

// Vapcal.ini's HistoryDatabase= in [Vapcal] (empty: the default SQLite
// file) and the lab's name, [Laboratory] Name.
inline constexpr const char* kHistoryDatabaseKey = "HistoryDatabase";
QString HistoryDatabaseSetting(const std::string& settingsFile);
// The lab from the settings and the PC's own name as the kit, for a run
// whose results name neither.
TImportContext DefaultImportContext(const std::string& settingsFile);

struct TWriteOutcome {
    bool Written = false;  // in the history now (added, or there already)
    bool Added = false;
    QString Error;  // why not, when not
};
// The finished run in `folder` written into the history; never raises. On
// failure the folder keeps its mark.
TWriteOutcome WriteFinishedRun(const QString& folder, const THistoryLocation& location,
                               const TImportContext& context);
// The same through a database already open.
TWriteOutcome WriteFinishedRun(const QString& folder, THistoryDatabase& database,
                               const TImportContext& context);

struct TSyncOutcome {
    int Added = 0;
    int AlreadyThere = 0;
    QStringList Failed;  // "FOLDER: why"
};
// Every marked folder below each of `runsFolders` written into `database`.
TSyncOutcome SyncPending(THistoryDatabase& database, const QStringList& runsFolders,
                         const TImportContext& context);

}  // namespace history
