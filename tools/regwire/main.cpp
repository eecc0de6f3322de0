// regwire: a Modbus master and server for commissioning a serial line, on the
// console's own Modbus library.
#include <QCoreApplication>
#include <iostream>

#include "messages.h"
#include "options.h"
#include "session.h"

using namespace regwire::tool;

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    const std::vector<std::string> words(argv + 1, argv + argc);
    for (const std::string& word : words) {
        if (word == "-h" || word == "--help") {
            std::cout << UsageText;
            return esSuccess;
        }
    }
    TToolOptions options;
    try {
        options = ParseCommandLine(words);
    } catch (const EUsageError& e) {
        std::cerr << "regwire: " << e.what() << "; " << msg::UsageHint << std::endl;
        return esUsage;
    }
    InstallInterruptHandlers();
    if (options.Command == TToolCommand::Serve)
        return RunServer(options, std::cerr);
    return RunMaster(options, std::cout, std::cerr);
}
