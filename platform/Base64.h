#pragma once
#include <string>

#include "platform/Types.h"

// RFC 4648 Base64 with the standard alphabet, "=" fill and no line breaks.
std::string EncodeBase64(const TBytes& aBytes);
// Raises EConvertError "Invalid Base64 text" for anything but canonical padded text.
TBytes DecodeBase64(const std::string& aText);
