#pragma once
#include <string>

// Minecraft's colour and style codes (the section sign U+00A7 and one of 0-9 a-f k-o r, either
// case) as ANSI escape sequences. A colour ends the styles before it, as in the game; a text
// that used any code ends with a reset. Other section signs stay as they are.
std::string ColoursToANSI(const std::string& aText);
// The same codes taken out.
std::string StripColours(const std::string& aText);

// A JSON string literal of aText (UTF-8 passes through, control characters are escaped).
std::string JsonString(const std::string& aText);
// One answer as one line of JSON: command (null for a packet nobody asked for), answer,
// packets, milliseconds.
std::string JsonAnswer(const std::string* aCommand, const std::string& aAnswer, int aPackets,
                       double aMilliseconds);
