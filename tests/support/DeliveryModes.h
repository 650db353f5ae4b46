#pragma once
// The delivery modes as test parameters, and the axes of the re-entry tables that run a
// handler's activation or deactivation in every mode.
#include <gtest/gtest.h>

#include <string>

#include "base/qorBase_Classes.h"

inline std::string DeliveryModeName(TwsNotifyEvent aMode) {
  static const char* const LNames[] = {"NoSync", "Asynchronous", "Synchronous"};
  return LNames[aMode];
}

// For INSTANTIATE_TEST_SUITE_P over the modes alone.
inline std::string DeliveryModeParamName(const ::testing::TestParamInfo<TwsNotifyEvent>& aInfo) {
  return DeliveryModeName(aInfo.param);
}

inline auto AllDeliveryModes() {
  return ::testing::Values(neNoSync, neAsynchronous, neSynchronous);
}

// What a handler (or the application right after it) does.
enum TReentryAction { aOff, aOn, aOffOn };
enum TReentryWhere { wInside, wAfter };

inline auto AllReentryActions() {
  return ::testing::Values(aOff, aOn, aOffOn);
}

inline auto BothReentryPlaces() {
  return ::testing::Values(wInside, wAfter);
}

// Active := False, Active := True, or the one then the other.
template <class TComponentType>
void Act(TComponentType& aComponent, TReentryAction aAction) {
  if (aAction != aOn) aComponent.SetActive(false);
  if (aAction != aOff) aComponent.SetActive(true);
}

// "<mode>_<handler>_<action>_<Inside|After>"
inline std::string ReentryCaseName(TwsNotifyEvent aMode, const char* aHandler,
                                   TReentryAction aAction, TReentryWhere aWhere) {
  static const char* const LActions[] = {"Off", "On", "OffOn"};
  return DeliveryModeName(aMode) + "_" + aHandler + "_" + LActions[aAction] +
         (aWhere == wInside ? "_Inside" : "_After");
}
