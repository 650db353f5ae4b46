#pragma once
// A private folder under /tmp for a test's files and its peers' configuration and logs.
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

// A folder removed with everything in it.
class TTempFolder {
 public:
  TTempFolder() {
    char Tmpl[] = "/tmp/qor_test_XXXXXX";
    if (!mkdtemp(Tmpl)) throw std::runtime_error("no temporary folder");
    FPath = Tmpl;
    // Peers that drop their privileges still write their logs and pid files here.
    chmod(FPath.c_str(), 0777);
  }
  ~TTempFolder() {
    std::error_code E;
    std::filesystem::remove_all(FPath, E);
  }
  TTempFolder(const TTempFolder&) = delete;
  TTempFolder& operator=(const TTempFolder&) = delete;

  const std::string& Path() const { return FPath; }
  std::string File(const std::string& AName) const { return FPath + "/" + AName; }
  std::string Write(const std::string& AName, const std::string& AText, mode_t AMode = 0644) const {
    const std::string LName = File(AName);
    std::ofstream(LName, std::ios::binary) << AText;
    chmod(LName.c_str(), AMode);
    return LName;
  }
  std::string Read(const std::string& AName) const {
    std::ifstream F(File(AName), std::ios::binary);
    std::stringstream S;
    S << F.rdbuf();
    return S.str();
  }

 private:
  std::string FPath;
};
