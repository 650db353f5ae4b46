#pragma once
#include <string>

#include "platform/StringList.h"

enum TIdHeaderQuotingType { QuotePlain, QuoteRFC822, QuoteMIME, QuoteHTTP };

// Header lines "name: value", as read from a reply.
class TIdHeaderList : public TStringList {
 public:
  explicit TIdHeaderList(TIdHeaderQuotingType AQuoteType);

  // Everything before the first ":", untrimmed.
  static std::string NameOf(const std::string& ALine);
  // The first line whose name equals AName ignoring case; -1 when none.
  int IndexOfName(const std::string& AName) const;
  // Empty when absent; continuation lines (starting with a blank or tab) are joined with
  // one space; the result is trimmed.
  std::string GetValue(const std::string& AName) const;

  const std::string& NameValueSeparator() const { return FNameValueSeparator; }
  bool UnfoldLines() const { return FUnfoldLines; }
  void SetUnfoldLines(bool AValue) { FUnfoldLines = AValue; }
  bool FoldLines() const { return FFoldLines; }
  int FoldLinesLength() const { return FFoldLinesLength; }
  TIdHeaderQuotingType QuoteType() const { return FQuoteType; }

 private:
  std::string FNameValueSeparator = ": ";
  bool FUnfoldLines = true;
  bool FFoldLines = true;
  int FFoldLinesLength;
  TIdHeaderQuotingType FQuoteType;
};
