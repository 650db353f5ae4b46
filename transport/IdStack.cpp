#include "transport/IdStack.h"

#include <poll.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <chrono>
#include <exception>
#include <thread>
#include <vector>

#include "platform/SysUtils.h"
#include "transport/IdException.h"
#include "transport/IdStackBSDBase.h"
#include "transport/IdWakeSignal.h"

namespace {

struct TStackState {
  std::mutex Lock;
  int Usage = 0;
  TIdStack::TIdStackClass Class = &CreateBSDStack;
  std::unique_ptr<TIdStack> Owned;
  // A detached thread (the window's connect probe) may have used the stack last: its end is
  // seen only through the lock.
  ~TStackState() {
    std::lock_guard<std::mutex> LGuard(Lock);
    Owned.reset();
  }
};

TStackState& State() {
  static TStackState LState;
  return LState;
}

std::atomic<TIdStack*> GStackObject{nullptr};

struct TErrorText {
  int Code;
  const char* Text;
};

constexpr TErrorText CErrorTexts[] = {
    {Id_WSAEINTR, "Interrupted system call."},
    {Id_WSAEBADF, "Bad file number."},
    {Id_WSAEACCES, "Access denied."},
    {Id_WSAEFAULT, "Buffer fault."},
    {Id_WSAEINVAL, "Invalid argument."},
    {Id_WSAEMFILE, "Too many open files."},
    {Id_WSAEWOULDBLOCK, "Operation would block."},
    {Id_WSAEINPROGRESS, "Operation now in progress."},
    {Id_WSAEALREADY, "Operation already in progress."},
    {Id_WSAENOTSOCK, "Socket operation on non-socket."},
    {Id_WSAEDESTADDRREQ, "Destination address required."},
    {Id_WSAEMSGSIZE, "Message too long."},
    {Id_WSAEPROTOTYPE, "Protocol wrong type for socket."},
    {Id_WSAENOPROTOOPT, "Bad protocol option."},
    {Id_WSAEPROTONOSUPPORT, "Protocol not supported."},
    {Id_WSAESOCKTNOSUPPORT, "Socket type not supported."},
    {Id_WSAEOPNOTSUPP, "Operation not supported on socket."},
    {Id_WSAEPFNOSUPPORT, "Protocol family not supported."},
    {Id_WSAEAFNOSUPPORT, "Address family not supported by protocol family."},
    {Id_WSAEADDRINUSE, "Address already in use."},
    {Id_WSAEADDRNOTAVAIL, "Cannot assign requested address."},
    {Id_WSAENETDOWN, "Network is down."},
    {Id_WSAENETUNREACH, "Network is unreachable."},
    {Id_WSAENETRESET, "Net dropped connection or reset."},
    {Id_WSAECONNABORTED, "Software caused connection abort."},
    {Id_WSAECONNRESET, "Connection reset by peer."},
    {Id_WSAENOBUFS, "No buffer space available."},
    {Id_WSAEISCONN, "Socket is already connected."},
    {Id_WSAENOTCONN, "Socket is not connected."},
    {Id_WSAESHUTDOWN, "Cannot send or receive after socket is closed."},
    {Id_WSAETOOMANYREFS, "Too many references, cannot splice."},
    {Id_WSAETIMEDOUT, "Connection timed out."},
    {Id_WSAECONNREFUSED, "Connection refused."},
    {Id_WSAELOOP, "Too many levels of symbolic links."},
    {Id_WSAENAMETOOLONG, "File name too long."},
    {Id_WSAEHOSTDOWN, "Host is down."},
    {Id_WSAEHOSTUNREACH, "No route to host."},
    {Id_WSAENOTEMPTY, "Directory not empty"},
    {Id_WSAHOST_NOT_FOUND, "Host not found."},
};

}  // namespace

TIdStack* GStack() {
  return GStackObject.load(std::memory_order_acquire);
}

void TIdStack::IncUsage() {
  TStackState& LState = State();
  std::lock_guard<std::mutex> LGuard(LState.Lock);
  if (LState.Usage == 0) {
    if (!LState.Class) throw EIdStackError(RSStackClassUndefined);
    LState.Owned = LState.Class();
    GStackObject.store(LState.Owned.get(), std::memory_order_release);
  }
  ++LState.Usage;
}

void TIdStack::DecUsage() {
  TStackState& LState = State();
  std::lock_guard<std::mutex> LGuard(LState.Lock);
  if (LState.Usage > 0 && --LState.Usage == 0) {
    GStackObject.store(nullptr, std::memory_order_release);
    LState.Owned.reset();
  }
}

int TIdStack::StackUsage() {
  TStackState& LState = State();
  std::lock_guard<std::mutex> LGuard(LState.Lock);
  return LState.Usage;
}

void TIdStack::SetStackClass(TIdStackClass AClass) {
  TStackState& LState = State();
  std::lock_guard<std::mutex> LGuard(LState.Lock);
  LState.Class = AClass;
}

TIdStack::TIdStackClass TIdStack::StackClass() {
  TStackState& LState = State();
  std::lock_guard<std::mutex> LGuard(LState.Lock);
  return LState.Class;
}

void TIdStack::GetSocketName(TIdStackSocketHandle ASocket, std::string& VIP, TIdPort& VPort) {
  TIdIPVersion LVersion;
  GetSocketName(ASocket, VIP, LVersion, VPort);
}

void TIdStack::GetPeerName(TIdStackSocketHandle ASocket, std::string& VIP, TIdPort& VPort) {
  TIdIPVersion LVersion;
  GetPeerName(ASocket, VIP, LVersion, VPort);
}

namespace {

// A lookup cannot be interrupted: a cancelled wait leaves it to finish on its helper, which
// holds the stack (and this record) until then. The helper lets go of the stack before it
// reports, so a waiter that ends the process next finds no user of the stack left.
std::string LookupCancellable(const std::string& AHost, TIdIPVersion AIPVersion,
                              const TIdWakeSignal& ACancel) {
  struct TLookup {
    TIdWakeSignal Done;
    std::mutex Lock;  // orders the result for the waiter; the signal alone does not
    std::string Address;
    std::exception_ptr Error;
  };
  if (ACancel.Raised()) throw EIdConnectCancelled(RSConnectCancelled);
  auto LLookup = std::make_shared<TLookup>();
  TIdStack::IncUsage();
  std::thread([LLookup, AHost, AIPVersion] {
    std::string LAddress;
    std::exception_ptr LError;
    try {
      LAddress = GStack()->LookupHostAddress(AHost, AIPVersion);
    } catch (...) {
      LError = std::current_exception();
    }
    TIdStack::DecUsage();
    {
      std::lock_guard<std::mutex> LGuard(LLookup->Lock);
      LLookup->Address = std::move(LAddress);
      LLookup->Error = LError;
    }
    LLookup->Done.Raise();
  }).detach();
  if (!ACancel.WaitOther(LLookup->Done)) throw EIdConnectCancelled(RSConnectCancelled);
  std::lock_guard<std::mutex> LGuard(LLookup->Lock);
  if (LLookup->Error) std::rethrow_exception(LLookup->Error);
  return LLookup->Address;
}

}  // namespace

std::string TIdStack::ResolveHost(const std::string& AHost, TIdIPVersion AIPVersion,
                                  const TIdWakeSignal* ACancel) {
  switch (AIPVersion) {
    case Id_IPv4:
      if (SameText(AHost, "LOCALHOST")) return "127.0.0.1";
      if (IsIP(AHost)) return AHost;
      break;
    case Id_IPv6: {
      if (SameText(AHost, "LOCALHOST")) return "::1";
      std::string LCanonical = CanonicalIPv6(AHost);
      if (!LCanonical.empty()) return LCanonical;
      break;
    }
    default:
      throw EIdIPVersionUnsupported(RSIPVersionUnsupported);
  }
  return ACancel ? LookupCancellable(AHost, AIPVersion, *ACancel)
                 : LookupHostAddress(AHost, AIPVersion);
}

std::string TIdStack::WSTranslateSocketErrorMsg(int AErr) {
  const auto LEntry = std::find_if(std::begin(CErrorTexts), std::end(CErrorTexts),
                                   [AErr](const TErrorText& E) { return E.Code == AErr; });
  return Format(RSStackError, AErr, LEntry == std::end(CErrorTexts) ? "" : LEntry->Text);
}

void TIdStack::RaiseSocketError(int AErr) {
  if (AErr == Id_WSAENOTSOCK) throw EIdNotASocket(AErr, WSTranslateSocketErrorMsg(AErr));
  throw EIdSocketError(AErr, WSTranslateSocketErrorMsg(AErr));
}

void TIdStack::RaiseLastSocketError() {
  RaiseSocketError(WSGetLastError());
}

int TIdStack::CheckForSocketError(int AResult) {
  if (AResult == Id_SOCKET_ERROR) RaiseLastSocketError();
  return AResult;
}

namespace {
int IgnoredOrRaise(int AErr, std::initializer_list<int> AIgnore) {
  if (std::find(AIgnore.begin(), AIgnore.end(), AErr) != AIgnore.end()) return AErr;
  TIdStack::RaiseSocketError(AErr);
}
}  // namespace

int TIdStack::CheckForSocketError(int AResult, std::initializer_list<int> AIgnore) {
  if (AResult != Id_SOCKET_ERROR) return AResult;
  return IgnoredOrRaise(WSGetLastError(), AIgnore);
}

int TIdStack::CheckForSocketError(TIdStackSocketHandle ASocket, int AResult,
                                  std::initializer_list<int> AIgnore) {
  if (AResult != Id_SOCKET_ERROR) return AResult;
  return IgnoredOrRaise(WSGetLastError(ASocket), AIgnore);
}

uint16_t TIdStack::HostToNetwork(uint16_t AValue) {
  if constexpr (std::endian::native == std::endian::little) return __builtin_bswap16(AValue);
  return AValue;
}

uint32_t TIdStack::HostToNetwork(uint32_t AValue) {
  if constexpr (std::endian::native == std::endian::little) return __builtin_bswap32(AValue);
  return AValue;
}

uint64_t TIdStack::HostToNetwork(uint64_t AValue) {
  if constexpr (std::endian::native == std::endian::little) return __builtin_bswap64(AValue);
  return AValue;
}

TIdIPv6Address TIdStack::HostToNetwork(const TIdIPv6Address& AValue) {
  TIdIPv6Address LResult;
  std::transform(AValue.begin(), AValue.end(), LResult.begin(),
                 [](uint16_t W) { return HostToNetwork(W); });
  return LResult;
}

// TIdSocketList

std::unique_ptr<TIdSocketList> TIdSocketList::CreateSocketList() {
  return std::make_unique<TIdSocketList>();
}

void TIdSocketList::Add(TIdStackSocketHandle AHandle) {
  std::lock_guard<std::mutex> LGuard(FLock);
  if (std::find(FFDSet.begin(), FFDSet.begin() + FCount, AHandle) != FFDSet.begin() + FCount) {
    return;
  }
  if (FCount >= MaxSockets) throw EIdStackSetSizeExceeded(RSSetSizeExceeded);
  FFDSet[static_cast<size_t>(FCount++)] = AHandle;  // below MaxSockets, checked above
}

void TIdSocketList::Remove(TIdStackSocketHandle AHandle) {
  std::lock_guard<std::mutex> LGuard(FLock);
  for (size_t i = 0; i < static_cast<size_t>(FCount); ++i) {
    if (FFDSet[i] == AHandle) {
      FFDSet[i] = FFDSet[static_cast<size_t>(--FCount)];
      return;
    }
  }
}

void TIdSocketList::Clear() {
  std::lock_guard<std::mutex> LGuard(FLock);
  FCount = 0;
}

int TIdSocketList::Count() const {
  std::lock_guard<std::mutex> LGuard(FLock);
  return FCount;
}

TIdStackSocketHandle TIdSocketList::GetItem(int AIndex) const {
  std::lock_guard<std::mutex> LGuard(FLock);
  if (AIndex < 0 || AIndex >= FCount) throw EIdStackSetSizeExceeded(RSSetSizeExceeded);
  return FFDSet[static_cast<size_t>(AIndex)];
}

bool TIdSocketList::ContainsSocket(TIdStackSocketHandle AHandle) const {
  std::lock_guard<std::mutex> LGuard(FLock);
  return std::find(FFDSet.begin(), FFDSet.begin() + FCount, AHandle) != FFDSet.begin() + FCount;
}

std::unique_ptr<TIdSocketList> TIdSocketList::Clone() const {
  auto LClone = CreateSocketList();
  int LCount;
  const auto LHandles = Snapshot(LCount);
  LClone->Assign(LHandles.data(), LCount);
  return LClone;
}

std::array<TIdStackSocketHandle, TIdSocketList::MaxSockets> TIdSocketList::Snapshot(
    int& VCount) const {
  std::lock_guard<std::mutex> LGuard(FLock);
  VCount = FCount;
  return FFDSet;
}

void TIdSocketList::Assign(const TIdStackSocketHandle* AHandles, int ACount) {
  std::lock_guard<std::mutex> LGuard(FLock);
  std::copy(AHandles, AHandles + ACount, FFDSet.begin());
  FCount = ACount;
}

bool TIdSocketList::SelectRead(int ATimeout) {
  std::unique_ptr<TIdSocketList> LReady;
  return SelectReadList(LReady, ATimeout);
}

bool TIdSocketList::SelectReadList(std::unique_ptr<TIdSocketList>& VSocketList, int ATimeout) {
  VSocketList = Clone();
  return Select(VSocketList.get(), nullptr, nullptr, ATimeout);
}

bool TIdSocketList::Select(TIdSocketList* AReadList, TIdSocketList* AWriteList,
                           TIdSocketList* AExceptList, int ATimeout) {
  struct TWatch {
    TIdSocketList* List;
    short Events;
    short Ready;
  };
  const TWatch LWatches[] = {
      {AReadList, POLLIN, POLLIN | POLLHUP | POLLERR | POLLNVAL},
      {AWriteList, POLLOUT, POLLOUT | POLLHUP | POLLERR | POLLNVAL},
      {AExceptList, POLLPRI, POLLPRI},
  };
  std::vector<pollfd> LFds;
  std::vector<std::pair<int, size_t>> LOrigin;  // (watch index, pollfd index) per entry
  for (int w = 0; w < 3; ++w) {
    if (!LWatches[w].List) continue;
    int LCount;
    const auto LHandles = LWatches[w].List->Snapshot(LCount);
    for (size_t i = 0; i < static_cast<size_t>(LCount); ++i) {
      LFds.push_back({LHandles[i], LWatches[w].Events, 0});
      LOrigin.emplace_back(w, LFds.size() - 1);
    }
  }

  // poll() takes -1 for "no limit"; an interrupted wait resumes with the time that is left.
  const auto LDeadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ATimeout);
  int LResult;
  for (;;) {
    int LWait = ATimeout;
    if (ATimeout == IdTimeoutInfinite) {
      LWait = -1;
    } else if (ATimeout > 0) {
      LWait = static_cast<int>(std::max<int64_t>(
          0, std::chrono::duration_cast<std::chrono::milliseconds>(LDeadline -
                                                                   std::chrono::steady_clock::now())
                 .count()));
    }
    LResult = ::poll(LFds.data(), LFds.size(), LWait);
    if (LResult >= 0 || errno != EINTR) break;
  }
  if (LResult < 0) GStack()->RaiseLastSocketError();

  for (int w = 0; w < 3; ++w) {
    if (!LWatches[w].List) continue;
    std::array<TIdStackSocketHandle, MaxSockets> LReady;
    int LCount = 0;
    for (const auto& [LWatch, LIndex] : LOrigin) {
      if (LWatch == w && (LFds[LIndex].revents & LWatches[w].Ready)) {
        LReady[static_cast<size_t>(LCount++)] = LFds[LIndex].fd;
      }
    }
    LWatches[w].List->Assign(LReady.data(), LCount);
  }
  return LResult > 0;
}
