#pragma once
// The driver's one logging entry point: every line names the source
// "TCPdriver" and its line, and costs nothing when the logger is disabled.

#include "zephcomm/driver/zephcommdrv.h"

#define TCPDRV_LOG(logger, ...)                                                                              \
    do {                                                                                                     \
        ::zephcommdrv::Logger* drvLogger_ = (logger);                                                        \
        if (drvLogger_ && drvLogger_->isEnabled())                                                           \
            drvLogger_->log("TCPdriver", __LINE__, __VA_ARGS__);                                             \
    } while (0)
