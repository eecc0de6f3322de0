// Replies of the three instruments as the window decodes them, handed to its
// completion handlers as the connection would; and the window's start-up
// without a port. No line is open here.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <memory>
#include <string>
#include <vector>

#include "app/comselect.h"
#include "app/mainwindow.h"
#include "kit/threadedtimer.h"
#include "modbus/client.h"
#include "modbus/connection.h"
#include "modbus/errors.h"
#include "panels/cal3300rs485.h"
#include "panels/elflowmfc.h"
#include "platform/msgsink.h"
#include "platform/numtext.h"
#include "testapp.h"

namespace {

using app::TfrmVapcalCalc;
using regwire::TModbusClient;

const QColor kLime(0, 255, 0);
const QColor kRed(255, 0, 0);

class DevicePollingTest : public ::testing::Test {
  protected:
    void SetUp() override {
        App();
        platform::FormatSettings() = {'.', ','};
        previousSink = platform::SetMessageSink(
            [this](const platform::TMessage& m) { messages.push_back(m); });
        ASSERT_TRUE(dir.isValid());
        window = std::make_unique<TfrmVapcalCalc>(dir.filePath("Vapcal.ini").toStdString());
        window->ExecPortDialog = [this](app::TfrmComSelect&) {
            ++dialogs;
            return app::mrCancel;
        };
    }

    void TearDown() override {
        window.reset();
        platform::SetMessageSink(previousSink);
    }

    void Read(TModbusClient* client, std::uint16_t start, std::vector<std::uint16_t> values,
              regwire::TTransactionStatus status = regwire::tsSuccess) {
        regwire::TTransactionInfo info;
        info.Status = status;
        window->mcVapcalTCHoldingRegistersRead(client, info, start,
                                               static_cast<std::uint16_t>(values.size()), values);
    }
    void Unanswered(TModbusClient* client, std::uint16_t start) {
        Read(client, start, {}, regwire::tsNoReply);
    }

    QTemporaryDir dir;
    std::unique_ptr<TfrmVapcalCalc> window;
    int dialogs = 0;
    std::vector<platform::TMessage> messages;
    platform::TMessageSink previousSink;
};

TEST_F(DevicePollingTest, CancelAtStartSendsNothingAndLeavesApplyAndRefreshDisabled) {
    window->show();
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    ASSERT_TRUE(QTest::qWaitFor([this] { return dialogs == 1; }));
    EXPECT_FALSE(window->PortConfirmed);
    EXPECT_FALSE(window->ModbusConnection1->Active());
    EXPECT_FALSE(window->SW_VCtimer->Enabled());
    EXPECT_FALSE(window->btnApply->isEnabled());
    EXPECT_FALSE(window->btnRefresh->isEnabled());
    window->btnRefreshClick();  // inert without a confirmed port
    EXPECT_FALSE(window->SW_VCtimer->Enabled());
    EXPECT_TRUE(messages.empty());
    // Coming back to the window is no new start: the dialog stays closed.
    QWidget other;
    other.show();
    other.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&other));
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    QTest::qWait(20);
    EXPECT_EQ(dialogs, 1);
}

TEST_F(DevicePollingTest, ConnectionAndButtonsAreSetUpForTheKit) {
    const regwire::TModbusConnection& line = *window->ModbusConnection1;
    EXPECT_EQ(line.BaudRate(), regwire::brCustom);
    EXPECT_EQ(line.CustomBaudRate(), 9600u);
    EXPECT_EQ(line.DataBits(), regwire::db8);
    EXPECT_EQ(line.Parity(), regwire::psEven);
    EXPECT_EQ(line.StopBits(), regwire::sb1);
    EXPECT_EQ(line.TransmissionMode(), regwire::tmRTU);
    const std::pair<TModbusClient*, int> clients[] = {
        {window->mcVapcalRF, 10}, {window->mcVapcalDF, 11}, {window->mcVapcalTC, 20}};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(clients[i].first->Tag, i + 1);
        EXPECT_EQ(clients[i].first->ServerAddress(), clients[i].second);
        EXPECT_EQ(clients[i].first->Connection(), &line);
    }
    EXPECT_EQ(window->SW_VCtimer->Interval(), 500u);
    EXPECT_EQ(window->btnComPort->toolTip(), "Select/Change COM port");
    EXPECT_EQ(window->btnRefresh->toolTip(), "Refresh");
    for (QPushButton* glyph : {window->btnComPort, window->btnRefresh, window->btnApply,
                               window->btnAbout, window->btnClose})
        EXPECT_FALSE(glyph->icon().isNull()) << glyph->text().toStdString();
    EXPECT_EQ(window->btnAbout->text(), "A&bout");
}

TEST_F(DevicePollingTest, AboutAcknowledgesTheInstituteInThreeLines) {
    window->btnAbout->click();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].Type, platform::TMsgDlgType::mtInformation);
    EXPECT_EQ(messages[0].Caption, "Information");
    EXPECT_EQ(std::count(messages[0].Text.begin(), messages[0].Text.end(), '\n'), 2);
    EXPECT_NE(messages[0].Text.find("research institute"), std::string::npos);
}

TEST_F(DevicePollingTest, CapacitiesSetTheFlowsBoundsAndScaleTheReadings) {
    Read(window->mcVapcalRF, 33128, {0x4120, 0x0000});
    EXPECT_EQ(window->RFCapacity, 10.0f);
    EXPECT_EQ(window->edtFlow->BoundUpper(), 10);
    EXPECT_EQ(window->DFCapacity, 20.0f);
    Read(window->mcVapcalDF, 33128, {0x41A0, 0x0000});
    EXPECT_EQ(window->edtDilutionFlow->BoundUpper(), 20);

    Read(window->mcVapcalDF, 32, {16000});
    EXPECT_EQ(window->ELflowMfcDF->Caption(), "10.00");
    Read(window->mcVapcalRF, 32, {16000});
    EXPECT_EQ(window->ELflowMfcRF->Caption(), "5.00");
    Read(window->mcVapcalTC, 32, {16000});  // not a flow controller: nothing
    EXPECT_EQ(window->ELflowMfcRF->Caption(), "5.00");

    Read(window->mcVapcalDF, 33, {9600});
    EXPECT_EQ(window->LastDilutionFlowSP, 6);
    Read(window->mcVapcalRF, 47, {2});
    EXPECT_EQ(window->lblRflow->text(),
              app::ShownCaption("Reservoir Flow 10(mln min\u00AD\u00B9)"));
    Read(window->mcVapcalDF, 47, {12});
    EXPECT_EQ(window->lblDflow->text(), "    Dilution Flow 20");

    // A capacity whose full text would push the unit out of the caption's
    // box is shortened there; the hint keeps the full caption.
    Read(window->mcVapcalRF, 33128, {0x3DCC, 0xCCCD});  // 0.1 in single precision
    Read(window->mcVapcalRF, 47, {2});
    EXPECT_EQ(window->lblRflow->text(),
              app::ShownCaption("Reservoir Flow 0.1(mln min\u00AD\u00B9)"));
    EXPECT_EQ(window->lblRflow->toolTip(),
              app::ShownCaption("Reservoir Flow 0.100000001490116(mln min\u00AD\u00B9)"));
}

TEST_F(DevicePollingTest, TemperatureReadingLimitsAndSetPoint) {
    const std::pair<std::uint16_t, const char*> readings[] = {
        {405, "40.5"}, {400, "40.0"}, {0xFFCE, "6549.0"}};
    for (const auto& [raw, shown] : readings) {
        Read(window->mcVapcalTC, 28, {raw});
        EXPECT_EQ(window->Cal33VCtemp->Caption().toStdString(), shown) << raw;
    }
    Read(window->mcVapcalTC, 148, {615});
    Read(window->mcVapcalTC, 150, {305});
    EXPECT_EQ(window->Cal33VCtemp->SetPointMax(), 62);
    EXPECT_EQ(window->Cal33VCtemp->SetPointMin(), 30);
    EXPECT_EQ(window->edtTemp->BoundUpper(), 62);
    EXPECT_EQ(window->edtTemp->BoundLower(), 30);
    Read(window->mcVapcalTC, 127, {455});
    EXPECT_EQ(platform::FloatToStrGeneral(window->LastTempSP), "45.5");
}

TEST_F(DevicePollingTest, FailedRepliesOtherThanSilenceChangeNothing) {
    Read(window->mcVapcalRF, 32, {16000});
    for (auto status :
         {regwire::tsBadFrame, regwire::tsWrongServer, regwire::tsBadReply, regwire::tsException})
        Read(window->mcVapcalRF, 32, {100}, status);
    EXPECT_EQ(window->ELflowMfcRF->Caption(), "10.00");
    EXPECT_EQ(window->RFTimeouts, 0);
}

TEST_F(DevicePollingTest, EveryFifthUnansweredReadBlanksThatInstrumentsPanel) {
    Read(window->mcVapcalDF, 32, {16000});
    Read(window->mcVapcalTC, 28, {400});
    for (int i = 1; i <= 4; ++i) {
        Unanswered(window->mcVapcalDF, 32);
        if (i == 2)
            Read(window->mcVapcalDF, 32, {16000});  // a good reading does not restart the count
    }
    EXPECT_EQ(window->ELflowMfcDF->Caption(), "10.00");
    Unanswered(window->mcVapcalDF, 32);
    EXPECT_EQ(window->ELflowMfcDF->Caption(), "");
    EXPECT_EQ(window->DFTimeouts, 0);
    EXPECT_EQ(window->Cal33VCtemp->Caption(), "40.0");  // the others keep theirs

    for (int i = 0; i < 5; ++i)
        Unanswered(window->mcVapcalTC, 28);
    EXPECT_EQ(window->Cal33VCtemp->Caption(), "");
}

TEST_F(DevicePollingTest, LowDilutionFlowColoursThePanelRedOnceAndLimeAboveTheAlarm) {
    panels::TELflowMfc& panel = *window->ELflowMfcDF;
    Read(window->mcVapcalDF, 32, {160});  // 0.1
    EXPECT_TRUE(panel.AlarmLatched);
    EXPECT_EQ(panel.OnColor(), kRed);
    // Further low readings leave the colour alone.
    panel.SetOnColor(Qt::blue);
    Read(window->mcVapcalDF, 32, {150});
    EXPECT_EQ(panel.OnColor(), QColor(Qt::blue));
    Read(window->mcVapcalDF, 32, {480});  // 0.3
    EXPECT_FALSE(panel.AlarmLatched);
    EXPECT_EQ(panel.OnColor(), kLime);
    // The single nearest 0.2 lies above it.
    Read(window->mcVapcalDF, 32, {160});
    panel.SetValue(0.2f);
    EXPECT_EQ(panel.OnColor(), kLime);
    // The reservoir flow has no alarm.
    Read(window->mcVapcalRF, 32, {160});
    EXPECT_EQ(window->ELflowMfcRF->OnColor(), kLime);
}

TEST_F(DevicePollingTest, OnlyHandshakeWritesThatSucceededAreAcknowledged) {
    const auto write = [this](std::uint16_t reg, regwire::TTransactionStatus status) {
        window->WriteAcknowledged = false;
        regwire::TTransactionInfo info;
        info.Status = status;
        window->mcVapcalTCSingleRegisterWrite(window->mcVapcalTC, info, reg, 0);
        return window->WriteAcknowledged;
    };
    EXPECT_TRUE(write(768, regwire::tsSuccess));
    EXPECT_TRUE(write(5376, regwire::tsSuccess));
    EXPECT_TRUE(write(5632, regwire::tsSuccess));
    EXPECT_FALSE(write(127, regwire::tsSuccess));
    EXPECT_FALSE(write(768, regwire::tsNoReply));
    EXPECT_FALSE(write(768, regwire::tsException));
}

TEST_F(DevicePollingTest, APortThatCannotBeOpenedLeavesThePollStopped) {
    window->ExecPortDialog = [](app::TfrmComSelect& dialog) {
        dialog.PortsComboBox->addItem("/dev/vapcal-no-such-port");
        dialog.PortsComboBox->setCurrentIndex(dialog.PortsComboBox->count() - 1);
        return app::mrOk;
    };
    QTest::mouseClick(window->btnComPort, Qt::LeftButton);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].Text, "Could not open serial port");
    EXPECT_EQ(window->lblStatus->text().toStdString(),
              "Port /dev/vapcal-no-such-port \u00B7 stopped: Could not open serial port");
    EXPECT_TRUE(window->PortConfirmed);
    EXPECT_FALSE(window->ModbusConnection1->Active());
    EXPECT_FALSE(window->SW_VCtimer->Enabled());
    EXPECT_FALSE(window->btnRefresh->isEnabled());

    // Refresh with the port confirmed but no line: the first request fails.
    try {
        window->btnRefreshClick();
        ADD_FAILURE() << "Refresh ran without a line";
    } catch (const regwire::ERegwireError& error) {
        EXPECT_STREQ(error.what(), "There is no active connection");
    }
    EXPECT_FALSE(window->SW_VCtimer->Enabled());
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

}  // namespace
