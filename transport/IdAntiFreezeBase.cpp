#include "transport/IdAntiFreezeBase.h"

#include "platform/SysUtils.h"

void TIdAntiFreezeBase::Sleep(int ATimeout) {
  if (ATimeout > 0) ::Sleep(static_cast<uint32_t>(ATimeout));
}
