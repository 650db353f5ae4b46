#include "rcon/qorRCON_History.h"

#include <algorithm>
#include <filesystem>
#include <fstream>

TqorRCON_History::TqorRCON_History(std::string aFileName, size_t aLimit, bool aUnique)
    : FFileName(std::move(aFileName)), FLimit(aLimit), FUnique(aUnique) {
  Load();
}

void TqorRCON_History::Load() {
  std::ifstream in(FFileName, std::ios::binary);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) FItems.push_back(line);
  }
  if (FItems.size() > FLimit) FItems.erase(FItems.begin(), FItems.end() - long(FLimit));
  FCursor = FItems.size();
}

void TqorRCON_History::Save() {
  if (!FUnsaved) return;
  FUnsaved = false;
  std::error_code ignored;
  std::filesystem::create_directories(std::filesystem::path(FFileName).parent_path(), ignored);
  // Written aside and renamed, so that a crash cannot leave half a file.
  const std::string temporary = FFileName + ".new";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    for (const std::string& item : FItems) out << item << '\n';
    if (!out) return;
  }
  std::filesystem::rename(temporary, FFileName, ignored);
}

void TqorRCON_History::Add(const std::string& aItem) {
  std::string item = aItem;
  std::replace(item.begin(), item.end(), '\n', ' ');
  std::replace(item.begin(), item.end(), '\r', ' ');
  FCursor = FItems.size();
  FDraft.clear();
  if (item.empty()) return;
  if (FUnique)
    FItems.erase(std::remove(FItems.begin(), FItems.end(), item), FItems.end());
  else if (!FItems.empty() && FItems.back() == item)
    return;
  FItems.push_back(item);
  if (FItems.size() > FLimit) FItems.erase(FItems.begin(), FItems.end() - long(FLimit));
  FCursor = FItems.size();
  FUnsaved = true;
}

bool TqorRCON_History::Older(std::string& aCurrent) {
  if (FCursor == 0) return false;
  if (FCursor == FItems.size()) FDraft = aCurrent;
  aCurrent = FItems[--FCursor];
  return true;
}

bool TqorRCON_History::Newer(std::string& aCurrent) {
  if (FCursor >= FItems.size()) return false;
  ++FCursor;
  aCurrent = FCursor == FItems.size() ? FDraft : FItems[FCursor];
  return true;
}
