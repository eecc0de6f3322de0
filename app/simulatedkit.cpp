#include "app/simulatedkit.h"

#include <signal.h>
#include <sys/prctl.h>

#include <QDeadlineTimer>
#include <QFileInfo>
#include <cstdio>

#include "app/messages.h"
#include "platform/filltext.h"

namespace app {

namespace {

constexpr char kProgramName[] = "vapcal-sim";
constexpr int kStopWaitMs = 3000;

bool IsExecutableFile(const QString& path) {
    const QFileInfo info(path);
    return info.isFile() && info.isExecutable();
}

}  // namespace

std::string LocateSimulatedKit(const std::string& programDir) {
    const QString dir = QString::fromStdString(programDir);
    for (const QString& candidate : {dir + "/" + kProgramName, dir + "/../sim/" + kProgramName}) {
        if (IsExecutableFile(candidate))
            return QFileInfo(candidate).canonicalFilePath().toStdString();
    }
    throw ESimulatedKitError(platform::FillText(kSimNotFound, {programDir}));
}

TSimulatedKit::TSimulatedKit(const std::string& program, const QStringList& options,
                             int timeoutMs) {
    // The kit's complaints reach the operator's terminal as they are.
    FProcess.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    // A console that is killed cannot stop its kit: the kit then ends with it.
    FProcess.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGTERM); });
    FProcess.start(QString::fromStdString(program), options, QIODevice::ReadOnly);
    if (!FProcess.waitForStarted(timeoutMs))
        throw ESimulatedKitError(
            platform::FillText(kSimNotStarted, {FProcess.errorString().toStdString()}));

    const QDeadlineTimer deadline(timeoutMs);
    while (!FProcess.canReadLine()) {
        if (deadline.hasExpired() || FProcess.state() != QProcess::Running ||
            !FProcess.waitForReadyRead(static_cast<int>(deadline.remainingTime()))) {
            if (FProcess.canReadLine())
                break;
            throw ESimulatedKitError(platform::FillText(kSimNoPort, {program}));
        }
    }
    FPort = FProcess.readLine().trimmed().toStdString();
    if (FPort.empty())
        throw ESimulatedKitError(platform::FillText(kSimNoPort, {program}));
    QObject::connect(&FProcess, &QProcess::readyReadStandardOutput, [this] { ReadLines(); });
}

TSimulatedKit::~TSimulatedKit() {
    FProcess.disconnect();
    if (FProcess.state() == QProcess::NotRunning)
        return;
    FProcess.terminate();
    if (!FProcess.waitForFinished(kStopWaitMs)) {
        FProcess.kill();
        FProcess.waitForFinished(kStopWaitMs);
    }
}

void TSimulatedKit::ReadLines() {
    while (FProcess.canReadLine()) {
        const std::string line = FProcess.readLine().trimmed().toStdString();
        if (OnLine) {
            OnLine(line);
        } else {
            std::fputs((line + "\n").c_str(), stdout);
            std::fflush(stdout);
        }
    }
}

}  // namespace app
