#include "transport/IdException.h"

namespace {
std::string StubMessage(int AWin32Error, const std::string& AText, const std::string& ATitle) {
  return AWin32Error != 0 ? ATitle + ": " + AText : ATitle;
}
}  // namespace

EIdWinsockStubError::EIdWinsockStubError(int AWin32Error, std::string AWin32ErrorMessage,
                                         std::string ATitle)
    : EIdException(StubMessage(AWin32Error, AWin32ErrorMessage, ATitle)),
      FWin32Error(AWin32Error),
      FWin32ErrorMessage(std::move(AWin32ErrorMessage)),
      FTitle(std::move(ATitle)) {}
