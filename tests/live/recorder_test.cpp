#include "live/recorder.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QFile>
#include <QTemporaryDir>
#include <QTimeZone>
#include <cerrno>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "live/messages.h"
#include "livepoll.h"
#include "platform/numtext.h"

namespace {

using live::TRecorder;

live::TLiveSample Sample(qint64 ms) {
    live::TLiveSample s;
    s.Ms = ms;
    s.When = PollTime(ms);
    s.Temp = 40.1;
    s.Flow = 6.0125;
    s.DilutionFlow = 9.99375;
    s.Targets = ExampleTargets();
    s.Delivered = 40.28;
    return s;
}

std::vector<std::string> Lines(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const std::string all = file.readAll().toStdString();
    std::vector<std::string> lines;
    std::size_t begin = 0;
    for (std::size_t end; (end = all.find("\r\n", begin)) != std::string::npos; begin = end + 2)
        lines.push_back(all.substr(begin, end - begin));
    if (begin != all.size())
        lines.push_back("torn: " + all.substr(begin));
    return lines;
}

std::string ReadAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll().toStdString() : std::string();
}

class RecorderTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(dir.isValid()); }
    QTemporaryDir dir;
    QString path = dir.filePath("record.csv");
};

TEST_F(RecorderTest, WritesTheHeaderOnceAndLinesWithAPointAndQuotesWhatNeedsThem) {
    platform::FormatSettings() = {',', '.'};  // the operator's locale does not reach the file
    {
        TRecorder recorder;
        recorder.Start(path);
        live::TLiveSample s = Sample(250);
        s.Targets.FlowSP = live::kUnknown;
        ASSERT_TRUE(recorder.Write(s, "Settling: temperature, concentration off"));
    }
    TRecorder again;
    again.CoverageFactor = 3;  // named by the header of a new file only
    again.Start(path);         // an old record goes on, without a second header
    live::TLiveSample withU = Sample(1250);
    withU.DeliveredStandardU = 0.47657;
    ASSERT_TRUE(again.Write(withU, "Stable for \"12\" min"));
    platform::FormatSettings() = {'.', ','};
    EXPECT_EQ(Lines(path),
              (std::vector<std::string>{
                  live::RecordHeader(2),
                  "2026-12-07T14:00:00.250+01:00,40.10,6.0125,9.9938,40.00,,10.0000,40.28,40.02,"
                  "\"Settling: temperature, concentration off\",",
                  "2026-12-07T14:00:01.250+01:00,40.10,6.0125,9.9938,40.00,6.0000,10.0000,40.28,"
                  "40.02,\"Stable for \"\"12\"\" min\",1.430"}));
    EXPECT_EQ(live::RecordHeader(2.5).substr(live::RecordHeader(2.5).rfind(",stability,")),
              ",stability,expanded uncertainty of the delivered concentration k = 2.5 (ng/l)");
}

TEST_F(RecorderTest, LocalTimeCarriesItsOffsetWestAndEastOfUtc) {
    const QDateTime when(QDate(2026, 3, 1), QTime(9, 5, 7, 40));
    EXPECT_EQ(live::IsoLocalTime(when.toTimeZone(QTimeZone(-(5 * 3600 + 1800)))),
              "2026-03-01T03:35:07.040-05:30");
    EXPECT_EQ(live::IsoLocalTime(QDateTime(QDate(2026, 3, 1), QTime(9, 5), QTimeZone(0))),
              "2026-03-01T09:05:00.000+00:00");
}

// The writer is killed between polls: every line it wrote is in the file,
// whole.
TEST_F(RecorderTest, LinesWrittenSurviveTheWriterBeingKilled) {
    int acks[2];
    ASSERT_EQ(pipe(acks), 0);
    const pid_t writer = fork();
    if (writer == 0) {
        TRecorder recorder;
        recorder.Start(path);
        for (qint64 poll = 0;; ++poll) {
            if (!recorder.Write(Sample(poll * 1000), "Settling"))
                _exit(1);
            char ack = 'w';
            if (write(acks[1], &ack, 1) != 1)
                _exit(1);
        }
    }
    close(acks[1]);
    int written = 0;
    for (char ack; written < 5 && read(acks[0], &ack, 1) == 1;)
        ++written;
    kill(writer, SIGKILL);
    int status = 0;
    waitpid(writer, &status, 0);
    for (char ack; read(acks[0], &ack, 1) == 1;)
        ++written;  // lines acknowledged before the signal landed
    close(acks[0]);
    ASSERT_TRUE(WIFSIGNALED(status));

    const std::vector<std::string> lines = Lines(path);
    ASSERT_GE(lines.size(), static_cast<std::size_t>(written) + 1);
    ASSERT_LE(lines.size(), static_cast<std::size_t>(written) + 2);  // and the line in hand
    EXPECT_EQ(lines[0], live::RecordHeader(2));
    for (std::size_t i = 1; i < lines.size(); ++i)
        EXPECT_EQ(lines[i],
                  live::RecordLine(Sample((static_cast<qint64>(i) - 1) * 1000), "Settling", 2));
}

// The file grows past what the system lets it: the recording stops with
// the message, the file keeps its whole lines, and the polls go on.
TEST_F(RecorderTest, ARefusedLineStopsTheRecordingButNotThePolls) {
    live::TKitMonitor monitor(600000, 1000);
    monitor.Targets = ExampleTargets;
    std::vector<std::string> stopped;
    monitor.OnRecordingStopped = [&](const std::string& message) { stopped.push_back(message); };
    int samples = 0;
    monitor.OnSample = [&](const live::TLiveSample&) { ++samples; };
    std::string onDisk;
    monitor.Recorder().Sync = [&](int) {
        onDisk = ReadAll(path);
        return 0;
    };
    monitor.Recorder().Start(path);
    Poll(monitor, 0, 40, 6, 10);

    rlimit previous{};
    getrlimit(RLIMIT_FSIZE, &previous);
    const auto previousSignal = signal(SIGXFSZ, SIG_IGN);
    rlimit limit = previous;
    limit.rlim_cur = static_cast<rlim_t>(QFile(path).size() + 150);
    setrlimit(RLIMIT_FSIZE, &limit);
    for (qint64 ms = 1000; ms <= 5000; ms += 1000)
        Poll(monitor, ms, 40, 6, 10);
    setrlimit(RLIMIT_FSIZE, &previous);
    signal(SIGXFSZ, previousSignal);

    EXPECT_EQ(samples, 6);
    EXPECT_FALSE(monitor.Recorder().Recording());
    ASSERT_EQ(stopped.size(), 1u);
    EXPECT_EQ(stopped[0].rfind("Recording to " + path.toStdString() + " stopped: ", 0), 0u)
        << stopped[0];
    const std::vector<std::string> lines = Lines(path);
    ASSERT_EQ(lines.size(), 3u);  // the header and the two lines that fitted
    EXPECT_EQ(lines[2].substr(0, 29), "2026-12-07T14:00:01.000+01:00");
    EXPECT_EQ(onDisk, ReadAll(path));  // and they are on the disk
}

// What a power cut leaves: the disk holds the file as it was at the last
// sync. A console that polls every 500 ms, cut at any moment, has lost no
// line older than 10 s; a stop puts every line on the disk.
TEST_F(RecorderTest, APowerCutLosesAtMostTheLastTenSeconds) {
    qint64 now = 0;
    std::string onDisk;
    int syncs = 0;
    TRecorder recorder;
    recorder.Clock = [&] { return now; };
    recorder.Sync = [&](int) {
        ++syncs;
        onDisk = ReadAll(path);
        return 0;
    };
    recorder.Start(path);
    EXPECT_EQ(onDisk, live::RecordHeader(2) + "\r\n");
    std::vector<std::pair<qint64, std::string>> written;  // each line, when it was written
    for (now = 0; now <= 60000; now += 500) {
        const std::string line = live::RecordLine(Sample(now), "Settling", 2);
        ASSERT_TRUE(recorder.Write(Sample(now), "Settling"));
        written.emplace_back(now, line);
        for (const auto& [when, text] : written) {
            if (when <= now - TRecorder::kSyncPeriodMs) {
                ASSERT_NE(onDisk.find(text), std::string::npos) << "at " << now << ": " << when;
            }
        }
    }
    EXPECT_LE(syncs, 1 + 60000 / TRecorder::kSyncPeriodMs);

    // The poll stops: the lines in hand still reach the disk within 10 s.
    const std::string lastLine = written.back().second;
    ASSERT_EQ(onDisk.find(lastLine), std::string::npos);
    now += TRecorder::kSyncPeriodMs;
    EXPECT_TRUE(recorder.SyncIfDue());
    EXPECT_NE(onDisk.find(lastLine), std::string::npos);

    ASSERT_TRUE(recorder.Write(Sample(now), "Stable for 1 min"));
    recorder.Stop();
    EXPECT_EQ(onDisk, ReadAll(path));
}

// A disk that refuses to keep the lines (full, or failing) stops the
// recording with the system's reason; the monitor's polls go on.
TEST_F(RecorderTest, ADiskThatRefusesTheSyncStopsTheRecordingButNotThePolls) {
    live::TKitMonitor monitor(600000, 1000);
    monitor.Targets = ExampleTargets;
    std::vector<std::string> stopped;
    monitor.OnRecordingStopped = [&](const std::string& message) { stopped.push_back(message); };
    int samples = 0;
    monitor.OnSample = [&](const live::TLiveSample&) { ++samples; };
    qint64 now = 0;
    bool full = false;
    monitor.Recorder().Clock = [&] { return now; };
    monitor.Recorder().Sync = [&](int) {
        errno = ENOSPC;
        return full ? -1 : 0;
    };
    monitor.Recorder().Start(path);
    full = true;
    for (now = 0; now <= 30000; now += 1000)
        Poll(monitor, now, 40, 6, 10);

    EXPECT_EQ(samples, 31);
    EXPECT_FALSE(monitor.Recorder().Recording());
    ASSERT_EQ(stopped.size(), 1u);
    EXPECT_EQ(stopped[0],
              "Recording to " + path.toStdString() + " stopped: " + std::strerror(ENOSPC));
}

TEST_F(RecorderTest, AFileThatCannotBeOpenedIsNamedInTheError) {
    TRecorder recorder;
    try {
        recorder.Start(dir.path());
        FAIL() << "a folder opened for recording";
    } catch (const live::ERecordError& e) {
        EXPECT_EQ(
            std::string(e.what()).rfind("Cannot record to " + dir.path().toStdString() + ": ", 0),
            0u)
            << e.what();
    }
    EXPECT_FALSE(recorder.Recording());
}

}  // namespace
