#pragma once
// The logic of "rspasswd": read a new password for a user and store its hash
// in the sec_passwd password file. Kept apart from main() so that the admin
// tool can offer the same command.
//
// Single-threaded; the password never reaches any output.

#include <iosfwd>
#include <string>

namespace rspasswd {

// Reads one password line from in (without its line end). When interactive,
// prompts on err, turns terminal echo off for terminalFd while reading, and
// asks twice; a mismatch is a failure. Returns false with a message on err
// when no password could be read.
bool readPassword(
    std::istream& in, std::ostream& err, bool interactive, int terminalFd, std::string& password);

// Sets user's password in file. Returns the process exit status (0 on
// success) and writes what went wrong to err.
int setUserPassword(const std::string& file, const std::string& user, std::istream& in, std::ostream& err,
    bool interactive, int terminalFd);

} // namespace rspasswd
