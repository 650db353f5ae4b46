#pragma once
// Real proxy servers as child processes for tests and benchmarks: a private folder for their
// configuration, loopback ports, a bounded start and a stop by PID.
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/support/ChildProcess.h"
#include "tests/support/Loopback.h"
#include "tests/support/TempFolder.h"

// One running proxy server of a given kind on a free loopback port.
struct TProxyPeer {
  std::string Kind;
  uint16_t Port = 0;
  std::unique_ptr<TTempFolder> Folder;
  std::vector<std::unique_ptr<TChildProcess>> Processes;  // stopped last to first
  ~TProxyPeer() {
    while (!Processes.empty()) Processes.pop_back();
  }
};

inline std::string UserName() {
  const passwd* P = getpwuid(getuid());
  return P ? P->pw_name : "root";
}

// Programs of the peers; empty result of MissingProgram means all are there.
inline std::string MissingProgram(const std::vector<std::string>& APrograms) {
  for (const std::string& P : APrograms) {
    if (!HaveProgram(P)) return P;
  }
  return {};
}

inline std::string RunCommand(const std::string& ACommand) {
  std::string Out;
  if (FILE* F = popen(ACommand.c_str(), "r")) {
    char Buf[256];
    while (fgets(Buf, sizeof Buf, F)) Out += Buf;
    pclose(F);
  }
  while (!Out.empty() && (Out.back() == '\n' || Out.back() == '\r')) Out.pop_back();
  return Out;
}

// Starts the peer. AUser/APassword empty: no authentication. Throws with the peer's output
// when it does not come up.
inline std::unique_ptr<TProxyPeer> StartProxyPeer(const std::string& AKind,
                                                  const std::string& AUser = "",
                                                  const std::string& APassword = "") {
  auto Peer = std::make_unique<TProxyPeer>();
  Peer->Kind = AKind;
  Peer->Folder = std::make_unique<TTempFolder>();
  TTempFolder& F = *Peer->Folder;
  Peer->Port = ClosedPort();
  const std::string Port = std::to_string(Peer->Port);
  auto Start = [&](std::vector<std::string> AArgs) {
    Peer->Processes.push_back(std::make_unique<TChildProcess>(std::move(AArgs)));
  };
  if (AKind == "microsocks") {
    std::vector<std::string> Args{"/usr/bin/microsocks", "-i", "127.0.0.1", "-p", Port};
    if (!AUser.empty()) Args.insert(Args.end(), {"-u", AUser, "-P", APassword});
    Start(Args);
  } else if (AKind == "danted") {
    F.Write("danted.conf",
            "logoutput: " + F.File("danted.log") + "\ninternal: 127.0.0.1 port = " + Port +
                "\nexternal: 127.0.0.1\nclientmethod: none\nsocksmethod: none\n" +
                (getuid() == 0 ? "user.privileged: root\nuser.unprivileged: nobody\n" : "") +
                "client pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }\n"
                // 127.0.0.3 is refused by rule, to see the ruleset's own reply code.
                "socks block { from: 0.0.0.0/0 to: 127.0.0.3/32 }\n"
                "socks pass { from: 127.0.0.0/8 to: 0.0.0.0/0 command: connect }\n");
    Start({"/usr/sbin/danted", "-f", F.File("danted.conf"), "-N", "1", "-p", F.File("danted.pid")});
  } else if (AKind == "ssh") {
    mkdir("/run/sshd", 0755);
    RunCommand("ssh-keygen -q -t ed25519 -N '' -f " + F.File("hostkey") +
               " && ssh-keygen -q -t "
               "ed25519 -N '' -f " +
               F.File("userkey") + " && cp " + F.File("userkey.pub") + " " +
               F.File("authorized_keys"));
    const uint16_t SshPort = ClosedPort();
    F.Write("sshd.conf", "ListenAddress 127.0.0.1:" + std::to_string(SshPort) + "\nHostKey " +
                             F.File("hostkey") + "\nPidFile " + F.File("sshd.pid") +
                             "\nAuthorizedKeysFile " + F.File("authorized_keys") +
                             "\nStrictModes no\nUsePAM no\nPasswordAuthentication no\n"
                             "KbdInteractiveAuthentication no\nPermitRootLogin prohibit-password\n"
                             "AllowTcpForwarding yes\n");
    Start({"/usr/sbin/sshd", "-D", "-e", "-f", F.File("sshd.conf")});
    if (!Peer->Processes.back()->WaitListening(SshPort)) {
      throw std::runtime_error("sshd did not start: " + Peer->Processes.back()->Output());
    }
    // -F /dev/null: the user's own ~/.ssh/config (a ProxyJump, an agent) stays out of it.
    Start({"/usr/bin/ssh",
           "-F",
           "/dev/null",
           "-N",
           "-D",
           "127.0.0.1:" + Port,
           "-p",
           std::to_string(SshPort),
           "-i",
           F.File("userkey"),
           "-o",
           "StrictHostKeyChecking=no",
           "-o",
           "UserKnownHostsFile=/dev/null",
           "-o",
           "BatchMode=yes",
           "-o",
           "ExitOnForwardFailure=yes",
           "-o",
           "LogLevel=ERROR",
           UserName() + "@127.0.0.1"});
  } else if (AKind == "tinyproxy") {
    F.Write("tinyproxy.conf",
            "Port " + Port + "\nListen 127.0.0.1\nTimeout 60\nAllow 127.0.0.1\n" +
                (getuid() == 0 ? "User nobody\nGroup nogroup\n" : "") +
                (AUser.empty() ? "" : "BasicAuth " + AUser + " " + APassword + "\n"));
    Start({"/usr/bin/tinyproxy", "-d", "-c", F.File("tinyproxy.conf")});
  } else if (AKind == "squid") {
    std::string Conf = "http_port 127.0.0.1:" + Port + "\npid_filename " + F.File("squid.pid") +
                       "\ncache_log " + F.File("cache.log") +
                       "\naccess_log none\ncache deny all\ncache_mem 8 MB\ncoredump_dir " +
                       F.File("") + "\nshutdown_lifetime 0 seconds\n";
    if (AUser.empty()) {
      Conf += "http_access allow all\n";
    } else {
      F.Write("passwd", AUser + ":" + RunCommand("openssl passwd -1 '" + APassword + "'") + "\n");
      Conf += "auth_param basic program /usr/lib/squid/basic_ncsa_auth " + F.File("passwd") +
              "\nacl authed proxy_auth REQUIRED\nhttp_access allow authed\nhttp_access deny all\n";
    }
    F.Write("squid.conf", Conf);
    Start({"/usr/sbin/squid", "-N", "-f", F.File("squid.conf")});
  } else if (AKind == "ncat") {
    std::vector<std::string> Args{"/usr/bin/ncat", "-l",  "-k", "127.0.0.1", Port,
                                  "--proxy-type",  "http"};
    if (!AUser.empty()) Args.insert(Args.end(), {"--proxy-auth", AUser + ":" + APassword});
    Start(Args);
  } else {
    throw std::runtime_error("unknown peer " + AKind);
  }
  if (!Peer->Processes.back()->WaitListening(Peer->Port)) {
    throw std::runtime_error(AKind + " did not start: " + Peer->Processes.back()->Output());
  }
  return Peer;
}

// The programs each kind needs.
inline std::vector<std::string> ProgramsOf(const std::string& AKind) {
  if (AKind == "microsocks") return {"/usr/bin/microsocks"};
  if (AKind == "danted") return {"/usr/sbin/danted"};
  if (AKind == "ssh") return {"/usr/sbin/sshd", "/usr/bin/ssh", "/usr/bin/ssh-keygen"};
  if (AKind == "tinyproxy") return {"/usr/bin/tinyproxy"};
  if (AKind == "squid")
    return {"/usr/sbin/squid", "/usr/lib/squid/basic_ncsa_auth", "/usr/bin/openssl"};
  if (AKind == "ncat") return {"/usr/bin/ncat"};
  return {};
}
