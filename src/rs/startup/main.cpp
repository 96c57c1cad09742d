// The daemon's process entry: one Daemon, driven through its four steps.

#include "common/KavErrorInfo.h"
#include "rs/startup/Daemon.h"
#include "rs/startup/HangUpWatcher.h"
#include "rs/startup/HeapSettings.h"

#include <cstdio>
#include <cstdlib>

namespace {

rs::Daemon* theDaemon = new rs::Daemon();

// Called inside a catch block: our exceptions are thrown as pointers, so
// absorbing one (its record stays as the thread's error) is what frees it.
void releaseCurrentException()
{
    kav::absorbCurrentException(__FILE__, __LINE__);
}

int finishAfterFailure()
{
    try {
        theDaemon->fini();
    } catch (...) {
        releaseCurrentException();
    }
    return 1;
}

} // namespace

int main(int argc, char* argv[])
{
    if (!theDaemon)
        return 0;
    // Before any library starts a thread, so that only the watcher takes
    // signals and every thread's arena follows the heap settings.
    rs::keepHeapInOneArena();
    rs::HangUpWatcher::blockHangUp();
    try {
        if (!theDaemon->parseArgs(argc, argv) || !theDaemon->initApp())
            return 0;
        theDaemon->startup();
    } catch (...) {
        releaseCurrentException();
        return finishAfterFailure();
    }
    try {
        theDaemon->fini();
    } catch (...) {
        releaseCurrentException();
        std::fprintf(stderr, "%s threw exception in cleanup.\n", theDaemon->name().c_str());
        try {
            delete theDaemon;
        } catch (...) {
            releaseCurrentException();
            return 2;
        }
        return 1;
    }
    delete theDaemon;
    return 0;
}
