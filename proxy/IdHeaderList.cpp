#include "proxy/IdHeaderList.h"

#include "platform/SysUtils.h"

TIdHeaderList::TIdHeaderList(TIdHeaderQuotingType AQuoteType)
    : FFoldLinesLength(AQuoteType == QuoteHTTP ? 2147483647 : 78), FQuoteType(AQuoteType) {}

std::string TIdHeaderList::NameOf(const std::string& ALine) {
  const size_t LColon = ALine.find(':');
  return LColon == std::string::npos ? ALine : ALine.substr(0, LColon);
}

int TIdHeaderList::IndexOfName(const std::string& AName) const {
  for (int i = 0; i < Count(); ++i) {
    const std::string& LLine = Strings(i);
    if (LLine.find(':') != std::string::npos && SameText(NameOf(LLine), AName)) return i;
  }
  return -1;
}

std::string TIdHeaderList::GetValue(const std::string& AName) const {
  int i = IndexOfName(AName);
  if (i < 0) return {};
  const std::string& LLine = Strings(i);
  std::string LValue = LLine.substr(LLine.find(':') + 1);
  LValue.erase(0, LValue.find_first_not_of(' '));
  if (FUnfoldLines) {
    for (++i; i < Count() && !Strings(i).empty() && (Strings(i)[0] == ' ' || Strings(i)[0] == '\t');
         ++i) {
      LValue = Trim(LValue) + " " + Trim(Strings(i));
    }
  }
  return Trim(LValue);
}
