#pragma once
#include <functional>
#include <string>

#include "platform/Component.h"
#include "tcp_client/qorSocket_Classes.h"
#include "tls/IdSSL.h"

// The one place that knows the TLS handler classes: the TCP client asks for a handler by
// TLSOptions.IOHandler and then uses it only through the layer interface of its I/O handler.
// A new provider adds its maker here and nowhere else.

using TqorTLSPasswordEvent = std::function<void(std::string& aPassword)>;

// A handler of the kind AOptions.IOHandler names, owned by aOwner, configured from aOptions,
// with TLS on (PassThrough False). aOnPassword answers a key file's password. Raises
// EIdException "TLS is not supported by this build; no connection was made." for a kind this
// build has no handler for.
TIdSSLIOHandlerSocketBase* CreateTLSHandler(TComponent* aOwner,
                                            const TqorSocketTLS_Options& aOptions,
                                            TqorTLSPasswordEvent aOnPassword);
