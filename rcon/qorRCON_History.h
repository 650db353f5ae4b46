#pragma once
#include <cstddef>
#include <string>
#include <vector>

// A short list of lines kept in a text file across runs: the console's command history and
// its recent servers. Entries are single lines, oldest first; the file is rewritten whole (it
// is small), and a file that cannot be read or written only loses the history.
class TqorRCON_History {
 public:
  // aUnique: an entry added again moves to the end instead of repeating (recent servers);
  // otherwise only a repeat of the newest entry is dropped (command history, as in a shell).
  TqorRCON_History(std::string aFileName, size_t aLimit, bool aUnique);

  const std::vector<std::string>& Items() const { return FItems; }
  // Adds aItem as the newest entry (line breaks become spaces; empty text is not kept) and
  // puts the cursor back after the newest entry. The file is written by Save.
  void Add(const std::string& aItem);
  // Writes the file when entries were added since the last write.
  void Save();
  bool Unsaved() const { return FUnsaved; }

  // Walking the entries as a shell does. Older() from the end keeps aCurrent (a half-typed
  // line) so that Newer() past the newest entry gives it back. Both return false and leave
  // aCurrent alone where there is nothing further.
  bool Older(std::string& aCurrent);
  bool Newer(std::string& aCurrent);

 private:
  void Load();

  std::string FFileName;
  size_t FLimit;
  bool FUnique;
  std::vector<std::string> FItems;
  size_t FCursor = 0;  // FItems.size(): after the newest entry
  std::string FDraft;
  bool FUnsaved = false;
};
