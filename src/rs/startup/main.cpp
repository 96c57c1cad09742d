// The daemon's process entry: one Daemon, driven through its four steps.

#include "rs/startup/Daemon.h"
#include "rs/startup/HangUpWatcher.h"

#include <cstdio>
#include <cstdlib>

namespace {

rs::Daemon* theDaemon = new rs::Daemon();

int finishAfterFailure()
{
    try {
        theDaemon->fini();
    } catch (...) {
    }
    return 1;
}

} // namespace

int main(int argc, char* argv[])
{
    if (!theDaemon)
        return 0;
    // Before any library starts a thread, so that only the watcher takes signals.
    rs::HangUpWatcher::blockHangUp();
    try {
        if (!theDaemon->parseArgs(argc, argv) || !theDaemon->initApp())
            return 0;
        theDaemon->startup();
    } catch (...) {
        return finishAfterFailure();
    }
    try {
        theDaemon->fini();
    } catch (...) {
        std::fprintf(stderr, "%s threw exception in cleanup.\n", theDaemon->name().c_str());
        try {
            delete theDaemon;
        } catch (...) {
            return 2;
        }
        return 1;
    }
    delete theDaemon;
    return 0;
}
