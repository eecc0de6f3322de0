// A private PostgreSQL server for the history's tests: a cluster made in a
// temporary folder and served on a loopback port, started and stopped by
// the test itself. PostgreSQL refuses to run as root, and the tests run as
// root in CI, so the cluster then belongs to the account nobody and its
// programs are started through runuser. Anything that goes wrong raises:
// a test that needs the server fails loudly, it never skips.
#pragma once

#include <unistd.h>
#include <QDir>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>
#include <stdexcept>

namespace pgtest {

class TPgServer {
  public:
    // `durable`: each commit on the disk as a lab's server has it (the
    // tests do without, for speed).
    explicit TPgServer(bool durable = false) : FDurable(durable) {
        FBin = FindBin();
        if (!FDir.isValid())
            throw std::runtime_error("no temporary folder for the PostgreSQL cluster");
        FData = FDir.filePath("data");
        if (getuid() == 0) {
            // nobody must reach the cluster's folder through its parents.
            QFile::setPermissions(FDir.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                   QFileDevice::ExeOwner | QFileDevice::ExeOther |
                                                   QFileDevice::ReadOther);
            Run("chown", {"nobody", FDir.path()}, false);
        }
        Run(FBin + "/initdb",
            {"-D", FData, "-A", "trust", "-U", "vapcal", "--no-sync", "-E", "UTF8"});
        for (int attempt = 0; attempt < 20; ++attempt) {
            FPort = 20000 + static_cast<int>((getpid() * 7 + attempt * 131) % 30000);
            if (TryStart())
                break;
            FPort = 0;
        }
        if (FPort == 0)
            throw std::runtime_error("the PostgreSQL server would not start: " + FLastOutput);
        Run(FBin + "/createdb",
            {"-h", "127.0.0.1", "-p", QString::number(FPort), "-U", "vapcal", "history"});
    }
    ~TPgServer() {
        try {
            Stop();
        } catch (...) {
        }
    }
    TPgServer(const TPgServer&) = delete;
    TPgServer& operator=(const TPgServer&) = delete;

    QString Url() const {
        return QString("postgresql://vapcal@127.0.0.1:%1/history?sslmode=disable").arg(FPort);
    }
    // A fresh empty database on the same server.
    QString NewDatabase(const QString& name) {
        Run(FBin + "/createdb",
            {"-h", "127.0.0.1", "-p", QString::number(FPort), "-U", "vapcal", name});
        return QString("postgresql://vapcal@127.0.0.1:%1/%2").arg(FPort).arg(name);
    }
    void Stop() {
        if (FRunning)
            Run(FBin + "/pg_ctl", {"-D", FData, "-m", "fast", "-w", "stop"});
        FRunning = false;
    }
    void Start() {
        if (!TryStart())
            throw std::runtime_error("the PostgreSQL server would not start again: " + FLastOutput);
    }

  private:
    static QString FindBin() {
        const QStringList versions =
            QDir("/usr/lib/postgresql").entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
        for (qsizetype i = versions.size() - 1; i >= 0; --i) {
            const QString bin = "/usr/lib/postgresql/" + versions[i] + "/bin";
            if (QFile::exists(bin + "/initdb"))
                return bin;
        }
        throw std::runtime_error(
            "PostgreSQL's server is not installed (Debian: postgresql; scripts/setup installs it)");
    }

    bool TryStart() {
        const QString options = QString("-p %1 -c listen_addresses=127.0.0.1 -k %2 -c fsync=off")
                                    .arg(FPort)
                                    .arg(FDir.path());
        FRunning = Run(
            FBin + "/pg_ctl",
            {"-D", FData, "-l", FDir.filePath("server.log"), "-o", options, "-w", "start"}, false);
        return FRunning;
    }

    // Runs a PostgreSQL program, as nobody when the tests run as root.
    bool Run(const QString& program, const QStringList& arguments, bool mustSucceed = true) {
        QProcess process;
        process.setProcessChannelMode(QProcess::MergedChannels);
        if (getuid() == 0 && program != "chown")
            process.start("runuser", QStringList{"-u", "nobody", "--", program} + arguments);
        else
            process.start(program, arguments);
        const bool finished = process.waitForFinished(120000);
        FLastOutput = process.readAll().toStdString();
        const bool ok =
            finished && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
        if (!ok && mustSucceed)
            throw std::runtime_error(program.toStdString() + " failed: " + FLastOutput);
        return ok;
    }

    bool FDurable = false;
    QTemporaryDir FDir;
    QString FBin;
    QString FData;
    int FPort = 0;
    bool FRunning = false;
    std::string FLastOutput;
};

}  // namespace pgtest
