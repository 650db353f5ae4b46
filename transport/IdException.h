#pragma once
#include <string>

#include "base/IdException.h"

// Fixed texts of the transport's failures.
constexpr const char* RSConnectionClosedGracefully = "Connection Closed Gracefully.";
constexpr const char* RSPackageSizeTooBig = "Package Size Too Big.";
constexpr const char* RSNotAllBytesSent = "Not all bytes sent.";
constexpr const char* RSCouldNotBindSocket = "Could not bind socket.";
constexpr const char* RSCannotBindRange = "Can not bind in port range (%d - %d)";
constexpr const char* RSInvalidPortRange = "Invalid Port Range (%d - %d)";
constexpr const char* RSCannotSetIPVersionWhenConnected = "Cannot change IPVersion when connected";
constexpr const char* RSAlreadyConnected = "Already connected.";
constexpr const char* RSStatusDisconnected = "Disconnected.";
constexpr const char* RSReadTimeout = "Read timed out.";
constexpr const char* RSReadLnMaxLineLengthExceeded = "Max line length exceeded.";
constexpr const char* RSReadLnWaitMaxAttemptsExceeded = "Max line read attempts exceeded.";
constexpr const char* RSPortRequired = "A Port is required";
constexpr const char* RSHostRequired = "A Host is required";
constexpr const char* RSObjectTypeNotSupported = "Object type not supported.";
constexpr const char* RSNoDataToRead = "No data to read.";
constexpr const char* RSFileNotFound = "File \"%s\" not found";
constexpr const char* RSNotConnected = "Not Connected";
constexpr const char* RSConnectTimeout = "Connect timed out.";
constexpr const char* RSConnectCancelled = "Connect cancelled.";
constexpr const char* RSMaximumNumberOfCaptureLineExceeded =
    "Maximum number of line allowed exceeded";
constexpr const char* RSInterceptCircularLink = "%s: Circular links are not allowed";
constexpr const char* RSRequiresLargeStream =
    "Set LargeStream to True to send streams greater than 2GB";
constexpr const char* RSDataTooLarge = "Data is too large for stream";
constexpr const char* RSNotEnoughDataInBuffer = "Not enough data in buffer. (%d/%d)";
constexpr const char* RSTooMuchDataInBuffer = "Too much data in buffer.";
constexpr const char* RSInvalidIPv6Address = "%s is not a valid IPv6 address";
constexpr const char* RSStackError = "Socket Error # %d\r\n%s";
constexpr const char* RSStackAlreadyCreated = "Stack already created.";
constexpr const char* RSStackClassUndefined = "Stack Class is undefined.";
constexpr const char* RSIPVersionUnsupported =
    "The requested IPVersion / Address family is not supported.";
constexpr const char* RSSetSizeExceeded = "Set Size Exceeded.";
constexpr const char* RSInvalidServiceName = "%s is not a valid service.";
constexpr const char* RSWinsockLoadError = "Error on loading Winsock2 library (%s)";
constexpr const char* RSWinsockCallError = "Error on call to Winsock2 library function %s";
constexpr const char* RSIOHandlerCannotChange = "Cannot change a connected IOHandler.";
constexpr const char* RSIOHandlerTypeNotInstalled = "No IOHandler of type %s is installed.";
constexpr const char* RSInterceptIsDifferent =
    "The IOHandler already has a different Intercept assigned";
constexpr const char* RSBufferMissingTerminator = "Buffer terminator must be specified.";
constexpr const char* RSBufferInvalidStartPos = "Buffer start position is invalid.";
constexpr const char* RSBufferEmpty = "No bytes in buffer.";
constexpr const char* RSBufferIndexOutOfBounds = "Index out of bounds.";
constexpr const char* RSBufferCapacityBelowSize = "Capacity cannot be smaller than Size";

QOR_DECLARE_EXCEPTION(EIdSilentException, EIdException);
QOR_DECLARE_EXCEPTION(EIdConnClosedGracefully, EIdSilentException);
// A connect ended by its cancel signal: the party that cancelled it expects no report.
QOR_DECLARE_EXCEPTION(EIdConnectCancelled, EIdSilentException);

QOR_DECLARE_EXCEPTION(EIdSocketHandleError, EIdException);
QOR_DECLARE_EXCEPTION(EIdPackageSizeTooBig, EIdSocketHandleError);
QOR_DECLARE_EXCEPTION(EIdNotAllBytesSent, EIdSocketHandleError);
QOR_DECLARE_EXCEPTION(EIdCouldNotBindSocket, EIdSocketHandleError);
QOR_DECLARE_EXCEPTION(EIdCanNotBindPortInRange, EIdSocketHandleError);
QOR_DECLARE_EXCEPTION(EIdInvalidPortRange, EIdSocketHandleError);
QOR_DECLARE_EXCEPTION(EIdCannotSetIPVersionWhenConnected, EIdSocketHandleError);

QOR_DECLARE_EXCEPTION(EIdAlreadyConnected, EIdException);
QOR_DECLARE_EXCEPTION(EIdClosedSocket, EIdException);
QOR_DECLARE_EXCEPTION(EIdReadTimeout, EIdException);
QOR_DECLARE_EXCEPTION(EIdReadLnMaxLineLengthExceeded, EIdException);
QOR_DECLARE_EXCEPTION(EIdReadLnWaitMaxAttemptsExceeded, EIdException);
QOR_DECLARE_EXCEPTION(EIdPortRequired, EIdException);
QOR_DECLARE_EXCEPTION(EIdHostRequired, EIdException);

QOR_DECLARE_EXCEPTION(EIdTCPConnectionError, EIdException);
QOR_DECLARE_EXCEPTION(EIdObjectTypeNotSupported, EIdTCPConnectionError);
QOR_DECLARE_EXCEPTION(EIdNoDataToRead, EIdTCPConnectionError);
QOR_DECLARE_EXCEPTION(EIdFileNotFound, EIdTCPConnectionError);

QOR_DECLARE_EXCEPTION(EIdNotConnected, EIdException);
QOR_DECLARE_EXCEPTION(EIdConnectTimeout, EIdException);
QOR_DECLARE_EXCEPTION(EIdConnectException, EIdException);
QOR_DECLARE_EXCEPTION(EIdMaxCaptureLineExceeded, EIdException);
QOR_DECLARE_EXCEPTION(EIdInterceptCircularLink, EIdException);

QOR_DECLARE_EXCEPTION(EIdIOHandler, EIdException);
QOR_DECLARE_EXCEPTION(EIdIOHandlerRequiresLargeStream, EIdIOHandler);
QOR_DECLARE_EXCEPTION(EIdIOHandlerStreamDataTooLarge, EIdIOHandler);

QOR_DECLARE_EXCEPTION(EIdNotEnoughDataInBuffer, EIdException);
QOR_DECLARE_EXCEPTION(EIdTooMuchDataInBuffer, EIdException);
QOR_DECLARE_EXCEPTION(EIdInvalidIPv6Address, EIdException);

// A failed socket call; LastError is the socket error code (10061, 11001, ...).
class EIdSocketError : public EIdException {
 public:
  EIdSocketError(int AErr, std::string AMessage)
      : EIdException(std::move(AMessage)), FLastError(AErr) {}
  QOR_EXCEPTION_CLASS(EIdSocketError)
  int LastError() const { return FLastError; }

 private:
  int FLastError;
};
QOR_DECLARE_EXCEPTION(EIdNotASocket, EIdSocketError);

QOR_DECLARE_EXCEPTION(EIdStackError, EIdException);
QOR_DECLARE_EXCEPTION(EIdIPVersionUnsupported, EIdStackError);
QOR_DECLARE_EXCEPTION(EIdStackSetSizeExceeded, EIdStackError);
QOR_DECLARE_EXCEPTION(EIdStackInitializationFailed, EIdStackError);
QOR_DECLARE_EXCEPTION(EIdInvalidServiceName, EIdException);

// Failure to bind the platform's socket library; the message is Title, then ": " and the
// platform's text for Win32Error when there is one.
class EIdWinsockStubError : public EIdException {
 public:
  EIdWinsockStubError(int AWin32Error, std::string AWin32ErrorMessage, std::string ATitle);
  QOR_EXCEPTION_CLASS(EIdWinsockStubError)
  int Win32Error() const { return FWin32Error; }
  const std::string& Win32ErrorMessage() const { return FWin32ErrorMessage; }
  const std::string& Title() const { return FTitle; }

 private:
  int FWin32Error;
  std::string FWin32ErrorMessage;
  std::string FTitle;
};
