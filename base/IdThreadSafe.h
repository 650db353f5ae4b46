#pragma once
#include <cstdint>

#include "base/qorWebSocket_Classes_SyncObjs.h"

// The transport's plain recursive lock is the same object as the component one.
using TIdCriticalSection = TqorCriticalSection;

// A value that takes its own lock for every access.
class TIdThreadSafe {
 public:
  void Lock() { FCriticalSection.Acquire(); }
  void Unlock() { FCriticalSection.Release(); }

 protected:
  mutable TIdCriticalSection FCriticalSection;
};

class TIdThreadSafeInteger : public TIdThreadSafe {
 public:
  int32_t Value() const;
  void SetValue(int32_t aValue);
  // Each yields the value held before the change.
  int32_t Increment(int32_t aAmount = 1);
  int32_t Decrement(int32_t aAmount = 1);

 private:
  int32_t Change(uint32_t aDelta);
  int32_t FValue = 0;
};

class TIdThreadSafeBoolean : public TIdThreadSafe {
 public:
  bool Value() const;
  void SetValue(bool aValue);
  bool Toggle();  // yields the new value

 private:
  bool FValue = false;
};
