// The one application object of the app tests, whichever test runs first.
#pragma once

#include "app/application.h"

inline app::TApplication& App() {
    static int argc = 1;
    static char name[] = "app_tests";
    static char* argv[] = {name, nullptr};
    // Never destroyed: the application must outlive every static of Qt's
    // that the test process tears down at exit.
    static auto* application = new app::TApplication(argc, argv);
    return *application;
}
