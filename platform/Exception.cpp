#include "platform/Exception.h"

#include <cstdint>

#include "platform/SysUtils.h"

void ListIndexError(int aIndex) {
  throw EListError(Format("List index out of bounds (%d)", aIndex));
}

void ListDuplicateError(const void* aItem) {
  // The full pointer width: a 32-bit cut would make distinct references read alike.
  throw EListError(
      Format("List does not allow duplicates ($0%llx)",
             static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(aItem))));
}

const char* ExceptionClassName(const std::exception& E) {
  if (auto* e = dynamic_cast<const Exception*>(&E)) return e->ClassName();
  return "std::exception";
}
