#include "transport/IdWakeSignal.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "platform/Exception.h"

TIdWakeSignal::TIdWakeSignal() : FHandle(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  if (FHandle < 0) throw EOSError("No wake-up signal could be made.");
}

TIdWakeSignal::~TIdWakeSignal() {
  ::close(FHandle);
}

void TIdWakeSignal::Raise() {
  const uint64_t LOne = 1;
  [[maybe_unused]] const ssize_t LWritten = ::write(FHandle, &LOne, sizeof LOne);
}

void TIdWakeSignal::Take() {
  uint64_t LCount;
  [[maybe_unused]] const ssize_t LRead = ::read(FHandle, &LCount, sizeof LCount);
}

bool TIdWakeSignal::Wait(int AMSec) const {
  pollfd LWake{FHandle, POLLIN, 0};
  int LResult;
  do {
    LResult = ::poll(&LWake, 1, AMSec < 0 ? -1 : AMSec);
  } while (LResult < 0 && errno == EINTR);
  return LResult > 0;
}

bool TIdWakeSignal::WaitReadable(TIdStackSocketHandle AHandle, int AMSec) const {
  return WaitFor(AHandle, POLLIN, AMSec);
}

bool TIdWakeSignal::WaitWritable(TIdStackSocketHandle AHandle, int AMSec) const {
  return WaitFor(AHandle, POLLOUT, AMSec);
}

bool TIdWakeSignal::WaitFor(TIdStackSocketHandle AHandle, short AEvents, int AMSec) const {
  pollfd LFds[2] = {{AHandle, AEvents, 0}, {FHandle, POLLIN, 0}};
  int LResult;
  do {
    LResult = ::poll(LFds, 2, AMSec < 0 ? -1 : AMSec);
  } while (LResult < 0 && errno == EINTR);
  GStack()->CheckForSocketError(LResult);
  return (LFds[0].revents & (AEvents | POLLHUP | POLLERR)) != 0;
}
