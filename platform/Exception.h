#pragma once
#include <exception>
#include <string>

// Root of every exception the system raises. The message is mutable so that
// handlers may add context before re-raising.
class Exception : public std::exception {
 public:
  Exception() = default;
  explicit Exception(std::string aMessage) : FMessage(std::move(aMessage)) {}
  ~Exception() override = default;

  const std::string& Message() const { return FMessage; }
  void SetMessage(std::string aMessage) { FMessage = std::move(aMessage); }
  const char* what() const noexcept override { return FMessage.c_str(); }
  virtual const char* ClassName() const { return "Exception"; }
  // An independent copy of the most derived class, for handing to another thread (a class
  // declared without QOR_DECLARE_EXCEPTION overrides it too).
  virtual std::exception_ptr Clone() const { return std::make_exception_ptr(*this); }

 private:
  std::string FMessage;
};

// Inside an exception class written by hand (one with fields): its name and its Clone, which
// go together so that neither is forgotten. tests/rcon/ExceptionCloneTest.cpp checks every
// class of the tree.
#define QOR_EXCEPTION_CLASS(Name)             \
  const char* ClassName() const override {    \
    return #Name;                             \
  }                                           \
  std::exception_ptr Clone() const override { \
    return std::make_exception_ptr(*this);    \
  }

// Declares an exception class that keeps its base's constructors and reports its own name.
#define QOR_DECLARE_EXCEPTION(Name, Base) \
  class Name : public Base {              \
   public:                                \
    using Base::Base;                     \
    QOR_EXCEPTION_CLASS(Name)             \
  }

// Conversion failures: "'%s' is not a valid integer value", "Cannot assign a %s to a %s".
QOR_DECLARE_EXCEPTION(EConvertError, Exception);
// List failures: "List index out of bounds (%d)", "List does not allow duplicates ($0%x)".
QOR_DECLARE_EXCEPTION(EListError, Exception);
QOR_DECLARE_EXCEPTION(EArgumentException, Exception);
QOR_DECLARE_EXCEPTION(EOSError, Exception);

[[noreturn]] void ListIndexError(int aIndex);
[[noreturn]] void ListDuplicateError(const void* aItem);

// Class name of any caught exception: ClassName() for ours, a readable fallback otherwise.
const char* ExceptionClassName(const std::exception& E);
