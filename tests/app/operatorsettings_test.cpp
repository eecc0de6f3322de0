// The console run by an operator's own account from a folder it may not
// write, as an installed console in /usr/bin is: its settings live in the
// account's configuration folder. ctest's console_settings_as_nobody runs
// this as the account nobody with a fresh XDG_CONFIG_HOME; elsewhere it says
// why it does not apply.
#include <gtest/gtest.h>
#include <unistd.h>
#include <QFile>
#include <QPushButton>
#include <QTest>
#include <cstdlib>
#include <memory>
#include <string>

#include "app/comselect.h"
#include "app/mainwindow.h"
#include "platform/exepath.h"
#include "testapp.h"

namespace {

TEST(ConsoleAsOperator, KeepsItsSettingsInTheAccountsConfigurationFolder) {
    App();
    if (access(platform::ExecutableDirectory().c_str(), W_OK) == 0)
        GTEST_SKIP() << "this account may write the test program's folder, so the settings "
                        "stay beside it; ctest's console_settings_as_nobody runs this";
    const char* configHome = std::getenv("XDG_CONFIG_HOME");
    if (!configHome || configHome[0] != '/')
        GTEST_SKIP() << "needs XDG_CONFIG_HOME set to a scratch folder, so that no operator's "
                        "own settings are touched";
    const QString folder = QString(configHome) + "/vapcal/";
    const QString beside = QString::fromStdString(platform::ExecutableDirectory()) + "Vapcal.ini";

    const auto start = [] {
        auto window = std::make_unique<app::TfrmVapcalCalc>();
        window->ExecPortDialog = [](app::TfrmComSelect&) { return app::mrCancel; };
        window->show();
        window->activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(window.get()));
        return window;
    };

    // The first start makes the folder; Apply writes the file there.
    auto window = start();
    ASSERT_TRUE(QFile::exists(folder.chopped(1)));
    window->edtFlow->setFocus(Qt::TabFocusReason);
    QTest::keyClicks(window->edtFlow, "7");
    QTest::keyClick(window->edtFlow, Qt::Key_Tab);
    ASSERT_TRUE(window->btnApply->isEnabled());
    QTest::mouseClick(window->btnApply, Qt::LeftButton);
    QFile saved(folder + "Vapcal.ini");
    ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
    const std::string ini = saved.readAll().toStdString();
    EXPECT_NE(ini.find("Flow=7\n"), std::string::npos) << ini;
    EXPECT_FALSE(QFile::exists(beside));

    // The next start reads it back from there.
    window.reset();
    window = start();
    EXPECT_EQ(window->edtFlow->Text(), "7");
    EXPECT_EQ(window->LastFlowSP, 7.0L);
}

}  // namespace
