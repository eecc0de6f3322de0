// vapcal-report: the report of a calibration run, made from its run folder.
#include "report/report.h"
#include "report/verify.h"
#include "tools/reportmessages.h"

#include <QApplication>
#include <cstdio>
#include <optional>

namespace {

constexpr int kExitReport = 1;
constexpr int kExitUsage = 64;

struct TReportCommand {
    QString Folder;
    report::TReportOptions Options;
    bool Verify = false;
    QString VerifyPdf;  // the report whose printed hashes --verify compares
};

void Say(const QString& line) {
    std::fprintf(stderr, "%s\n", line.toLocal8Bit().constData());
}

// The command's arguments, checked before anything is read; std::nullopt
// after the one line that says what is wrong.
std::optional<TReportCommand> ReadArguments(const QStringList& arguments, bool& help) {
    TReportCommand command;
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString& argument = arguments[i];
        if (argument == "-h" || argument == "--help") {
            help = true;
            return command;
        }
        if (argument == "-o" || argument == "--operator" || argument == "--approve") {
            if (i + 1 >= arguments.size()) {
                Say(QString(tools::kReportMissingValue).arg(argument));
                return std::nullopt;
            }
            QString& value = argument == "-o"           ? command.Options.PdfPath
                             : argument == "--operator" ? command.Options.Operator
                                                        : command.Options.ApproveAs;
            value = arguments[++i];
            if (argument == "--approve" && value.trimmed().isEmpty()) {
                Say(tools::kReportEmptyApprover);
                return std::nullopt;
            }
        } else if (argument == "--all-budgets") {
            command.Options.AllBudgets = true;
        } else if (argument == "--verify") {
            command.Verify = true;
        } else if (command.Verify && !command.Folder.isEmpty() && command.VerifyPdf.isEmpty() &&
                   !argument.startsWith('-')) {
            command.VerifyPdf = argument;
        } else if (argument.startsWith('-') && argument != "-") {
            Say(QString(tools::kReportUnknownOption).arg(argument));
            return std::nullopt;
        } else if (!command.Folder.isEmpty()) {
            Say(QString(tools::kReportTwoFolders).arg(argument));
            return std::nullopt;
        } else {
            command.Folder = argument;
        }
    }
    if (command.Folder.isEmpty()) {
        Say(tools::kReportNoFolder);
        return std::nullopt;
    }
    if (command.Verify &&
        (!command.Options.PdfPath.isEmpty() || !command.Options.Operator.isEmpty() ||
         command.Options.AllBudgets || !command.Options.ApproveAs.isEmpty())) {
        Say(tools::kReportVerifyArguments);
        return std::nullopt;
    }
    return command;
}

// Qt's own notes (a missing runtime folder, a font substituted) are no
// concern of whoever reads the report's one line; its errors still show.
void OnlyQtErrors(QtMsgType type, const QMessageLogContext&, const QString& message) {
    if (type == QtCriticalMsg || type == QtFatalMsg)
        Say(message);
}

}  // namespace

int main(int argc, char** argv) {
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    bool help = false;
    const std::optional<TReportCommand> command = ReadArguments(arguments, help);
    if (help) {
        std::fputs(tools::kReportUsage, stdout);
        return 0;
    }
    if (!command)
        return kExitUsage;
    if (command->Verify) {
        QCoreApplication application(argc, argv);
        try {
            const report::TVerification verdict =
                report::VerifyRunFolder(command->Folder, command->VerifyPdf);
            if (!verdict.Agrees) {
                Say(QString(tools::kReportFailed).arg(verdict.Says));
                return kExitReport;
            }
            std::fputs(QString(tools::kReportVerified).arg(verdict.Says).toLocal8Bit().constData(),
                       stdout);
            return 0;
        } catch (const report::EReportError& error) {
            Say(QString(tools::kReportFailed).arg(QString::fromStdString(error.what())));
            return kExitReport;
        }
    }

    // The report never shows a window: the offscreen platform draws its
    // charts on a machine with no display too.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    qInstallMessageHandler(OnlyQtErrors);
    QApplication application(argc, argv);
    try {
        const report::TRunFolder folder = report::ReadRunFolder(command->Folder);
        const report::TReportFiles files = report::WriteReport(folder, command->Options);
        std::fputs(
            QString(tools::kReportWritten).arg(files.Pdf, files.Csv).toLocal8Bit().constData(),
            stdout);
        return 0;
    } catch (const report::EReportError& error) {
        Say(QString(tools::kReportFailed).arg(QString::fromStdString(error.what())));
        return kExitReport;
    }
}
