#pragma once
#include <QString>

// Passwords kept in the desktop's secret store (the Secret Service through QtKeychain), under
// the service "qorRCON" and a key such as "<server name>/rcon". Each call waits for the store's
// answer (it may ask the operator to unlock it) while the event loop runs.
namespace qorRCONSecrets {

constexpr const char* Service = "qorRCON";

// True with aValue when the store has aKey; false when it has not or cannot be reached
// (aError then says why; it stays empty for a key that is not there).
bool Read(const QString& aKey, QString& aValue, QString& aError);
bool Write(const QString& aKey, const QString& aValue, QString& aError);
// True also when there was nothing to remove.
bool Remove(const QString& aKey, QString& aError);

}  // namespace qorRCONSecrets
