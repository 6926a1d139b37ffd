// Shorthands for the entries the library writes (level 1 unless a trace).
#pragma once

#include <QoKivZelUt/ZelLog.h>

#define ZEL_LOG_ERROR ZelLogStream(1, L'E', false)
#define ZEL_LOG_WARNING ZelLogStream(1, L'W', false)
#define ZEL_LOG_INFO ZelLogStream(1, L' ', false)
#define ZEL_LOG_TRACE ZelLogStream(3, L' ', false)
#define ZEL_LOG_DEBUG ZelLogStream(1, L' ', true)
