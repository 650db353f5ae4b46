#pragma once
#include <array>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>

#include "transport/IdGlobal.h"
#include "transport/IdIPAddress.h"

using TIdStackSocketHandle = int;
constexpr TIdStackSocketHandle Id_INVALID_SOCKET = -1;
constexpr int Id_SOCKET_ERROR = -1;
constexpr int Id_SOCK_STREAM = 1;

// Socket error codes, as they appear in messages and in EIdSocketError::LastError.
constexpr int Id_WSAEINTR = 10004;
constexpr int Id_WSAEBADF = 10009;
constexpr int Id_WSAEACCES = 10013;
constexpr int Id_WSAEFAULT = 10014;
constexpr int Id_WSAEINVAL = 10022;
constexpr int Id_WSAEMFILE = 10024;
constexpr int Id_WSAEWOULDBLOCK = 10035;
constexpr int Id_WSAEINPROGRESS = 10036;
constexpr int Id_WSAEALREADY = 10037;
constexpr int Id_WSAENOTSOCK = 10038;
constexpr int Id_WSAEDESTADDRREQ = 10039;
constexpr int Id_WSAEMSGSIZE = 10040;
constexpr int Id_WSAEPROTOTYPE = 10041;
constexpr int Id_WSAENOPROTOOPT = 10042;
constexpr int Id_WSAEPROTONOSUPPORT = 10043;
constexpr int Id_WSAESOCKTNOSUPPORT = 10044;
constexpr int Id_WSAEOPNOTSUPP = 10045;
constexpr int Id_WSAEPFNOSUPPORT = 10046;
constexpr int Id_WSAEAFNOSUPPORT = 10047;
constexpr int Id_WSAEADDRINUSE = 10048;
constexpr int Id_WSAEADDRNOTAVAIL = 10049;
constexpr int Id_WSAENETDOWN = 10050;
constexpr int Id_WSAENETUNREACH = 10051;
constexpr int Id_WSAENETRESET = 10052;
constexpr int Id_WSAECONNABORTED = 10053;
constexpr int Id_WSAECONNRESET = 10054;
constexpr int Id_WSAENOBUFS = 10055;
constexpr int Id_WSAEISCONN = 10056;
constexpr int Id_WSAENOTCONN = 10057;
constexpr int Id_WSAESHUTDOWN = 10058;
constexpr int Id_WSAETOOMANYREFS = 10059;
constexpr int Id_WSAETIMEDOUT = 10060;
constexpr int Id_WSAECONNREFUSED = 10061;
constexpr int Id_WSAELOOP = 10062;
constexpr int Id_WSAENAMETOOLONG = 10063;
constexpr int Id_WSAEHOSTDOWN = 10064;
constexpr int Id_WSAEHOSTUNREACH = 10065;
constexpr int Id_WSAENOTEMPTY = 10066;
constexpr int Id_WSANOTINITIALISED = 10093;
constexpr int Id_WSATYPE_NOT_FOUND = 10109;
constexpr int Id_WSAHOST_NOT_FOUND = 11001;
constexpr int Id_WSATRY_AGAIN = 11002;
constexpr int Id_WSANO_RECOVERY = 11003;
constexpr int Id_WSANO_DATA = 11004;

// A set of at most 64 sockets with a lock, waited on for readability with poll().
class TIdWakeSignal;

class TIdSocketList {
 public:
  static constexpr int MaxSockets = 64;
  static std::unique_ptr<TIdSocketList> CreateSocketList();

  // Adding beyond 64 sockets raises EIdStackSetSizeExceeded; a socket already held is kept once.
  void Add(TIdStackSocketHandle AHandle);
  // The last entry moves into the freed place.
  void Remove(TIdStackSocketHandle AHandle);
  void Clear();
  int Count() const;
  TIdStackSocketHandle GetItem(int AIndex) const;
  bool ContainsSocket(TIdStackSocketHandle AHandle) const;
  std::unique_ptr<TIdSocketList> Clone() const;

  // Milliseconds, or IdTimeoutInfinite. Readable includes a close by the peer and an error.
  bool SelectRead(int ATimeout = IdTimeoutInfinite);
  // Also hands back the ready sockets as a new list.
  bool SelectReadList(std::unique_ptr<TIdSocketList>& VSocketList,
                      int ATimeout = IdTimeoutInfinite);
  // Waits on up to three lists (nullptr: none) and leaves only the ready sockets in each.
  static bool Select(TIdSocketList* AReadList, TIdSocketList* AWriteList,
                     TIdSocketList* AExceptList, int ATimeout = IdTimeoutInfinite);

 private:
  std::array<TIdStackSocketHandle, MaxSockets> Snapshot(int& VCount) const;
  void Assign(const TIdStackSocketHandle* AHandles, int ACount);

  mutable std::mutex FLock;
  int FCount = 0;
  std::array<TIdStackSocketHandle, MaxSockets> FFDSet{};
};

// The process-wide socket stack. Every TIdComponent and TIdBuffer holds one usage; the
// object exists from the first IncUsage to the matching last DecUsage.
class TIdStack {
 public:
  using TIdStackClass = std::unique_ptr<TIdStack> (*)();

  virtual ~TIdStack() = default;

  static void IncUsage();
  static void DecUsage();
  static int StackUsage();
  // The factory of the stack object made on first use (the BSD stack at start-up).
  static void SetStackClass(TIdStackClass AClass);
  static TIdStackClass StackClass();

  // Socket operations; each failure raises EIdSocketError (EIdNotASocket for 10038).
  virtual TIdStackSocketHandle NewSocketHandle(int ASocketType, int AProtocol,
                                               TIdIPVersion AIPVersion,
                                               bool AOverlapped = false) = 0;
  // An empty AIP binds to the any-address of the family.
  virtual void Bind(TIdStackSocketHandle ASocket, const std::string& AIP, TIdPort APort,
                    TIdIPVersion AIPVersion = Id_IPv4) = 0;
  // ATimeout ms bounds the connect on the calling thread; IdTimeoutInfinite leaves it to the
  // system's own limit. Running out raises EIdConnectTimeout; the socket is then useless.
  // Raising ACancel ends the connect at once with EIdConnectCancelled.
  virtual void Connect(TIdStackSocketHandle ASocket, const std::string& AIP, TIdPort APort,
                       TIdIPVersion AIPVersion = Id_IPv4, int ATimeout = IdTimeoutInfinite,
                       const TIdWakeSignal* ACancel = nullptr) = 0;
  // Shuts down (no linger) or lingers, then closes; never raises.
  virtual void Disconnect(TIdStackSocketHandle ASocket) = 0;
  // AHow: SHUT_RD, SHUT_WR or SHUT_RDWR; the result is ignored.
  virtual void ShutdownSocket(TIdStackSocketHandle ASocket, int AHow) = 0;
  // One receive into the whole array; 0 when the peer has closed.
  virtual int Receive(TIdStackSocketHandle ASocket, TIdBytes& VBuffer) = 0;
  // One send of the clamped range; returns the count accepted.
  virtual int Send(TIdStackSocketHandle ASocket, const TIdBytes& ABuffer, int ASize = -1,
                   int AOffset = 0) = 0;
  // 4-byte options. The send and receive time-outs (SOL_SOCKET, SO_SNDTIMEO / SO_RCVTIMEO)
  // are milliseconds here too, whatever form the platform keeps them in; 0 means none.
  virtual void GetSocketOption(TIdStackSocketHandle ASocket, int ALevel, int AOptName,
                               int& VOptVal) = 0;
  virtual void SetSocketOption(TIdStackSocketHandle ASocket, int ALevel, int AOptName,
                               int AOptVal) = 0;
  virtual void SetKeepAliveValues(TIdStackSocketHandle ASocket, bool AEnabled, int ATimeMS,
                                  int AInterval) = 0;
  // The process-wide linger time in seconds read at every close; negative: no linger option.
  virtual void SetLingerState(int AValue) = 0;
  virtual int LingerState() const = 0;
  virtual void GetSocketName(TIdStackSocketHandle ASocket, std::string& VIP,
                             TIdIPVersion& VIPVersion, TIdPort& VPort) = 0;
  virtual void GetPeerName(TIdStackSocketHandle ASocket, std::string& VIP, TIdIPVersion& VIPVersion,
                           TIdPort& VPort) = 0;
  void GetSocketName(TIdStackSocketHandle ASocket, std::string& VIP, TIdPort& VPort);
  void GetPeerName(TIdStackSocketHandle ASocket, std::string& VIP, TIdPort& VPort);
  virtual int IOControl(TIdStackSocketHandle ASocket, unsigned long ACmd, int& AArg) = 0;
  virtual bool SupportsIPv4() = 0;
  virtual bool SupportsIPv6() = 0;

  // Names and addresses.
  // With ACancel, a lookup runs on a helper thread and raising ACancel ends the wait at once
  // (EIdConnectCancelled); the helper finishes on its own.
  std::string ResolveHost(const std::string& AHost, TIdIPVersion AIPVersion = Id_IPv4,
                          const TIdWakeSignal* ACancel = nullptr);
  virtual std::string LookupHostAddress(const std::string& AHost, TIdIPVersion AIPVersion) = 0;
  virtual std::string HostByAddress(const std::string& AAddress,
                                    TIdIPVersion AIPVersion = Id_IPv4) = 0;
  // The local host name; empty when it cannot be read.
  virtual std::string HostName() = 0;
  bool IsIP(const std::string& AText) const { return IsIPv4Text(AText); }

  // Errors, as socket error codes.
  virtual int WSGetLastError() = 0;
  // The error of the last call made on ASocket. A send or receive whose time-out ran out on
  // a blocking socket reports 10060 (timed out), as it does on Windows, not 10035.
  virtual int WSGetLastError(TIdStackSocketHandle ASocket) = 0;
  virtual void WSSetLastError(int AErr) = 0;
  static std::string WSTranslateSocketErrorMsg(int AErr);
  [[noreturn]] static void RaiseSocketError(int AErr);
  [[noreturn]] void RaiseLastSocketError();
  int CheckForSocketError(int AResult);
  // Returns the error code instead of raising when it is one of AIgnore.
  int CheckForSocketError(int AResult, std::initializer_list<int> AIgnore);
  // The same for a call made on ASocket, whose error is read with WSGetLastError(ASocket).
  int CheckForSocketError(TIdStackSocketHandle ASocket, int AResult,
                          std::initializer_list<int> AIgnore = {});

  // Byte order (network order is big-endian).
  static uint16_t HostToNetwork(uint16_t AValue);
  static uint32_t HostToNetwork(uint32_t AValue);
  static uint64_t HostToNetwork(uint64_t AValue);
  static TIdIPv6Address HostToNetwork(const TIdIPv6Address& AValue);
  static uint16_t NetworkToHost(uint16_t AValue) { return HostToNetwork(AValue); }
  static uint32_t NetworkToHost(uint32_t AValue) { return HostToNetwork(AValue); }
  static uint64_t NetworkToHost(uint64_t AValue) { return HostToNetwork(AValue); }
  static TIdIPv6Address NetworkToHost(const TIdIPv6Address& AValue) {
    return HostToNetwork(AValue);
  }
};

// The stack object; valid while the caller holds a usage.
TIdStack* GStack();
