#include "platform/StringList.h"

#include <algorithm>

#include "platform/Exception.h"
#include "platform/SysUtils.h"

void TStringList::CheckIndex(int aIndex, int aCount) const {
  if (aIndex < 0 || aIndex >= aCount) ListIndexError(aIndex);
}

const std::string& TStringList::Strings(int aIndex) const {
  CheckIndex(aIndex, Count());
  return FItems[static_cast<size_t>(aIndex)];
}

int TStringList::Compare(const std::string& a, const std::string& b) const {
  if (FCaseSensitive) return a.compare(b);
  return LowerCase(a).compare(LowerCase(b));
}

int TStringList::Add(const std::string& aValue) {
  FItems.push_back(aValue);
  return Count() - 1;
}

void TStringList::Insert(int aIndex, const std::string& aValue) {
  CheckIndex(aIndex, Count() + 1);
  FItems.insert(FItems.begin() + aIndex, aValue);
}

void TStringList::Delete(int aIndex) {
  CheckIndex(aIndex, Count());
  FItems.erase(FItems.begin() + aIndex);
}

int TStringList::IndexOf(const std::string& aValue) const {
  for (int i = 0; i < Count(); ++i)
    if (Compare(FItems[static_cast<size_t>(i)], aValue) == 0) return i;
  return -1;
}

std::string TStringList::Text() const {
  std::string out;
  for (const auto& s : FItems) {
    out += s;
    out += "\r\n";
  }
  return out;
}

void TStringList::SetText(const std::string& aText) {
  FItems.clear();
  size_t i = 0;
  while (i < aText.size()) {
    size_t e = aText.find_first_of("\r\n", i);
    if (e == std::string::npos) {
      FItems.push_back(aText.substr(i));
      break;
    }
    FItems.push_back(aText.substr(i, e - i));
    i = e + ((aText[e] == '\r' && e + 1 < aText.size() && aText[e + 1] == '\n') ? 2 : 1);
  }
}

std::string TStringList::DelimitedText() const {
  std::string out;
  for (size_t i = 0; i < FItems.size(); ++i) {
    if (i) out += FDelimiter;
    const std::string& s = FItems[i];
    bool quote =
        !FStrictDelimiter && (s.empty() ? false : std::any_of(s.begin(), s.end(), [this](char c) {
          return static_cast<unsigned char>(c) <= ' ' || c == FQuoteChar || c == FDelimiter;
        }));
    if (!quote) {
      out += s;
      continue;
    }
    out += FQuoteChar;
    for (char c : s) {
      if (c == FQuoteChar) out += FQuoteChar;
      out += c;
    }
    out += FQuoteChar;
  }
  return out;
}

void TStringList::SetDelimitedText(const std::string& aText) {
  FItems.clear();
  if (FStrictDelimiter) {
    if (aText.empty()) return;
    size_t i = 0;
    while (true) {
      size_t e = aText.find(FDelimiter, i);
      FItems.push_back(aText.substr(i, e == std::string::npos ? std::string::npos : e - i));
      if (e == std::string::npos) break;
      i = e + 1;
    }
    return;
  }
  auto blank = [](char c) { return static_cast<unsigned char>(c) <= ' '; };
  size_t i = 0, n = aText.size();
  while (i < n && blank(aText[i])) ++i;
  while (i < n) {
    std::string item;
    if (aText[i] == FQuoteChar) {
      ++i;
      while (i < n) {
        if (aText[i] == FQuoteChar) {
          if (i + 1 < n && aText[i + 1] == FQuoteChar) {
            item += FQuoteChar;
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        item += aText[i++];
      }
    } else {
      while (i < n && aText[i] != FDelimiter && !blank(aText[i])) item += aText[i++];
    }
    FItems.push_back(item);
    while (i < n && blank(aText[i])) ++i;
    if (i < n && aText[i] == FDelimiter) {
      ++i;
      while (i < n && blank(aText[i])) ++i;
      if (i == n) FItems.emplace_back();  // a trailing delimiter ends with an empty entry
    }
  }
}
