// Binding the libraries at run time: the file names, the library folder, the generation
// fallback, and plain connections where OpenSSL cannot be loaded.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "tests/support/Loopback.h"
#include "tests/support/TempFolder.h"
#include "tls/IdSSLOpenSSL.h"

namespace {

// The folder of the library that holds AEntry.
std::string FolderOf(void* AEntry) {
  Dl_info LInfo{};
  if (!dladdr(AEntry, &LInfo) || !LInfo.dli_fname) return {};
  const std::string LFile = LInfo.dli_fname;
  return LFile.substr(0, LFile.rfind('/'));
}

// Answers every byte it gets with the same byte until the client closes.
class TPlainEchoPeer {
 public:
  TPlainEchoPeer() {
    FListen = ListenOnLoopback(1, FPort);
    FThread = std::thread([this] {
      const int LFd = ::accept(FListen, nullptr, nullptr);
      char LBuffer[256];
      ssize_t N;
      while (LFd >= 0 && (N = ::recv(LFd, LBuffer, sizeof LBuffer, 0)) > 0) {
        if (::send(LFd, LBuffer, static_cast<size_t>(N), MSG_NOSIGNAL) != N) break;
      }
      if (LFd >= 0) ::close(LFd);
    });
  }
  ~TPlainEchoPeer() {
    ::shutdown(FListen, SHUT_RDWR);
    FThread.join();
    ::close(FListen);
  }
  uint16_t Port() const { return FPort; }

 private:
  int FListen = -1;
  uint16_t FPort = 0;
  std::thread FThread;
};

struct TReloadAtEnd {
  ~TReloadAtEnd() {
    UnloadTLSLibrary();
    SetTLSLibraryPath("");
  }
};

}  // namespace

TEST(TLSBinding, FileNamesPerGeneration) {
  const auto L11 = TLSLibraryFiles(tlsApi1_1);
  ASSERT_EQ(L11.size(), 2u);
  EXPECT_STREQ(L11[0].Crypto, "libcrypto.so.3");
  EXPECT_STREQ(L11[0].SSL, "libssl.so.3");
  EXPECT_STREQ(L11[1].SSL, "libssl.so.1.1");
  const auto L10 = TLSLibraryFiles(tlsApi1_0);
  ASSERT_EQ(L10.size(), 3u);
  EXPECT_STREQ(L10[2].Crypto, "libcrypto.so.10");
  for (const auto& LFiles : {L11, L10}) {
    for (const TIdTLSLibraryFiles& F : LFiles) EXPECT_STRNE(F.SSL, "libssl3.so");  // NSS's file
  }
}

// The default asks for the 1.0 generation, which no current system has: the other one is
// bound and stays in force.
TEST(TLSBinding, MissingGenerationFallsBackAndTheBoundOneStays) {
  TReloadAtEnd LReload;
  UnloadTLSLibrary();
  SetTLSApiGeneration(tlsApi1_0);
  ASSERT_TRUE(LoadTLSLibrary());
  EXPECT_EQ(TLSApiGeneration(), tlsApi1_1);
  EXPECT_GE(TLSLibraryVersion(), 0x10100000UL);
  SetTLSApiGeneration(tlsApi1_0);
  EXPECT_EQ(TLSApiGeneration(), tlsApi1_1);
  EXPECT_NE(GOpenSSL.SSL_get_peer_certificate, nullptr);
  EXPECT_NE(GOpenSSL.sk_num, nullptr);
  EXPECT_NE(GOpenSSL.SSL_CTX_set_options, nullptr);
}

TEST(TLSBinding, LibraryFolderHoldsTheFiles) {
  TReloadAtEnd LReload;
  ASSERT_TRUE(LoadTLSLibrary());
  const std::string LSystem = FolderOf(reinterpret_cast<void*>(GOpenSSL.SSL_new));
  ASSERT_FALSE(LSystem.empty());
  TTempFolder LFolder;
  for (const char* F : {"libcrypto.so.3", "libssl.so.3"}) {
    ASSERT_EQ(symlink((LSystem + "/" + F).c_str(), (LFolder.Path() + "/" + F).c_str()), 0);
  }
  UnloadTLSLibrary();
  SetTLSLibraryPath(LFolder.Path());
  EXPECT_EQ(TLSLibraryPath(), LFolder.Path() + "/");
  EXPECT_TRUE(LoadTLSLibrary());
  SetTLSLibraryPath("");
  EXPECT_EQ(TLSLibraryPath(), "");
}

TEST(TLSBinding, FolderWithoutOpenSSLFailsTLSButNotPlainConnections) {
  TReloadAtEnd LReload;
  TTempFolder LEmpty;
  UnloadTLSLibrary();
  SetTLSLibraryPath(LEmpty.Path());
  EXPECT_FALSE(LoadTLSLibrary());
  EXPECT_FALSE(IsTLSLibraryLoaded());
  try {
    TIdSSLContext LContext;
    ADD_FAILURE() << "a context without the library";
  } catch (const EIdOSSLCouldNotLoadSSLLibrary& E) {
    EXPECT_EQ(E.Message(), "Could not load SSL library.");
  }
  {
    TPlainEchoPeer LPeer;
    std::unique_ptr<TIdSSLIOHandlerSocketOpenSSL> H(New<TIdSSLIOHandlerSocketOpenSSL>(nullptr));
    H->SetHost("127.0.0.1");
    H->SetPort(LPeer.Port());
    H->SetPassThrough(false);
    try {
      H->Open();
      ADD_FAILURE() << "TLS without the library";
    } catch (const EIdOSSLCouldNotLoadSSLLibrary& E) {
      EXPECT_EQ(E.Message(), "Could not load SSL library.");
    }
  }
  {
    // PassThrough: the same handler carries plain text.
    TPlainEchoPeer LPeer;
    std::unique_ptr<TIdSSLIOHandlerSocketOpenSSL> H(New<TIdSSLIOHandlerSocketOpenSSL>(nullptr));
    H->SetHost("127.0.0.1");
    H->SetPort(LPeer.Port());
    ASSERT_NO_THROW(H->Open());
    H->WriteLn("plain");
    EXPECT_EQ(H->ReadLn(), "plain");
    // Asking for TLS on the live connection now has no context to start from.
    EXPECT_THROW(H->SetPassThrough(false), EIdOSSLCouldNotLoadSSLLibrary);
    H->Close();
  }
  // Once the folder is right again, the next attempt binds.
  SetTLSLibraryPath("");
  EXPECT_TRUE(LoadTLSLibrary());
}
