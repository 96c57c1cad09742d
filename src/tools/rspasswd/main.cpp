// rspasswd [-f FILE] USER: adds USER to the sec_passwd password file or
// changes its password. The password is read from a no-echo prompt, or from
// standard input when that is not a terminal.

#include "rs/logging/ConfParam.h"
#include "tools/rspasswd/PasswordCommand.h"

#include <CLI/CLI.hpp>

#include <unistd.h>

#include <iostream>

int main(int argc, char** argv)
{
    CLI::App app {
        "Add a user to the password file of the sec_passwd security plug-in, or change its password"
    };
    std::string file;
    std::string user;
    app.add_option("-f,--file", file, "password file (default: the QEL_SEC_CONF parameter)");
    app.add_option("USER", user, "user name")->required();
    CLI11_PARSE(app, argc, argv);

    if (file.empty())
        file = kav::resourceManagerConfParams()("QEL_SEC_CONF").value_or("");
    if (file.empty()) {
        std::cerr << "rspasswd: no password file: give -f FILE or set QEL_SEC_CONF\n";
        return 2;
    }
    const bool interactive = ::isatty(STDIN_FILENO) != 0;
    return rspasswd::setUserPassword(file, user, std::cin, std::cerr, interactive, STDIN_FILENO);
}
