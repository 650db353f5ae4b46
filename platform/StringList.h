#pragma once
#include <string>
#include <vector>

enum TDuplicates { dupIgnore, dupAccept, dupError };

// Ordered list of strings with delimited-text support.
class TStringList {
 public:
  TStringList() = default;
  virtual ~TStringList() = default;

  int Count() const { return static_cast<int>(FItems.size()); }
  // Bad indexes raise EListError "List index out of bounds (%d)".
  const std::string& Strings(int aIndex) const;
  // Returns the new entry's index.
  int Add(const std::string& aValue);
  void Insert(int aIndex, const std::string& aValue);
  void Delete(int aIndex);
  void Clear() { FItems.clear(); }
  int IndexOf(const std::string& aValue) const;

  bool CaseSensitive() const { return FCaseSensitive; }
  void SetCaseSensitive(bool aValue) { FCaseSensitive = aValue; }

  // Lines joined with "\r\n" (each line terminated); reading splits on CR LF, LF or CR.
  std::string Text() const;
  void SetText(const std::string& aText);

  char Delimiter() const { return FDelimiter; }
  void SetDelimiter(char aValue) { FDelimiter = aValue; }
  char QuoteChar() const { return FQuoteChar; }
  void SetQuoteChar(char aValue) { FQuoteChar = aValue; }
  bool StrictDelimiter() const { return FStrictDelimiter; }
  void SetStrictDelimiter(bool aValue) { FStrictDelimiter = aValue; }
  // Entries joined with Delimiter; entries holding blanks, quotes or the delimiter are quoted
  // unless StrictDelimiter is set. Reading: without StrictDelimiter, blanks also separate
  // and quoted entries are unquoted; with it, only Delimiter separates.
  std::string DelimitedText() const;
  void SetDelimitedText(const std::string& aText);

 private:
  int Compare(const std::string& a, const std::string& b) const;
  void CheckIndex(int aIndex, int aCount) const;

  std::vector<std::string> FItems;
  bool FCaseSensitive = false;
  char FDelimiter = ',';
  char FQuoteChar = '"';
  bool FStrictDelimiter = false;
};
