#pragma once
#include <map>
#include <string>

#include "cli/qorCLI_Options.h"

// The servers the window saves, read without Qt from its settings file (QSettings' INI
// format): section [servers], an array of keys "N\name", "N\host", "N\proxy\type", ... and
// "size". Passwords are not in that file.

// $XDG_CONFIG_HOME/qorRCON/qorRCON.ini, ~/.config/qorRCON/qorRCON.ini without it.
std::string SavedServersFile();

// The keys of one section with their values unescaped as QSettings writes them (quoted
// strings, \" \\ \n \t escapes, \xNNNN for characters outside ASCII, a leading @@ for @).
std::map<std::string, std::string> ReadIniSection(const std::string& aText,
                                                  const std::string& aSection);

// One value as QSettings writes it, unescaped.
std::string IniUnescape(const std::string& aValue);

// Fills aSettings from the server saved as aName in aFileName. False (and aError) when the
// file has no such server.
bool LoadSavedServer(const std::string& aFileName, const std::string& aName,
                     TqorCLI_Settings& aSettings, std::string& aError);
