// The console against the simulated kit, end to end: a real vapcal-sim on a
// pseudo-terminal, the window on the offscreen platform, the port dialog
// answered through the window's dialog hook.
#include <modbus.h>
// libmodbus first: its system headers come before Qt's macros.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineSeries>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "../sim/simprocess.h"
#include "app/comselect.h"
#include "app/dahsfeed.h"
#include "app/livedisplay.h"
#include "app/mainwindow.h"
#include "app/runwindow.h"
#include "app/trendpage.h"
#include "kit/threadedtimer.h"
#include "live/messages.h"
#include "live/recorder.h"
#include "modbus/client.h"
#include "modbus/connection.h"
#include "panels/cal3300rs485.h"
#include "panels/elflowmfc.h"
#include "platform/msgsink.h"
#include "platform/numtext.h"
#include "run/plan.h"
#include "run/runfolder.h"
#include "testapp.h"

namespace {

using app::TfrmVapcalCalc;

double ProcessCpuMs() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

bool Contains(const std::vector<std::string>& lines, const std::string& text) {
    return std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
        return line.find(text) != std::string::npos;
    });
}

// The record's lines, without their CRLF ends.
QStringList RecordLines(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QStringList lines = QString::fromUtf8(file.readAll()).split("\r\n");
    if (!lines.isEmpty() && lines.back().isEmpty())
        lines.pop_back();
    return lines;
}

class ConsoleTest : public ::testing::Test {
  protected:
    void SetUp() override {
        App();
        platform::FormatSettings() = {'.', ','};
        previousSink = platform::SetMessageSink(
            [this](const platform::TMessage& m) { messages.push_back(m); });
        ASSERT_TRUE(dir.isValid());
    }

    void TearDown() override {
        window.reset();
        kit.reset();
        app::SetSimulatedPort("");
        platform::SetMessageSink(previousSink);
    }

    // Starts the kit and the window, and chooses the kit's port in the
    // dialog at the window's first activation.
    void Connect(std::vector<std::string> options = {}) {
        options.push_back("--seed=7");
        kit = std::make_unique<TSimProcess>(options);
        ASSERT_FALSE(kit->Device.empty());
        app::SetSimulatedPort(kit->Device);
        window = std::make_unique<TfrmVapcalCalc>(dir.filePath("Vapcal.ini").toStdString());
        window->ExecPortDialog = [this](app::TfrmComSelect& dialog) {
            ++dialogs;
            return choose(dialog);
        };
        window->show();
        window->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
        ASSERT_TRUE(QTest::qWaitFor([this] { return dialogs == 1; }));
        ASSERT_TRUE(window->ModbusConnection1->Active());
        // The initial reads are answered once the temperature set point,
        // the last of them, has been read back and the panels show readings.
        ASSERT_TRUE(QTest::qWaitFor(
            [this] {
                return window->ModbusConnection1->PendingTransactions() == 0 &&
                       !window->ELflowMfcRF->Caption().isEmpty() &&
                       !window->ELflowMfcDF->Caption().isEmpty() &&
                       !window->Cal33VCtemp->Caption().isEmpty();
            },
            10000));
        QTest::qWait(400);  // the set-point read-backs behind the first poll
    }

    void Type(QWidget* field, const char* text) {
        field->setFocus(Qt::TabFocusReason);
        QTest::keyClicks(field, text);
        QTest::keyClick(field, Qt::Key_Tab);
    }

    void Apply() { QTest::mouseClick(window->btnApply, Qt::LeftButton); }

    std::function<int(app::TfrmComSelect&)> choose = [](app::TfrmComSelect& dialog) {
        return dialog.PortsComboBox->count() > 0 ? app::mrOk : app::mrCancel;
    };
    int dialogs = 0;
    QTemporaryDir dir;
    std::unique_ptr<TSimProcess> kit;
    std::unique_ptr<TfrmVapcalCalc> window;
    std::vector<platform::TMessage> messages;
    platform::TMessageSink previousSink;
};

TEST_F(ConsoleTest, OkOnTheKitsPortReadsTheInstrumentsAndPolls) {
    Connect();
    EXPECT_TRUE(window->PortConfirmed);
    EXPECT_EQ(window->ModbusConnection1->Port(), kit->Device);
    EXPECT_EQ(window->lblRflow->text(),
              app::ShownCaption("Reservoir Flow 20(mln min\u00AD\u00B9)"));
    EXPECT_EQ(window->lblDflow->text(),
              app::ShownCaption("    Dilution Flow 20(ln min\u00AD\u00B9)"));
    EXPECT_EQ(window->edtFlow->BoundUpper(), 20);
    EXPECT_EQ(window->edtDilutionFlow->BoundUpper(), 20);
    EXPECT_EQ(window->edtTemp->BoundUpper(), 60);
    EXPECT_EQ(window->edtTemp->BoundLower(), 30);
    EXPECT_EQ(window->LastFlowSP, 6);
    EXPECT_EQ(window->LastDilutionFlowSP, 10);
    EXPECT_EQ(window->LastTempSP, 40);
    EXPECT_NEAR(window->ELflowMfcRF->Value(), 6.0, 0.01);
    EXPECT_NEAR(window->ELflowMfcDF->Value(), 10.0, 0.01);
    EXPECT_EQ(window->ELflowMfcDF->OnColor(), QColor(0, 255, 0));
    EXPECT_TRUE(window->SW_VCtimer->Enabled());
    EXPECT_TRUE(window->btnRefresh->isEnabled());
    EXPECT_TRUE(Contains(kit->TakeLines(), "server 10: register 34 := 400"));

    // The poll goes on: a fresh temperature reading replaces a blanked one.
    window->Cal33VCtemp->SetCaption("");
    ASSERT_TRUE(QTest::qWaitFor([this] { return !window->Cal33VCtemp->Caption().isEmpty(); }));
    EXPECT_EQ(window->Cal33VCtemp->Caption(), "40.0");

    // Refresh reads everything again in its groups and resumes the poll.
    window->LastFlowSP = 1;
    window->lblRflow->setText("");
    QTest::mouseClick(window->btnRefresh, Qt::LeftButton);
    EXPECT_EQ(window->LastFlowSP, 6);
    EXPECT_FALSE(window->lblRflow->text().isEmpty());
    EXPECT_TRUE(window->SW_VCtimer->Enabled());
    EXPECT_TRUE(window->btnRefresh->isEnabled());
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    EXPECT_TRUE(messages.empty());
}

TEST_F(ConsoleTest, ApplyWritesOnlyChangedSetPointsAndTheTemperatureBetweenTheHandshake) {
    Connect();
    kit->TakeLines();
    // Apply as after a change that moved no set point (the saturator
    // conditions, say).
    ASSERT_FALSE(window->btnApply->isEnabled());
    window->btnApply->setEnabled(true);
    Apply();
    EXPECT_TRUE(window->btnApply->isEnabled());
    QTest::qWait(200);
    EXPECT_TRUE(kit->TakeLines().empty()) << "an unchanged Apply wrote a set point";
    EXPECT_TRUE(QFile::exists(dir.filePath("Vapcal.ini")));
    EXPECT_TRUE(window->SW_VCtimer->Enabled());

    Type(window->edtTemp, "45.5");
    ASSERT_TRUE(window->btnApply->isEnabled());
    Apply();
    const std::vector<std::string> expected = {
        "server 20: register 768 := 5", "server 20: register 5376 := 0",
        "server 20: register 127 := 455", "server 20: register 768 := 6",
        "server 20: register 5632 := 0"};
    // The kit's log lines may trail the writes on a loaded machine.
    std::vector<std::string> written;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            for (std::string& line : kit->TakeLines())
                written.push_back(std::move(line));
            return written.size() >= expected.size();
        },
        10000))
        << written.size();
    EXPECT_EQ(written, expected);
    EXPECT_EQ(window->LastTempSP, 45.5L);
    EXPECT_TRUE(window->SW_VCtimer->Enabled());
    EXPECT_TRUE(window->btnApply->isEnabled());
    EXPECT_TRUE(messages.empty());
}

// What the kit cannot take never leaves the console as something else: a
// flow above the controller's capacity stops Apply at its field (Enter, or
// a click after the bounds message), and a temperature the controller
// refuses is reported and written again by the next Apply.
TEST_F(ConsoleTest, ApplyStopsAtAFieldOutOfBoundsAndReportsARefusedTemperature) {
    Connect();
    kit->TakeLines();
    window->btnApply->setEnabled(true);  // as after a change of another field
    window->edtFlow->setFocus(Qt::TabFocusReason);
    QTest::keyClicks(window->edtFlow, "50");
    QTest::keyClick(window->edtFlow, Qt::Key_Return);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].Text, "Your entered Value is above the acceptable limit of 20.0");
    EXPECT_TRUE(window->edtFlow->hasFocus());
    // The click that follows the field's own bounds message on leaving it.
    QTest::mouseClick(window->btnApply, Qt::LeftButton);
    EXPECT_GE(messages.size(), 2u);
    for (const platform::TMessage& m : messages)
        EXPECT_EQ(m.Text, "Your entered Value is above the acceptable limit of 20.0");
    QTest::qWait(300);
    EXPECT_TRUE(kit->TakeLines().empty());
    EXPECT_FALSE(QFile::exists(dir.filePath("Vapcal.ini")));
    EXPECT_EQ(window->LastFlowSP, 6);
    EXPECT_TRUE(window->SW_VCtimer->Enabled());

    // The controller's limits were narrowed on its own keys after the
    // console read them: the field takes 75, the controller does not.
    messages.clear();
    window->edtFlow->SetText("6");
    window->edtTemp->SetBoundUpper(80);
    Type(window->edtTemp, "75");
    for (int apply = 0; apply < 2; ++apply) {
        SCOPED_TRACE(apply);
        ASSERT_TRUE(window->btnApply->isEnabled());
        Apply();
        ASSERT_EQ(messages.size(), 1u);
        EXPECT_EQ(messages[0].Text,
                  "The temperature controller refused the set point 75 (register 127 := 750); "
                  "the next Apply writes it again");
        EXPECT_EQ(window->LastTempSP, 40);
        const std::vector<std::string> handshake = {
            "server 20: register 768 := 5", "server 20: register 5376 := 0",
            "server 20: register 768 := 6", "server 20: register 5632 := 0"};
        QTest::qWait(200);
        EXPECT_EQ(kit->TakeLines(), handshake);
        messages.clear();
    }
    EXPECT_TRUE(window->SW_VCtimer->Enabled());
}

TEST_F(ConsoleTest, ApplyWithAnUndecodableCapacityShowsTheErrorAndWritesNothing) {
    Connect();
    kit->TakeLines();
    // A capacity register pair holding a not-a-number.
    regwire::TTransactionInfo info;
    info.Status = regwire::tsSuccess;
    window->mcVapcalTCHoldingRegistersRead(window->mcVapcalRF, info, 33128, 2, {0x7FC0, 0x0000});
    Type(window->edtFlow, "5");
    ASSERT_TRUE(window->btnApply->isEnabled());
    Apply();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].Caption, "Error");
    EXPECT_EQ(messages[0].Text, "Invalid floating point operation");
    QTest::qWait(300);
    EXPECT_TRUE(kit->TakeLines().empty());
    EXPECT_EQ(window->LastFlowSP, 6);  // the next Apply tries again
    EXPECT_TRUE(window->btnApply->isEnabled());
    EXPECT_TRUE(window->SW_VCtimer->Enabled());  // the poll goes on
}

TEST_F(ConsoleTest, SilentKitIsBlankedAtTheFifthUnansweredReadWithABoundedQueue) {
    Connect();
    // Watch each unanswered read of the reservoir flow: its panel keeps the
    // reading for four of them and goes blank with the fifth.
    int unanswered = 0;
    bool blankedEarly = false;
    bool blankedAtFifth = false;
    auto handler = window->mcVapcalRF->OnHoldingRegistersRead;
    window->mcVapcalRF->OnHoldingRegistersRead =
        [&](regwire::TModbusClient* sender, const regwire::TTransactionInfo& info,
            std::uint16_t start, std::uint16_t count, const regwire::TRegValues& values) {
            handler(sender, info, start, count, values);
            if (info.Status != regwire::tsNoReply)
                return;
            ++unanswered;
            const bool blank = window->ELflowMfcRF->Caption().isEmpty();
            if (unanswered < 5 && blank)
                blankedEarly = true;
            if (unanswered == 5)
                blankedAtFifth = blank;
        };
    ASSERT_EQ(window->RFTimeouts, 0);

    kit->Pause();
    // Every read now waits out its full time-out, longer than the poll's
    // period: still no more than one read per instrument is queued.
    int mostPending = 0;
    for (int i = 0; i < 30; ++i) {
        QTest::qWait(100);
        mostPending = std::max(mostPending, window->ModbusConnection1->PendingTransactions());
    }
    EXPECT_LE(mostPending, 3);

    window->ModbusConnection1->SetReceiveTimeout(100);
    ASSERT_TRUE(QTest::qWaitFor([&] { return unanswered >= 5; }, 15000));
    EXPECT_FALSE(blankedEarly);
    EXPECT_TRUE(blankedAtFifth);
    EXPECT_TRUE(messages.empty());
}

// The kit's process dies while the console polls, and its pseudo-terminal
// vanishes under the connection as a pulled adapter does. The status line
// says so at once and every reading shows as old, long before a read could
// have waited out its time-out; nothing asks the operator, and the console
// stays nearly idle while it waits for the port. An Apply meanwhile still
// saves the settings and says that nothing was sent.
TEST_F(ConsoleTest, KilledKitShowsThePortGoneAndApplyReportsNothingSent) {
    Connect();
    ASSERT_TRUE(QTest::qWaitFor([this] {
        return window->ReadingCurrent(live::inReservoirFlow) &&
               window->ReadingCurrent(live::inDilutionFlow) &&
               window->ReadingCurrent(live::inTemperature);
    }));
    EXPECT_TRUE(window->lblStatus->text().contains(" \u00B7 polling \u00B7 oldest reading "))
        << window->lblStatus->text().toStdString();
    EXPECT_FALSE(window->ELflowMfcRF->ReadingOld());

    window->ModbusConnection1->SetReceiveTimeout(4000);
    const std::string gone = "Port " + kit->Device + " gone \u00B7 waiting for it";
    kit->Stop(SIGKILL);
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            return window->lblStatus->text().startsWith(QString::fromStdString(gone)) &&
                   window->ELflowMfcRF->ReadingOld() && window->ELflowMfcDF->ReadingOld() &&
                   window->Cal33VCtemp->ReadingOld();
        },
        10000))
        << window->lblStatus->text().toStdString();
    EXPECT_FALSE(window->ModbusConnection1->Active());
    EXPECT_TRUE(messages.empty());

    // The freed terminal number goes to the next program that asks (here,
    // most likely, another simulated kit): that line is not the kit's.
    TSimProcess other({"--seed=9"});
    ASSERT_FALSE(other.Device.empty());
    QTest::qWait(1000);
    EXPECT_TRUE(window->lblStatus->text().startsWith(QString::fromStdString(gone)))
        << other.Device << ": " << window->lblStatus->text().toStdString();

    const double cpuBefore = ProcessCpuMs();
    QTest::qWait(2000);
    EXPECT_LT(ProcessCpuMs() - cpuBefore, 500.0);

    Type(window->edtFlow, "5");
    Type(window->edtTemp, "45.5");
    ASSERT_TRUE(window->btnApply->isEnabled());
    Apply();
    std::string said;
    for (const auto& message : messages)
        said += message.Text + "\n";
    ASSERT_EQ(messages.size(), 1u) << said;
    EXPECT_EQ(messages[0].Text, "Port " + kit->Device +
                                    " is gone: the set points were not sent; Apply writes them "
                                    "again once it is back");
    EXPECT_EQ(window->LastFlowSP, 6);
    EXPECT_EQ(window->LastTempSP, 40);
    EXPECT_TRUE(window->btnApply->isEnabled());
    EXPECT_TRUE(window->lblStatus->text().startsWith(QString::fromStdString(gone)));

    QFile settings(dir.filePath("Vapcal.ini"));
    ASSERT_TRUE(settings.open(QIODevice::ReadOnly));
    const QByteArray saved = settings.readAll();
    EXPECT_TRUE(saved.contains("Flow=5")) << saved.toStdString();
    EXPECT_TRUE(saved.contains("Temp=45.5")) << saved.toStdString();
}

// A USB adapter pulled and plugged in again: its pseudo-terminal goes
// (the kit's process dies), and another comes under the same lasting
// by-id name. The status line says the port is gone at the first poll
// after, the readings are old at once, and the console opens the adapter
// again by itself, reads the instruments' settings back and polls on,
// with no message box and no operator.
TEST_F(ConsoleTest, APulledAdapterIsWaitedForAndPollingResumesWhenItIsBack) {
    const QString byId = dir.filePath("serial/by-id");
    ASSERT_TRUE(QDir().mkpath(byId));
    const QString link = byId + "/usb-FTDI_FT232R_USB_UART_A10K3B4Q-if00-port0";
    choose = [&](app::TfrmComSelect&) {
        window->Kit->ByIdFolder = byId.toStdString();
        EXPECT_TRUE(QFile::link(QString::fromStdString(kit->Device), link));
        return app::mrOk;
    };
    Connect();
    const auto allCurrent = [this] {
        return window->ReadingCurrent(live::inReservoirFlow) &&
               window->ReadingCurrent(live::inDilutionFlow) &&
               window->ReadingCurrent(live::inTemperature);
    };
    ASSERT_TRUE(QTest::qWaitFor(allCurrent));
    int ticks = 0;
    const auto poll = window->SW_VCtimer->OnTimer;
    window->SW_VCtimer->OnTimer = [&](kit::TThreadedTimer* sender) {
        ++ticks;
        poll(sender);
    };

    // Pulled: the device goes, and udev takes its lasting name away (the
    // freed terminal number may soon be another program's).
    const std::string first = kit->Device;
    kit->Stop(SIGKILL);
    ticks = 0;
    ASSERT_TRUE(QFile::remove(link));
    const QString gone = QString::fromStdString("Port " + first + " gone \u00B7 waiting for it");
    ASSERT_TRUE(QTest::qWaitFor([&] { return window->lblStatus->text().startsWith(gone); }, 10000))
        << window->lblStatus->text().toStdString();
    EXPECT_LE(ticks, 1) << "the loss showed only after a whole poll period";
    EXPECT_TRUE(window->ELflowMfcRF->ReadingOld());
    EXPECT_TRUE(window->ELflowMfcDF->ReadingOld());
    EXPECT_TRUE(window->Cal33VCtemp->ReadingOld());
    QTest::qWait(600);  // no poll while the port is away
    EXPECT_TRUE(window->lblStatus->text().startsWith(gone));

    // Plugged in again: another device behind the same lasting name.
    kit = std::make_unique<TSimProcess>(std::vector<std::string>{"--seed=8", "--df-capacity=0.3"});
    ASSERT_FALSE(kit->Device.empty());
    int ticksSinceBack = -1;
    const auto back = window->Kit->OnPortBack;
    window->Kit->OnPortBack = [&](const std::string& port) {
        ticksSinceBack = 0;
        back(port);
    };
    window->SW_VCtimer->OnTimer = [&](kit::TThreadedTimer* sender) {
        if (ticksSinceBack >= 0)
            ++ticksSinceBack;
        poll(sender);
    };
    QElapsedTimer returned;
    ASSERT_TRUE(QFile::link(QString::fromStdString(kit->Device), link));
    returned.start();
    ASSERT_TRUE(QTest::qWaitFor(allCurrent, 10000)) << window->lblStatus->text().toStdString();
    const qint64 freshAfterMs = returned.elapsed();
    EXPECT_LE(ticksSinceBack, 2) << "the poll did not resume with the port";
    EXPECT_EQ(window->ModbusConnection1->Port(), kit->Device);
    EXPECT_TRUE(window->lblStatus->text().startsWith(
        QString::fromStdString("Port " + kit->Device + " \u00B7 polling")))
        << window->lblStatus->text().toStdString();
    // The settings were read from the returned kit.
    ASSERT_TRUE(QTest::qWaitFor([this] { return window->DFCapacity == 0.3f; }, 5000));
    EXPECT_TRUE(messages.empty()) << messages[0].Text;
    RecordProperty("FreshReadingAfterReturnMs", static_cast<int>(freshAfterMs));
    std::printf("console: first fresh reading %lld ms after the port returned\n",
                static_cast<long long>(freshAfterMs));
}

TEST_F(ConsoleTest, LowDilutionFlowTurnsItsPanelRedAndAHigherOneLime) {
    // 16000 counts of a 0.3 capacity: 0.15, below the alarm.
    Connect({"--df-capacity=0.3"});
    EXPECT_NEAR(window->ELflowMfcDF->Value(), 0.15, 0.001);
    EXPECT_TRUE(window->ELflowMfcDF->AlarmLatched);
    EXPECT_EQ(window->ELflowMfcDF->OnColor(), QColor(255, 0, 0));
    EXPECT_EQ(window->ELflowMfcRF->OnColor(), QColor(0, 255, 0));

    Type(window->edtDilutionFlow, "0.3");
    ASSERT_TRUE(window->btnApply->isEnabled());
    Apply();
    ASSERT_TRUE(messages.empty()) << messages[0].Text;
    // The single capacity lies just above 0.3: the count is truncated, and
    // its low byte 0xFF crosses the pseudo-terminal as data.
    const std::vector<std::string> lines = kit->TakeLines();
    EXPECT_TRUE(Contains(lines, "server 11: register 33 := 31999"))
        << ::testing::PrintToString(lines);
    ASSERT_TRUE(QTest::qWaitFor([this] { return window->ELflowMfcDF->Value() > 0.2f; }, 10000));
    EXPECT_FALSE(window->ELflowMfcDF->AlarmLatched);
    EXPECT_EQ(window->ELflowMfcDF->OnColor(), QColor(0, 255, 0));
    EXPECT_TRUE(messages.empty());
}

// An operator switches adapters without restarting: OK on another port while
// polling closes the line, opens the chosen one and reads its instruments.
TEST_F(ConsoleTest, AnotherPortWhilePollingSwitchesToItAndTheSameOneResumes) {
    Connect();
    TSimProcess second({"--seed=8", "--df-capacity=0.3"});
    ASSERT_FALSE(second.Device.empty());
    // The dialog does not scan /dev/pts: the port is chosen by name, as an
    // operator picks an adapter from the list.
    const auto pick = [](const std::string& port) {
        return [port](app::TfrmComSelect& dialog) {
            dialog.PortsComboBox->addItem(QString::fromStdString(port));
            dialog.PortsComboBox->setCurrentIndex(dialog.PortsComboBox->count() - 1);
            return app::mrOk;
        };
    };
    choose = pick(second.Device);
    QTest::mouseClick(window->btnComPort, Qt::LeftButton);
    EXPECT_TRUE(messages.empty()) << messages[0].Text;
    EXPECT_EQ(window->ModbusConnection1->Port(), second.Device);
    EXPECT_TRUE(window->ModbusConnection1->Active());
    EXPECT_TRUE(window->SW_VCtimer->Enabled());
    // The second kit's readings appear: its dilution flow is 0.15 of 0.3.
    ASSERT_TRUE(QTest::qWaitFor(
        [this] {
            return window->ReadingCurrent(live::inDilutionFlow) &&
                   std::abs(window->ELflowMfcDF->Value() - 0.15f) < 0.001f;
        },
        10000));
    EXPECT_FLOAT_EQ(window->DFCapacity, 0.3f);
    EXPECT_TRUE(
        window->lblStatus->text().startsWith(QString::fromStdString("Port " + second.Device)))
        << window->lblStatus->text().toStdString();
    EXPECT_TRUE(Contains(second.TakeLines(), "server 10: register 34 := 400"));

    // A port that cannot be opened: its error is shown and the line in use
    // stays in use.
    choose = pick("/dev/ttyUSB49");
    QTest::mouseClick(window->btnComPort, Qt::LeftButton);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].Text, "Could not open serial port");
    EXPECT_EQ(window->ModbusConnection1->Port(), second.Device);
    EXPECT_TRUE(window->ModbusConnection1->Active());
    EXPECT_TRUE(window->SW_VCtimer->Enabled());
    messages.clear();

    // The port in use: nothing changes on the line, the reads start again.
    choose = pick(second.Device);
    QTest::mouseClick(window->btnComPort, Qt::LeftButton);
    EXPECT_TRUE(messages.empty());
    EXPECT_TRUE(window->SW_VCtimer->Enabled());
    EXPECT_EQ(window->ModbusConnection1->Port(), second.Device);

    // Cancel stops the poll, and says so; Refresh then does nothing.
    choose = [](app::TfrmComSelect&) { return app::mrCancel; };
    QTest::mouseClick(window->btnComPort, Qt::LeftButton);
    EXPECT_FALSE(window->PortConfirmed);
    EXPECT_FALSE(window->SW_VCtimer->Enabled());
    EXPECT_TRUE(window->lblStatus->text().contains("stopped: no port chosen"))
        << window->lblStatus->text().toStdString();
    EXPECT_FALSE(window->ReadingCurrent(live::inDilutionFlow));
    EXPECT_TRUE(window->ELflowMfcDF->ReadingOld());
    window->btnRefreshClick();
    EXPECT_FALSE(window->SW_VCtimer->Enabled());
    EXPECT_TRUE(messages.empty());
}

// A tick handler that fails stops the poll: the error is shown, the status
// line says why and the readings show as old. Refresh starts it again.
TEST_F(ConsoleTest, FailedTickStopsThePollUntilRefreshStartsItAgain) {
    Connect();
    auto poll = window->SW_VCtimer->OnTimer;
    bool fail = true;
    window->SW_VCtimer->OnTimer = [&](kit::TThreadedTimer* sender) {
        if (fail)
            throw std::runtime_error("the instrument table is gone");
        poll(sender);
    };
    ASSERT_TRUE(QTest::qWaitFor([this] { return !messages.empty(); }, 5000));
    EXPECT_EQ(messages[0].Text, "the instrument table is gone");
    EXPECT_TRUE(window->lblStatus->text().contains("stopped: the instrument table is gone"))
        << window->lblStatus->text().toStdString();
    EXPECT_TRUE(window->ELflowMfcRF->ReadingOld());
    EXPECT_TRUE(window->Cal33VCtemp->ReadingOld());

    fail = false;
    QTest::mouseClick(window->btnRefresh, Qt::LeftButton);
    EXPECT_TRUE(window->SW_VCtimer->Enabled());
    ASSERT_TRUE(QTest::qWaitFor(
        [this] {
            return window->ReadingCurrent(live::inReservoirFlow) &&
                   window->ReadingCurrent(live::inTemperature) &&
                   window->lblStatus->text().contains("polling");
        },
        10000))
        << window->lblStatus->text().toStdString();
    EXPECT_FALSE(window->ELflowMfcRF->ReadingOld());
    EXPECT_EQ(messages.size(), 1u);
}

// Recording from the Trend page: every complete poll is a line with what
// the kit measured and holds, and the page draws the same polls.
TEST_F(ConsoleTest, RecordsThePollsWithTheKitsValuesAndTheTrendDrawsThem) {
    Connect();
    const QString path = dir.filePath("record.csv");
    app::TLiveDisplay& live = *window->LiveView;
    live.ChooseRecordFile = [&] { return path; };
    window->TabSet1->setCurrentIndex(2);
    QTest::mouseClick(live.pnlTrend->btnRecord, Qt::LeftButton);
    ASSERT_TRUE(live.Monitor.Recorder().Recording());
    ASSERT_TRUE(QTest::qWaitFor([&] { return RecordLines(path).size() >= 5; }, 10000));
    QTest::mouseClick(live.pnlTrend->btnRecord, Qt::LeftButton);
    EXPECT_FALSE(live.Monitor.Recorder().Recording());
    const QStringList lines = RecordLines(path);

    ASSERT_EQ(lines[0], QString::fromStdString(live::RecordHeader(2)));
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QStringList f = lines[i].split(',');
        ASSERT_EQ(f.size(), 11) << lines[i].toStdString();
        const QDateTime when = QDateTime::fromString(f[0], Qt::ISODateWithMs);
        EXPECT_TRUE(when.isValid()) << f[0].toStdString();
        EXPECT_LT(std::abs(when.secsTo(QDateTime::currentDateTime())), 60);
        // The simulated kit holds 40 °C exactly and its flows within a
        // few counts of their set points.
        EXPECT_EQ(f[1], "40.00");
        EXPECT_NEAR(f[2].toDouble(), 6.0, 0.01);
        EXPECT_NEAR(f[3].toDouble(), 10.0, 0.01);
        EXPECT_EQ(f.mid(4, 3), (QStringList{"40.00", "6.0000", "10.0000"}));
        EXPECT_NEAR(f[7].toDouble(), 40.02, 0.4);
        EXPECT_EQ(f[8], "40.02");
        EXPECT_TRUE(f[9].startsWith("Settling: in tolerance for")) << f[9].toStdString();
        EXPECT_NEAR(f[10].toDouble(), 0.953, 0.01);
    }
    QTest::qWait(1200);
    EXPECT_EQ(RecordLines(path).size(), lines.size()) << "a stopped record grew";

    const app::TTrendPage::TTrendChart& temperature = live.pnlTrend->Charts[0];
    EXPECT_GE(temperature.Reading->count(), static_cast<int>(lines.size()) - 1);
    EXPECT_EQ(temperature.Reading->points().back().y(), 40.0);
    EXPECT_EQ(temperature.Target->points().back().y(), 40.0);
    EXPECT_TRUE(
        QRegularExpression("^Delivered now (39|40)\\.\\d\\d \u00B1 0\\.95 ng/l \\(k = 2\\)$")
            .match(live.lblDelivered->text())
            .hasMatch())
        << live.lblDelivered->text().toStdString();
    EXPECT_TRUE(messages.empty());
}

// A record that cannot be opened is reported; the poll goes on.
TEST_F(ConsoleTest, ARecordThatCannotBeOpenedIsReportedAndThePollGoesOn) {
    Connect();
    const QString path = dir.filePath("missing/record.csv");
    window->LiveView->StartRecording(path);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].Text.rfind("Cannot record to " + path.toStdString() + ": ", 0), 0u);
    EXPECT_FALSE(window->LiveView->Monitor.Recorder().Recording());
    window->Cal33VCtemp->SetCaption("");
    ASSERT_TRUE(QTest::qWaitFor([this] { return !window->Cal33VCtemp->Caption().isEmpty(); }));
    EXPECT_TRUE(window->SW_VCtimer->Enabled());
}

// A new temperature set point: the kit is settling while the reservoir
// heats, and stable again once it has held the new temperature for the
// (here short) settling time.
TEST_F(ConsoleTest, ASetPointChangeShowsSettlingThenStable) {
    Connect();
    app::TLiveDisplay& live = *window->LiveView;
    live.Monitor.Stability().SetSettlingMs(3000);
    const auto stable = [&] { return live.lblStability->text() == "Stable for 0 min"; };
    ASSERT_TRUE(QTest::qWaitFor(stable, 10000)) << live.lblStability->text().toStdString();

    QStringList seen;
    const auto show = live.Monitor.OnPoll;
    live.Monitor.OnPoll = [&] {
        show();
        if (seen.isEmpty() || seen.back() != live.lblStability->text())
            seen.push_back(live.lblStability->text());
    };
    Type(window->edtTemp, "41");
    Apply();
    EXPECT_EQ(window->LastTempSP, 41);
    ASSERT_TRUE(QTest::qWaitFor(stable, 20000)) << seen.join(" | ").toStdString();
    // Settling comes first; a poll that ended while Apply held the line may
    // say it cannot tell before it.
    const auto settling = std::find_if(
        seen.begin(), seen.end(), [](const QString& text) { return text.startsWith("Settling"); });
    EXPECT_TRUE(settling != seen.end() &&
                std::none_of(seen.begin(), settling,
                             [](const QString& text) { return text.startsWith("Stable"); }))
        << seen.join(" | ").toStdString();
    EXPECT_TRUE(messages.empty());
}

// The plant's DAHS, played by libmodbus, reads the map while the console
// polls the kit and finds the window's own values; its apply is carried out
// like the operator's, one the kit cannot reach is refused and changes
// nothing. The plant talks on a thread of its own: the console answers its
// commands from the main thread.
TEST_F(ConsoleTest, ThePlantReadsWhatTheWindowShowsAndItsApplyIsTakenLikeTheOperators) {
    const std::string ini = dir.filePath("Vapcal.ini").toStdString();
    {
        QFile file(QString::fromStdString(ini));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("[Vapcal]\nDahsControl=1\n");
    }
    Connect();
    window->LiveView->Monitor.Stability().SetSettlingMs(1000);
    app::TDahsFeed feed(*window, ini, "mbtcp://127.0.0.1:0");
    ASSERT_NE(feed.Server(), nullptr);
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return (feed.Snapshot().Status & dahs::sbStable) != 0; }, 10000));

    modbus_t* plant = modbus_new_tcp("127.0.0.1", feed.Server()->LocalPort());
    modbus_set_response_timeout(plant, 5, 0);
    ASSERT_EQ(modbus_connect(plant), 0);
    // Runs a plant's request on its thread while the console goes on.
    const auto ask = [&](const std::function<int()>& request, int& error) {
        int result = 0;
        bool done = false;
        std::thread asking([&] {
            result = request();
            error = errno;
            done = true;
        });
        EXPECT_TRUE(QTest::qWaitFor([&] { return done; }, 10000));
        asking.join();
        return result;
    };

    // The poll is held so that the map and the window stand still.
    window->SW_VCtimer->SetEnabled(false);
    QTest::qWait(600);
    const dahs::TDahsSnapshot shown = feed.Snapshot();
    std::uint16_t r[33] = {};
    int error = 0;
    ASSERT_EQ(ask([&] { return modbus_read_input_registers(plant, 0, 33, r); }, error), 33);
    const auto value = [&](dahs::TDahsField field) {
        return modbus_get_float_abcd(&r[dahs::DahsRegister(field).Address]);
    };
    EXPECT_EQ(r[1] & ~dahs::sbControlAllowed, shown.Status);
    EXPECT_EQ(
        r[1] & (dahs::sbPolling | dahs::sbAllCurrent | dahs::sbStable | dahs::sbControlAllowed),
        dahs::sbPolling | dahs::sbAllCurrent | dahs::sbStable | dahs::sbControlAllowed);
    EXPECT_EQ(dahs::DecodeUInt32(r[2], r[3], dahs::woHighFirst), shown.Heartbeat);
    EXPECT_GT(shown.Heartbeat, 2U);
    EXPECT_EQ(value(dahs::dfReservoirFlow), static_cast<float>(window->ELflowMfcRF->Value()));
    EXPECT_EQ(value(dahs::dfDilutionFlow), static_cast<float>(window->ELflowMfcDF->Value()));
    EXPECT_EQ(value(dahs::dfTemperature), static_cast<float>(shown.Temperature));
    EXPECT_NEAR(shown.Temperature, 40, 0.2);
    EXPECT_EQ(value(dahs::dfReservoirFlowSetPoint), static_cast<float>(window->LastFlowSP));
    EXPECT_EQ(value(dahs::dfTemperatureSetPoint), static_cast<float>(window->LastTempSP));
    EXPECT_EQ(value(dahs::dfCalculated), static_cast<float>(window->edtDilutedOput->AsFloat()));
    EXPECT_EQ(value(dahs::dfDelivered), static_cast<float>(shown.Delivered));
    EXPECT_NEAR(value(dahs::dfDelivered), value(dahs::dfCalculated),
                0.02 * value(dahs::dfCalculated));
    EXPECT_GT(value(dahs::dfDeliveredU), 0);
    window->SW_VCtimer->SetEnabled(true);

    const auto command = [&](float wanted, std::uint16_t code) {
        const auto bits = std::bit_cast<std::uint32_t>(wanted);
        std::uint16_t values[4] = {static_cast<std::uint16_t>(bits >> 16),
                                   static_cast<std::uint16_t>(bits & 0xFFFF), 0, code};
        return ask([&] { return modbus_write_registers(plant, 0, 4, values); }, error);
    };
    EXPECT_EQ(command(5000, dahs::ckApplyWanted), -1);
    EXPECT_EQ(error, EMBXILVAL);
    EXPECT_EQ(command(0, dahs::ckPause), -1);
    EXPECT_EQ(error, EMBXILVAL);
    EXPECT_EQ(window->LastFlowSP, 6);

    ASSERT_EQ(command(20, dahs::ckApplyWanted), 4);
    ASSERT_TRUE(QTest::qWaitFor([&] { return window->LastFlowSP == 3; }, 10000));
    EXPECT_TRUE(Contains(kit->TakeLines(), "server 10: register 33 := 4800"));
    EXPECT_TRUE(window->lblStatus->text().endsWith("plant 127.0.0.1: apply 20 ng/l"))
        << window->lblStatus->text().toStdString();
    EXPECT_EQ(window->edtFlow->AsFloat(), 3);
    EXPECT_EQ(feed.Server()->CommandsTaken(), 1U);
    modbus_close(plant);
    modbus_free(plant);
    EXPECT_TRUE(messages.empty());
}

// The console as an administrator starts it: the program itself, without a
// display for its help, and unattended on the offscreen platform with the
// simulated kit's port taken without the dialog, recording every poll.
TEST(ConsoleProgram, HelpAndVersionNeedNoDisplayAndWithoutOneItSaysWhatToDo) {
    const auto run = [](const QStringList& arguments) {
        QProcess vapcal;
        QProcessEnvironment headless = QProcessEnvironment::systemEnvironment();
        for (const char* variable : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            headless.remove(variable);
        vapcal.setProcessEnvironment(headless);
        vapcal.start(VAPCAL, arguments);
        EXPECT_TRUE(vapcal.waitForFinished(30000));
        return std::pair{vapcal.exitCode(), QString(vapcal.readAllStandardError())};
    };
    EXPECT_EQ(run({"--help"}).first, 0);
    EXPECT_EQ(run({"--version"}).first, 0);
    const auto [status, errors] = run({"--simulate"});
    EXPECT_NE(status, 0);
    EXPECT_EQ(errors.count('\n'), 1) << errors.toStdString();
    EXPECT_TRUE(errors.contains("xvfb-run") && errors.contains("QT_QPA_PLATFORM=offscreen"))
        << errors.toStdString();
}

TEST(ConsoleProgram, UnattendedWithTheSimulatedKitItRecordsALinePerPoll) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString record = dir.filePath("kit.csv");
    QProcessEnvironment offscreen = QProcessEnvironment::systemEnvironment();
    offscreen.insert("QT_QPA_PLATFORM", "offscreen");
    offscreen.insert("XDG_CONFIG_HOME", dir.path());
    // An interrupted run, which nobody is there to be asked about: the
    // console says how to resume it instead.
    offscreen.insert("XDG_DATA_HOME", dir.path());
    const QString interrupted = dir.filePath("vapcal/runs/2026-12-07T14-03-05-Lab's two");
    ASSERT_TRUE(QDir().mkpath(interrupted));
    for (const char* name : {"/plan.json", "/journal.jsonl"}) {
        QFile file(interrupted + name);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    }
    QProcess vapcal;
    vapcal.setProcessEnvironment(offscreen);
    vapcal.start(VAPCAL, {"--simulate", "--port", "sim", "--record", record});
    ASSERT_TRUE(vapcal.waitForStarted());
    QTest::qWait(10000);
    ASSERT_EQ(vapcal.state(), QProcess::Running) << vapcal.readAllStandardError().toStdString();
    vapcal.terminate();
    vapcal.waitForFinished();
    const QString errors = vapcal.readAllStandardError();
    EXPECT_TRUE(errors.contains("vapcal-run --resume '" + dir.path() +
                                "/vapcal/runs/2026-12-07T14-03-05-Lab'\\''s two'\n"))
        << errors.toStdString();

    const QStringList lines = RecordLines(record);
    ASSERT_FALSE(lines.isEmpty());
    EXPECT_EQ(lines.front().toStdString(), live::RecordHeader(2));
    // A 500 ms poll gives some 20 lines in 10 s; a busy machine polls late,
    // never twice at once.
    ASSERT_GE(lines.size(), 11) << lines.join("\n").toStdString();
    QDateTime previous;
    for (const QString& line : lines.mid(1)) {
        const QStringList fields = line.split(',');
        ASSERT_GE(fields.size(), 9) << line.toStdString();
        for (int reading = 1; reading <= 3; ++reading)
            EXPECT_FALSE(fields[reading].isEmpty()) << line.toStdString();
        const QDateTime when = QDateTime::fromString(fields[0], Qt::ISODateWithMs);
        ASSERT_TRUE(when.isValid()) << line.toStdString();
        if (previous.isValid()) {
            EXPECT_GE(previous.msecsTo(when), 250) << line.toStdString();
        }
        previous = when;
    }
}

// Two concentrations at the kit's own temperature, settled for 3 s and
// averaged for 3 s each, the simulated kit's analyser on the line.
constexpr const char* kRunPlan = R"({"name": "Two points", "temperature": 40, "dilution": 10,
    "settlingMinutes": 0.05, "settleMaxMinutes": 1, "dwellMinutes": 0.05,
    "acceptance": {"percent": 5, "absolute": 0.5},
    "analyzer": {"source": "modbus", "port": "line", "address": 30},
    "points": [{"wanted": 16}, {"wanted": 40}]})";

class RunWindowTest : public ConsoleTest {
  protected:
    void SetUp() override {
        ConsoleTest::SetUp();
        previousData = qgetenv("XDG_DATA_HOME");
        qputenv("XDG_DATA_HOME", dir.filePath("data").toLocal8Bit());
        QFile plan(dir.filePath("plan.json"));
        ASSERT_TRUE(plan.open(QIODevice::WriteOnly));
        plan.write(kRunPlan);
    }

    void TearDown() override {
        ConsoleTest::TearDown();
        qputenv("XDG_DATA_HOME", previousData);
    }

    // The console on the simulated kit with its analyser, the writes at the
    // pace a simulated kit takes, and the run window opened from the Trend
    // page.
    app::TfrmCalibrationRun& OpenRunWindow(std::vector<std::string> sim = {
                                               "--analyzer", "30", "--analyzer-gain", "1.02"}) {
        Connect(sim);
        window->Kit->BetweenInstrumentsMs = 50;
        window->Kit->HandshakeStepMs = 50;
        window->TabSet1->setCurrentIndex(2);
        QTest::mouseClick(window->LiveView->pnlTrend->btnRun, Qt::LeftButton);
        EXPECT_NE(window->RunWindow, nullptr);
        return *window->RunWindow;
    }

    // With VAPCAL_SHOTS naming a folder, the run window as the operator sees
    // it goes there.
    static void Shot(QWidget& shown, const char* name) {
        const QString folder = qEnvironmentVariable("VAPCAL_SHOTS");
        if (!folder.isEmpty())
            shown.grab().save(folder + "/" + name);
    }

    static QString Cell(const QTableWidget* table, int row, int column) {
        const QTableWidgetItem* item = table->item(row, column);
        return item != nullptr ? item->text() : QString();
    }

    QByteArray previousData;
};

TEST_F(RunWindowTest, APlanRunsToItsEndWithApplyDisabledMeanwhile) {
    QElapsedTimer wall;
    wall.start();
    app::TfrmCalibrationRun& run = OpenRunWindow();
    ASSERT_TRUE(run.isVisible());
    // A plan file that is no regular file is refused, and not read at all.
    ASSERT_TRUE(QFile::link("/dev/zero", dir.filePath("zero.json")));
    run.ChooseLoadFile = [this] { return dir.filePath("zero.json"); };
    QTest::mouseClick(run.btnLoad, Qt::LeftButton);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].Text, "Cannot read the plan " + dir.filePath("zero.json").toStdString() +
                                    ": not a regular file");
    messages.clear();
    run.ChooseLoadFile = [this] { return dir.filePath("plan.json"); };
    QTest::mouseClick(run.btnLoad, Qt::LeftButton);
    ASSERT_TRUE(messages.empty()) << messages[0].Text;
    EXPECT_EQ(run.edtName->text(), "Two points");
    ASSERT_EQ(run.tblPlan->rowCount(), 2);
    // The check shows each point's held reservoir flow, and its verdict
    // stays in the window: no box to close.
    EXPECT_EQ(Cell(run.tblPlan, 0, 6), "2.4");
    EXPECT_EQ(run.lblCheck->text(), "Plan checked: 2 points, about 12 s");
    run.edtDwell->setText("0");
    QTest::mouseClick(run.btnCheck, Qt::LeftButton);
    EXPECT_TRUE(messages.empty()) << messages[0].Text;
    EXPECT_EQ(run.lblCheck->text(),
              "The plan is refused: point 1: \"dwellMinutes\" 0 is shorter "
              "than one poll of the kit (0.5 s)");
    run.edtDwell->setText("0.05");
    QTest::mouseClick(run.btnCheck, Qt::LeftButton);
    EXPECT_EQ(run.lblCheck->text(), "Plan checked: 2 points, about 12 s");
    // Saved as it is shown, with whom and what it is for, it reads back as
    // the same plan.
    run.edtCustomer->setText("Northfield");
    run.edtItemSerial->setText("4471");
    run.edtLabHumidity->setText("41");
    run.ChooseSaveFile = [this] { return dir.filePath("saved.json"); };
    QTest::mouseClick(run.btnSave, Qt::LeftButton);
    QFile saved(dir.filePath("saved.json"));
    ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
    const run::TPlan reread = run::ParsePlan(saved.readAll());
    EXPECT_EQ(reread.Name, "Two points");
    ASSERT_EQ(reread.Points.size(), 2u);
    EXPECT_EQ(reread.Points[1].Wanted, 40.0);
    EXPECT_EQ(reread.Analyzer.Address, 30);
    EXPECT_EQ(reread.Customer, "Northfield");
    EXPECT_EQ(reread.Analyzer.Item.Serial, "4471");
    EXPECT_EQ(reread.Environment.Humidity, 41.0);
    EXPECT_FALSE(reread.Environment.Temperature.has_value());

    QTest::mouseClick(run.btnStart, Qt::LeftButton);
    ASSERT_TRUE(messages.empty()) << messages[0].Text;
    ASSERT_TRUE(run.Running());
    EXPECT_FALSE(window->btnApply->isEnabled());
    EXPECT_FALSE(run.btnStart->isEnabled());
    // A field changed meanwhile does not bring Apply back.
    Type(window->edtDilutionFlow, "9");
    EXPECT_FALSE(window->btnApply->isEnabled());
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return window->lblStatus->text().startsWith("Run: point 1 of 2, settling "); },
        10000))
        << window->lblStatus->text().toStdString();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !Cell(run.tblResults, 0, 1).isEmpty(); }, 60000));
    if (QTest::qWaitFor([&] { return run.lblProgress->text().contains("2 of 2, settling"); })) {
        Shot(run, "runwindow-midrun.png");
        Shot(*window, "console-midrun.png");
    }

    ASSERT_TRUE(QTest::qWaitFor([&] { return !run.Running(); }, 60000));
    ASSERT_TRUE(QTest::qWaitFor([&] { return window->btnApply->isEnabled(); }));
    EXPECT_FALSE(window->lblStatus->text().startsWith("Run:"));
    EXPECT_EQ(run.lblProgress->text(), "Run: done");
    Shot(run, "runwindow-end.png");
    for (int row = 0; row < 2; ++row) {
        EXPECT_EQ(Cell(run.tblResults, row, 1), "done");
        // U to two significant digits, the mean to its place, as the report.
        EXPECT_TRUE(Cell(run.tblResults, row, 2)
                        .contains(QRegularExpression("^\\d+\\.\\d\\d \u00B1 0\\.\\d\\d$")))
            << Cell(run.tblResults, row, 2).toStdString();
        EXPECT_FALSE(Cell(run.tblResults, row, 3).isEmpty());
        EXPECT_EQ(Cell(run.tblResults, row, 5), "PASS");
    }
    // The run folder as vapcal-run makes it.
    EXPECT_TRUE(run.FolderPath().startsWith(dir.filePath("data/vapcal/runs/")));
    QFile results(run.FolderPath() + "/results.json");
    ASSERT_TRUE(results.open(QIODevice::ReadOnly));
    const QJsonObject json = QJsonDocument::fromJson(results.readAll()).object();
    EXPECT_TRUE(json["pass"].toBool());
    EXPECT_EQ(json["port"].toString().toStdString(), kit->Device);
    EXPECT_EQ(json["points"].toArray().size(), 2);
    // Its report beside it.
    EXPECT_TRUE(QFileInfo::exists(run.FolderPath() + "/report.pdf"));
    EXPECT_EQ(run.lblReport->text(), "Report: " + run.FolderPath() + "/report.pdf");
    // The run over, its folder is free for another taker.
    EXPECT_NO_THROW(run::TRunFolder::Open(run.FolderPath(), 2));
    EXPECT_TRUE(messages.empty()) << messages[0].Text;
    std::printf("the run window's two-point run took %lld ms\n",
                static_cast<long long>(wall.elapsed()));
}

// The plant's DAHS, played by libmodbus, starts plan 1 of its plans folder
// (numbered by file name) and watches the run through the status word to
// its end; the journal and the status line say the plant started it. Run
// commands that do not fit the run in hand are refused and change nothing.
TEST_F(RunWindowTest, ThePlantStartsAPlanAndWatchesItsRunToTheEnd) {
    const QByteArray previousConfig = qgetenv("XDG_CONFIG_HOME");
    qputenv("XDG_CONFIG_HOME", dir.path().toLocal8Bit());
    ASSERT_TRUE(QDir().mkpath(dir.filePath("vapcal/plans")));
    ASSERT_TRUE(QFile::copy(dir.filePath("plan.json"), dir.filePath("vapcal/plans/01-two.json")));
    const std::string ini = dir.filePath("Vapcal.ini").toStdString();
    {
        QFile file(QString::fromStdString(ini));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("[Vapcal]\nDahsControl=1\n");
    }
    Connect({"--analyzer", "30", "--analyzer-gain", "1.02"});
    window->Kit->BetweenInstrumentsMs = 50;
    window->Kit->HandshakeStepMs = 50;
    // The plans folder is the one the settings name when the feed starts.
    auto feed = std::make_unique<app::TDahsFeed>(*window, ini, "mbtcp://127.0.0.1:0");
    qputenv("XDG_CONFIG_HOME", previousConfig);
    ASSERT_NE(feed->Server(), nullptr);

    modbus_t* plant = modbus_new_tcp("127.0.0.1", feed->Server()->LocalPort());
    modbus_set_response_timeout(plant, 5, 0);
    ASSERT_EQ(modbus_connect(plant), 0);
    int error = 0;
    const auto ask = [&](const std::function<int()>& request) {
        int result = 0;
        bool done = false;
        std::thread asking([&] {
            result = request();
            error = errno;
            done = true;
        });
        EXPECT_TRUE(QTest::qWaitFor([&] { return done; }, 10000));
        asking.join();
        return result;
    };
    const auto command = [&](std::uint16_t code, std::uint16_t plan) {
        const std::uint16_t values[4] = {0, 0, plan, code};
        return ask([&] { return modbus_write_registers(plant, 0, 4, values); });
    };
    std::uint16_t r[33] = {};
    const auto reg = [&](dahs::TDahsField field) { return r[dahs::DahsRegister(field).Address]; };
    const auto read = [&] {
        return ask([&] { return modbus_read_input_registers(plant, 0, 33, r); });
    };

    EXPECT_EQ(command(dahs::ckPause, 0), -1) << "no run to pause";
    EXPECT_EQ(error, EMBXILVAL);
    EXPECT_EQ(command(dahs::ckStartPlan, 2), -1) << "no plan 2";
    EXPECT_EQ(error, EMBXILVAL);
    EXPECT_TRUE(window->RunWindow == nullptr || !window->RunWindow->Running());

    ASSERT_EQ(command(dahs::ckStartPlan, 1), 4);
    ASSERT_NE(window->RunWindow, nullptr);
    app::TfrmCalibrationRun& run = *window->RunWindow;
    ASSERT_TRUE(run.Running());
    EXPECT_TRUE(run.isVisible());
    EXPECT_EQ(run.edtName->text(), "Two points");
    EXPECT_EQ(command(dahs::ckStartPlan, 1), -1) << "a run is under way";
    EXPECT_EQ(error, EMBXILVAL);
    EXPECT_TRUE(window->lblStatus->text().contains("plant 127.0.0.1: start plan 1"))
        << window->lblStatus->text().toStdString();

    // Paused and resumed by the plant as by the window's button.
    ASSERT_TRUE(QTest::qWaitFor([&] { return run.Engine()->Running(); }, 10000));
    ASSERT_EQ(command(dahs::ckPause, 0), 4);
    EXPECT_TRUE(run.Engine()->Paused());
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return read() == 33 && (reg(dahs::dfStatus) & dahs::sbRunPaused) != 0; }, 10000));
    ASSERT_EQ(command(dahs::ckResume, 0), 4);
    EXPECT_FALSE(run.Engine()->Paused());

    // The plant watches the status word: the run active, then its end.
    bool sawActive = false;
    while (run.Running()) {
        ASSERT_EQ(read(), 33);
        if ((reg(dahs::dfStatus) & dahs::sbRunActive) != 0) {
            sawActive = true;
            EXPECT_EQ(reg(dahs::dfRunPointCount), 2);
            EXPECT_GE(reg(dahs::dfRunPoint), 1);
        }
        QTest::qWait(200);
    }
    EXPECT_TRUE(sawActive);
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            return read() == 33 && reg(dahs::dfRunState) == dahs::rsDone &&
                   (reg(dahs::dfStatus) & dahs::sbRunActive) == 0;
        },
        10000));
    EXPECT_EQ(reg(dahs::dfStatus) & (dahs::sbRunPaused | dahs::sbLastPointFailed), 0);
    const std::uint16_t* last = &r[dahs::DahsRegister(dahs::dfLastPointDelivered).Address];
    EXPECT_NEAR(modbus_get_float_abcd(last), 40, 1);
    EXPECT_EQ(command(dahs::ckStop, 0), -1) << "the run has ended";

    QFile results(run.FolderPath() + "/results.json");
    ASSERT_TRUE(results.open(QIODevice::ReadOnly));
    const QJsonObject ended = QJsonDocument::fromJson(results.readAll()).object();
    EXPECT_EQ(ended["points"].toArray().size(), 2);
    // The plant's pause and resume are the plant's in the interruptions.
    const QJsonArray interruptions = ended["interruptions"].toArray();
    ASSERT_GE(interruptions.size(), 2);
    EXPECT_EQ(interruptions[0]["kind"], "paused");
    EXPECT_EQ(interruptions[0]["by"], "plant 127.0.0.1");
    EXPECT_EQ(interruptions[1]["kind"], "resumed");
    EXPECT_EQ(interruptions[1]["by"], "plant 127.0.0.1");
    QFile journal(run.FolderPath() + "/journal.jsonl");
    ASSERT_TRUE(journal.open(QIODevice::ReadOnly));
    const QJsonObject started = QJsonDocument::fromJson(journal.readLine()).object();
    EXPECT_EQ(started["event"], "started");
    EXPECT_EQ(started["by"], "plant 127.0.0.1");
    modbus_close(plant);
    modbus_free(plant);
    feed.reset();
    EXPECT_TRUE(messages.empty()) << messages[0].Text;
}

// A console closed mid-run (its journal holds point 1 done, no results)
// offers the run at the next start; Yes resumes it at point 2 and keeps
// point 1 as the journal holds it.
// The procedure's fields fill the points with its levels in their order,
// each asking the kit for the level's gas at 20 \u00B0C; saved, the plan is
// the procedure's.
TEST_F(RunWindowTest, AProcedureFillsItsLevelsAndOrderAndIsSavedAsThatProcedure) {
    app::TfrmCalibrationRun& run = OpenRunWindow();
    run.ChooseLoadFile = [this] { return dir.filePath("plan.json"); };
    QTest::mouseClick(run.btnLoad, Qt::LeftButton);
    run.cbxBasis->setCurrentText("0C");
    run.cbxProcedure->setCurrentText("epa-linearity");
    EXPECT_EQ(run.tblPlan->rowCount(), 2) << "no span yet: the points stay";
    QTest::keyClicks(run.edtSpan, "50");
    QTest::keyClick(run.edtSpan, Qt::Key_Return);
    ASSERT_EQ(run.tblPlan->rowCount(), 9);
    const char* const levels[] = {"low", "mid", "high"};
    for (int row = 0; row < 9; ++row)
        EXPECT_EQ(Cell(run.tblPlan, row, 8), levels[row % 3]) << row;
    EXPECT_NEAR(Cell(run.tblPlan, 0, 0).toDouble(), 12.5 * 273.15 / 293.15, 1e-12);
    // The procedure's rule judges, not a point's acceptance.
    run.edtAcceptPercent->clear();
    run.edtAcceptAbsolute->clear();
    ASSERT_TRUE(run.btnCheckClick()) << (messages.empty() ? "" : messages[0].Text);

    run.ChooseSaveFile = [this] { return dir.filePath("procedure.json"); };
    QTest::mouseClick(run.btnSave, Qt::LeftButton);
    QFile saved(dir.filePath("procedure.json"));
    ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
    run::TPlan reread = run::ParsePlan(saved.readAll());
    EXPECT_EQ(reread.Procedure.Kind, run::pkEpaLinearity);
    EXPECT_EQ(reread.Procedure.Span, 50);
    EXPECT_EQ(reread.Analyzer.Basis, run::ab0C);
    ASSERT_EQ(reread.Points.size(), 9u);
    EXPECT_EQ(reread.Points[4].Level, "mid");

    // Loaded again, the fields come back as they were saved.
    run.cbxProcedure->setCurrentText("points");
    run.ChooseLoadFile = [this] { return dir.filePath("procedure.json"); };
    QTest::mouseClick(run.btnLoad, Qt::LeftButton);
    EXPECT_EQ(run.cbxProcedure->currentText(), "epa-linearity");
    EXPECT_EQ(run.edtSpan->text(), "50");
    EXPECT_EQ(run.cbxBasis->currentText(), "0C");
    EXPECT_EQ(run.tblPlan->rowCount(), 9);
    EXPECT_TRUE(messages.empty()) << messages[0].Text;
}

TEST_F(RunWindowTest, AnInterruptedRunIsOfferedAndResumedAtTheNextStart) {
    const QString folder = dir.filePath("data/vapcal/runs/2026-12-07T14-03-05-Two points");
    ASSERT_TRUE(QDir().mkpath(folder));
    QFile plan(folder + "/plan.json");
    ASSERT_TRUE(plan.open(QIODevice::WriteOnly));
    plan.write(kRunPlan);
    plan.close();
    const QJsonObject first{{"index", 1},        {"wanted", 16},         {"status", "done"},
                            {"samples", 6},      {"pass", true},         {"error", 0.25},
                            {"temperature", 40}, {"reservoirFlow", 2.4}, {"dilutionFlow", 10}};
    QFile journal(folder + "/journal.jsonl");
    ASSERT_TRUE(journal.open(QIODevice::WriteOnly));
    journal.write(R"({"event": "started", "time": "2026-12-07T14:03:05.250+01:00", "port": "x"})"
                  "\n");
    journal.write(QJsonDocument(QJsonObject{{"event", "dwellDone"},
                                            {"time", "2026-12-07T14:03:20.000+01:00"},
                                            {"point", 1},
                                            {"result", first}})
                      .toJson(QJsonDocument::Compact) +
                  "\n");
    journal.close();
    platform::SetMessageSink([this](const platform::TMessage& m) {
        messages.push_back(m);
        if (m.Answer != nullptr)
            *m.Answer = true;
    });

    Connect({"--analyzer", "30"});
    ASSERT_GE(messages.size(), 1u);
    EXPECT_EQ(messages[0].Type, platform::TMsgDlgType::mtConfirmation);
    EXPECT_NE(messages[0].Text.find(folder.toStdString()), std::string::npos) << messages[0].Text;
    ASSERT_NE(window->RunWindow, nullptr);
    app::TfrmCalibrationRun& run = *window->RunWindow;
    ASSERT_TRUE(QTest::qWaitFor([&] { return run.Running(); }));
    EXPECT_EQ(run.Engine()->PointIndex(), 2);
    EXPECT_EQ(Cell(run.tblResults, 0, 5), "PASS");
    ASSERT_TRUE(QTest::qWaitFor([&] { return !run.Running(); }, 60000));

    QFile results(folder + "/results.json");
    ASSERT_TRUE(results.open(QIODevice::ReadOnly));
    const QJsonArray points = QJsonDocument::fromJson(results.readAll())["points"].toArray();
    ASSERT_EQ(points.size(), 2);
    EXPECT_EQ(points[0].toObject(), first);
    EXPECT_EQ(points[1]["status"].toString(), "done");
    EXPECT_EQ(messages.size(), 1u) << messages.back().Text;
}

// A manual analyser: its mean is typed when a dwell ends (a mistyped one is
// refused and asked for again); a paused point settles again once resumed,
// and a skipped one is marked and judged by nobody.
TEST_F(RunWindowTest, AManualAnalysersMeanIsTypedAndAPointCanBePausedOrSkipped) {
    app::TfrmCalibrationRun& run = OpenRunWindow();
    QJsonObject plan = QJsonDocument::fromJson(kRunPlan).object();
    plan["analyzer"] = QJsonObject{{"source", "manual"}};
    run.ShowPlan(plan);
    // A mistyped number is named, and nothing starts.
    run.edtDwell->setText("0.05x");
    QTest::mouseClick(run.btnStart, Qt::LeftButton);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].Text, "The plan is refused: \"dwellMinutes\" is not a number: 0.05x");
    EXPECT_FALSE(run.Running());
    messages.clear();
    run.edtDwell->setText("0.05");
    QTest::mouseClick(run.btnStart, Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return run.lblProgress->text().contains("settling"); }));
    QTest::mouseClick(run.btnPause, Qt::LeftButton);
    EXPECT_EQ(run.lblProgress->text(),
              "Run: point 1 of 2, paused (settling starts again on Resume)");
    EXPECT_EQ(Cell(run.tblResults, 0, 1), "paused (settling starts again on Resume)");
    EXPECT_EQ(run.btnPause->text(), "Resume");
    QTest::mouseClick(run.btnPause, Qt::LeftButton);
    EXPECT_TRUE(run.lblProgress->text().startsWith("Run: point 1 of 2, settling"));
    // Closing the console asks first; No keeps it and the run.
    window->close();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].Type, platform::TMsgDlgType::mtConfirmation);
    EXPECT_TRUE(window->isVisible());
    messages.clear();

    ASSERT_TRUE(QTest::qWaitFor([&] { return run.edtAnalyzerMean->isVisible(); }, 60000));
    EXPECT_EQ(run.lblAnalyzerWanted->text(),
              "Point 1: type the analyser's mean over the dwell (ng/l)");
    QTest::keyClicks(run.edtAnalyzerMean, "16.2x");
    QTest::keyClick(run.edtAnalyzerMean, Qt::Key_Return);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].Text, "The analyser's mean \"16.2x\" is not a number");
    EXPECT_TRUE(run.edtAnalyzerMean->isVisible());
    run.edtAnalyzerMean->setText("16.2");
    QTest::keyClick(run.edtAnalyzerMean, Qt::Key_Return);
    EXPECT_FALSE(run.edtAnalyzerMean->isVisible());
    EXPECT_EQ(Cell(run.tblResults, 0, 3), "16.20");
    EXPECT_EQ(Cell(run.tblResults, 0, 5), "PASS");

    ASSERT_TRUE(QTest::qWaitFor([&] { return run.lblProgress->text().contains("point 2 of 2"); }));
    QTest::mouseClick(run.btnSkip, Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !run.Running(); }));
    EXPECT_EQ(Cell(run.tblResults, 1, 1), "skipped");
    EXPECT_EQ(Cell(run.tblResults, 1, 5), "\u2013");
    EXPECT_EQ(messages.size(), 1u);
}

// The plan asks for an analyser at address 30 and none answers: the status
// line names it, and each point ends without an analyser reading, as
// vapcal-run ends the same plan, never "done" with an empty column.
TEST_F(RunWindowTest, ASilentAnalyserIsNamedAndEveryPointEndsWithoutAnAnalyserReading) {
    app::TfrmCalibrationRun& run = OpenRunWindow({});
    run.ShowPlan(QJsonDocument::fromJson(kRunPlan).object());
    QTest::mouseClick(run.btnStart, Qt::LeftButton);
    ASSERT_TRUE(messages.empty()) << messages[0].Text;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            return window->lblStatus->text().contains("; analyser 30 on the line does not answer");
        },
        20000))
        << window->lblStatus->text().toStdString();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !run.Running(); }, 90000));
    EXPECT_EQ(run.lblProgress->text(), "Run: done, not every point passed");
    for (int row = 0; row < 2; ++row) {
        EXPECT_EQ(Cell(run.tblResults, row, 1), "no analyser reading");
        EXPECT_TRUE(Cell(run.tblResults, row, 3).isEmpty());
        EXPECT_EQ(Cell(run.tblResults, row, 5), "\u2013");
    }
    QFile results(run.FolderPath() + "/results.json");
    ASSERT_TRUE(results.open(QIODevice::ReadOnly));
    const QJsonObject json = QJsonDocument::fromJson(results.readAll()).object();
    EXPECT_FALSE(json["pass"].toBool());
    for (const QJsonValue point : json["points"].toArray())
        EXPECT_EQ(point["status"].toString(), "no analyzer reading");
    Shot(run, "runwindow-silent-analyser.png");
}

// An analyser on a port of its own is read there, not on the kit's line:
// the kit's own analyser reads 2 % high and would pass, the other one 10 %
// high and fails.
TEST_F(RunWindowTest, AnAnalyserOnAPortOfItsOwnIsReadThere) {
    TSimProcess other({"--analyzer", "30", "--analyzer-gain", "1.10", "--seed", "9"});
    ASSERT_FALSE(other.Device.empty());
    app::TfrmCalibrationRun& run = OpenRunWindow();
    QJsonObject plan = QJsonDocument::fromJson(kRunPlan).object();
    plan["analyzer"] = QJsonObject{
        {"source", "modbus"}, {"port", QString::fromStdString(other.Device)}, {"address", 30}};
    plan["points"] = QJsonArray{QJsonObject{{"wanted", 40}}};
    run.ShowPlan(plan);
    QTest::mouseClick(run.btnStart, Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !run.Running(); }, 60000));
    EXPECT_EQ(Cell(run.tblResults, 0, 1), "done");
    EXPECT_NEAR(Cell(run.tblResults, 0, 3).toDouble(), 44.0, 0.5);
    EXPECT_EQ(Cell(run.tblResults, 0, 5), "FAIL");
    EXPECT_TRUE(messages.empty()) << messages[0].Text;
}

}  // namespace
