// rsadmin: the operator's command-line tool of the repository service.
#include "tools/rsadmin/AdminApp.h"
#include "zephcomm/router/DriverLoader.h"

#include <log4cxx/logger.h>
#include <unistd.h>

#include <iostream>
#include <thread>

int main(int argc, char** argv)
{
    // The libraries log through log4cxx; the tool reports on stderr itself.
    log4cxx::Logger::getRootLogger()->setLevel(log4cxx::Level::getOff());
    rsadmin::AdminIo io { std::cin, std::cout, std::cerr };
    io.inIsTerminal = ::isatty(STDIN_FILENO) != 0;
    io.outIsTerminal = ::isatty(STDOUT_FILENO) != 0;
    io.errIsTerminal = ::isatty(STDERR_FILENO) != 0;
    io.terminalFd = STDIN_FILENO;
    io.getenv = rsadmin::processEnvironment;
    io.pause = [](std::chrono::milliseconds interval) { std::this_thread::sleep_for(interval); };
    const int status = rsadmin::runAdmin(std::vector<std::string>(argv + 1, argv + argc), io);
    // Stop the driver's threads before static destructors take the logging
    // library away from under them.
    zephcomm::fini();
    return status;
}
