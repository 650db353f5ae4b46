#pragma once
#include <string>

#include "transport/IdWakeSignal.h"

// Finds out whether a server answers a TCP connect at all: resolves AHost (IPv4, as the
// client connects), opens a connection and closes it again at once. True when it answered:
// connected, refused, or the name did not resolve (an activation then reports those in its
// own words). False when ATimeoutMs passed (0 or less: no limit of its own) or ACancel was
// raised first. Blocks; a getaddrinfo under way cannot be cancelled.
bool IdProbeConnect(const std::string& AHost, int APort, int ATimeoutMs,
                    const TIdWakeSignal& ACancel);
