#include "base/IdThreadSafe.h"

#include <mutex>

int32_t TIdThreadSafeInteger::Value() const {
  std::lock_guard<TIdCriticalSection> g(FCriticalSection);
  return FValue;
}

void TIdThreadSafeInteger::SetValue(int32_t aValue) {
  std::lock_guard<TIdCriticalSection> g(FCriticalSection);
  FValue = aValue;
}

int32_t TIdThreadSafeInteger::Increment(int32_t aAmount) {
  return Change(static_cast<uint32_t>(aAmount));
}

int32_t TIdThreadSafeInteger::Decrement(int32_t aAmount) {
  return Change(0u - static_cast<uint32_t>(aAmount));
}

int32_t TIdThreadSafeInteger::Change(uint32_t aDelta) {
  std::lock_guard<TIdCriticalSection> g(FCriticalSection);
  const int32_t old = FValue;
  FValue = static_cast<int32_t>(static_cast<uint32_t>(FValue) + aDelta);  // wraps, never UB
  return old;
}

bool TIdThreadSafeBoolean::Value() const {
  std::lock_guard<TIdCriticalSection> g(FCriticalSection);
  return FValue;
}

void TIdThreadSafeBoolean::SetValue(bool aValue) {
  std::lock_guard<TIdCriticalSection> g(FCriticalSection);
  FValue = aValue;
}

bool TIdThreadSafeBoolean::Toggle() {
  std::lock_guard<TIdCriticalSection> g(FCriticalSection);
  FValue = !FValue;
  return FValue;
}
