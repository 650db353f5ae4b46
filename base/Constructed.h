#pragma once
#include <utility>

// C++ runs no override from a base constructor or destructor, so work that needs the whole
// object (a component's InitComponentDefaults, a thread's start, a thread's stop before its
// derived members die) runs in this most-derived wrapper instead: AfterConstruction once the
// full constructor chain has run, BeforeDestruction before any destructor runs.
//
// Components rooted in TIdInitializerComponent and threads rooted in TIdThread have
// protected constructors and are made with New<T>(...). Give descendants protected
// constructors too, so that a plain `new` does not compile.
template <class T>
class TConstructed final : public T {
 public:
  template <class... Args>
  explicit TConstructed(Args&&... aArgs) : T(std::forward<Args>(aArgs)...) {
    this->AfterConstruction();
  }
  ~TConstructed() override { this->BeforeDestruction(); }
};

// Heap-allocates a T (owned by the caller, or by its TComponent owner when it has one).
template <class T, class... Args>
T* New(Args&&... aArgs) {
  return new TConstructed<T>(std::forward<Args>(aArgs)...);
}
