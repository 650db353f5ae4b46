#pragma once
#include "platform/Exception.h"

// Root of every socket-transport failure.
QOR_DECLARE_EXCEPTION(EIdException, Exception);

QOR_DECLARE_EXCEPTION(EIdThreadException, EIdException);
QOR_DECLARE_EXCEPTION(EIdThreadTerminateAndWaitFor, EIdThreadException);
