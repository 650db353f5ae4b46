#pragma once
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

// Leaves elements that are made without a value uninitialised, as `new T` does: byte arrays that
// a receive or a copy fills at once are not cleared first. Everything else is std::allocator's.
template <class T>
struct TDefaultInitAllocator {
  using value_type = T;

  TDefaultInitAllocator() noexcept = default;
  template <class U>
  TDefaultInitAllocator(const TDefaultInitAllocator<U>&) noexcept {}

  T* allocate(std::size_t n) { return std::allocator<T>().allocate(n); }
  void deallocate(T* p, std::size_t n) noexcept { std::allocator<T>().deallocate(p, n); }

  template <class U>
  void construct(U* p) noexcept(std::is_nothrow_default_constructible_v<U>) {
    ::new (static_cast<void*>(p)) U;
  }
  // A byte array made from a char range converts each char, as std::allocator does inside the
  // standard headers, where the sign-conversion warning is not reported.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wsign-conversion"
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
#pragma GCC diagnostic pop

  template <class U>
  bool operator==(const TDefaultInitAllocator<U>&) const noexcept {
    return true;
  }
};

// The platform's dynamic byte array. TBytes(n) and resize(n) leave the new bytes undefined, for
// the receive path's buffers that a read fills at once; TBytes(n, 0), resize(n, 0) or
// assign(n, 0) where zeros are wanted.
using TBytes = std::vector<uint8_t, TDefaultInitAllocator<uint8_t>>;

// libstdc++ copies element by element when a vector with any allocator but its own grows, about
// twenty times slower than memcpy: byte arrays that grow on a bulk path grow through these.
inline void ReserveBytes(TBytes& VBytes, size_t ACapacity) {
  if (ACapacity <= VBytes.capacity()) return;
  TBytes LGrown;
  LGrown.reserve(ACapacity);
  LGrown.resize(VBytes.size());
  if (!VBytes.empty()) std::memcpy(LGrown.data(), VBytes.data(), VBytes.size());
  VBytes.swap(LGrown);
}

// AData must not point into VBytes: growing may free it first.
inline void AppendBytes(TBytes& VBytes, const uint8_t* AData, size_t ACount) {
  const size_t LSize = VBytes.size();
  if (ACount > VBytes.capacity() - LSize)
    ReserveBytes(VBytes, std::max(LSize + ACount, 2 * VBytes.capacity()));
  VBytes.resize(LSize + ACount);
  if (ACount != 0) std::memcpy(VBytes.data() + LSize, AData, ACount);
}
