// A small RCON server for trying the console and for the benchmark.
// Plain POSIX sockets, one poll() loop, any number of clients.
//
//   rcon_demo_server [--host ADDR] [--port N] [--password TEXT] [--source]
//
// --port 0 picks a free port. The first line on stdout is always
// "listening on ADDR:PORT" so that a script or test can learn the port.
// --source behaves like a Source-engine server: an empty type-0 packet before the
// authentication response, and the empty type-0 "end of answer" request is mirrored
// followed by the 00 01 00 00 packet. Without it, unknown request types are answered
// the Minecraft way ("Unknown request <hex>").

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>
#include <algorithm>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <list>
#include <string>
#include <vector>

namespace {

constexpr int32_t kTypeResponse = 0;
constexpr int32_t kTypeCommand = 2;
constexpr int32_t kTypeAuthResponse = 2;
constexpr int32_t kTypeAuth = 3;
// Source servers cut answers at 4096 body bytes; so does this one.
constexpr size_t kMaxBodyOut = 4096;
// Requests are small; anything larger than this is garbage and ends the connection.
constexpr int32_t kMaxRequestSize = 64 * 1024;
constexpr size_t kMaxClients = 256;
constexpr size_t kMaxLongAnswer = 16 * 1024 * 1024;

volatile sig_atomic_t gStop = 0;

struct Options {
  std::string Host = "127.0.0.1";
  int Port = 25575;
  std::string Password = "zulu";
  bool Source = false;
};

struct Client {
  int Fd = -1;
  std::string Peer;
  bool Authenticated = false;
  std::vector<uint8_t> In;
  std::vector<uint8_t> Out;
  size_t OutSent = 0;
  bool Closing = false;  // flush Out, then end the sending side
  bool SentFIN = false;  // sending side ended: input is discarded until the client closes
};

void PutInt(std::vector<uint8_t>& aOut, int32_t aValue) {
  auto u = static_cast<uint32_t>(aValue);
  for (int i = 0; i < 4; ++i) aOut.push_back(static_cast<uint8_t>(u >> (8 * i)));
}

int32_t GetInt(const uint8_t* p) {
  return static_cast<int32_t>(uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 |
                              uint32_t(p[3]) << 24);
}

void QueuePacket(Client& c, int32_t aID, int32_t aType, const std::string& aBody) {
  PutInt(c.Out, static_cast<int32_t>(aBody.size() + 10));
  PutInt(c.Out, aID);
  PutInt(c.Out, aType);
  c.Out.insert(c.Out.end(), aBody.begin(), aBody.end());
  c.Out.push_back(0);
  c.Out.push_back(0);
}

// Long answers go out as several packets with the same ID, as real servers do.
void QueueAnswer(Client& c, int32_t aID, const std::string& aText) {
  size_t pos = 0;
  do {
    QueuePacket(c, aID, kTypeResponse, aText.substr(pos, kMaxBodyOut));
    pos += kMaxBodyOut;
  } while (pos < aText.size());
}

std::string HelpText() {
  return "Commands of the qorRCON demo server:\n"
         "  help          this list\n"
         "  echo <text>   answers <text>\n"
         "  list          the connected clients\n"
         "  long [bytes]  a long answer (default 10000 bytes, at most 16 MiB), in packets of 4096\n"
         "  wide [bytes]  the same as one line without a line break, as a data dump\n"
         "  colours       a text with Minecraft colour and style codes\n"
         "  quit          closes this connection";
}

std::string LongText(size_t aBytes) {
  std::string s;
  s.reserve(aBytes);
  for (size_t line = 0; s.size() < aBytes; ++line) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "line %05zu ", line);
    s += buf;
    s.append(63 - std::strlen(buf), static_cast<char>('a' + line % 26));
    s += '\n';
  }
  s.resize(aBytes);
  return s;
}

// Minecraft's codes: the section sign (C2 A7) and one character.
std::string ColoursText() {
  const std::string s = "\xC2\xA7";
  return s + "6Welcome to the " + s + "lqorRCON" + s + "r demo server\n" + s + "aonline " + s +
         "7| " + s + "cwarning " + s + "7| " + s + "9info " + s + "7| " + s + "ounder" + s +
         "nlined" + s + "r plain";
}

std::string ListText(const std::list<Client>& aClients) {
  size_t n = aClients.size();
  std::string s = std::to_string(n) + (n == 1 ? " client" : " clients") + " connected:";
  for (const Client& c : aClients) s += " " + c.Peer;
  return s;
}

void RunCommand(Client& c, int32_t aID, const std::string& aCommand,
                const std::list<Client>& aClients) {
  std::string word = aCommand.substr(0, aCommand.find(' '));
  std::string rest = word.size() < aCommand.size() ? aCommand.substr(word.size() + 1) : "";
  if (word == "help") {
    QueueAnswer(c, aID, HelpText());
  } else if (word == "echo") {
    QueueAnswer(c, aID, rest);
  } else if (word == "list") {
    QueueAnswer(c, aID, ListText(aClients));
  } else if (word == "long" || word == "wide") {
    size_t n = rest.empty() ? 10000 : std::strtoul(rest.c_str(), nullptr, 10);
    std::string text = LongText(n < kMaxLongAnswer ? n : kMaxLongAnswer);
    if (word == "wide") std::replace(text.begin(), text.end(), '\n', ' ');
    QueueAnswer(c, aID, text);
  } else if (word == "colours" || word == "colors") {
    QueueAnswer(c, aID, ColoursText());
  } else if (word == "quit") {
    QueueAnswer(c, aID, "Bye.");
    c.Closing = true;
  } else {
    QueueAnswer(c, aID, "Unknown command \"" + word + "\". Type \"help\" for help.");
  }
}

void HandlePacket(Client& c, int32_t aID, int32_t aType, const std::string& aBody, const Options& o,
                  const std::list<Client>& aClients) {
  if (aType == kTypeAuth) {
    c.Authenticated = aBody == o.Password;
    if (o.Source) QueuePacket(c, aID, kTypeResponse, "");
    QueuePacket(c, c.Authenticated ? aID : -1, kTypeAuthResponse, "");
  } else if (!c.Authenticated) {
    // Source servers drop a client that talks before it has logged in.
    c.Closing = true;
  } else if (aType == kTypeCommand) {
    RunCommand(c, aID, aBody, aClients);
  } else if (aType == kTypeResponse && o.Source) {
    QueuePacket(c, aID, kTypeResponse, "");
    QueuePacket(c, aID, kTypeResponse, std::string("\x00\x01\x00\x00", 4));
  } else {
    char buf[32];
    std::snprintf(buf, sizeof buf, "Unknown request %x", static_cast<unsigned>(aType));
    QueuePacket(c, aID, kTypeResponse, buf);
  }
}

// Decodes every complete request in c.In. False when the stream is garbage.
bool ProcessInput(Client& c, const Options& o, const std::list<Client>& aClients) {
  size_t pos = 0;
  while (!c.Closing && c.In.size() - pos >= 4) {
    int32_t size = GetInt(&c.In[pos]);
    if (size < 10 || size > kMaxRequestSize) {
      std::fprintf(stderr, "%s: bad packet size %d, closing\n", c.Peer.c_str(), size);
      return false;
    }
    if (c.In.size() - pos < size_t(size) + 4) break;
    const uint8_t* p = &c.In[pos + 4];
    // The body ends at its first NUL; the second string is ignored.
    const char* body = reinterpret_cast<const char*>(p + 8);
    std::string text(body, strnlen(body, size_t(size) - 8));
    HandlePacket(c, GetInt(p), GetInt(p + 4), text, o, aClients);
    pos += size_t(size) + 4;
  }
  c.In.erase(c.In.begin(), c.In.begin() + static_cast<long>(pos));
  return true;
}

// False when the connection has failed.
bool Flush(Client& c) {
  while (c.OutSent < c.Out.size()) {
    ssize_t n = send(c.Fd, c.Out.data() + c.OutSent, c.Out.size() - c.OutSent, MSG_NOSIGNAL);
    if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    c.OutSent += size_t(n);
  }
  c.Out.clear();
  c.OutSent = 0;
  // Closing with unread input would reset the connection and could destroy the answer still
  // in flight; ending only the sending side lets the client read everything, then close.
  if (c.Closing && !c.SentFIN) {
    shutdown(c.Fd, SHUT_WR);
    c.SentFIN = true;
  }
  return true;
}

// False when the connection is finished.
bool ReadFrom(Client& c, const Options& o, const std::list<Client>& aClients) {
  uint8_t buf[65536];
  ssize_t n = recv(c.Fd, buf, sizeof buf, 0);
  if (n == 0) return false;
  if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
  if (c.SentFIN) return true;
  c.In.insert(c.In.end(), buf, buf + n);
  return ProcessInput(c, o, aClients) && Flush(c);
}

std::string PeerName(const sockaddr_in& a) {
  char ip[INET_ADDRSTRLEN] = "?";
  inet_ntop(AF_INET, &a.sin_addr, ip, sizeof ip);
  return std::string(ip) + ":" + std::to_string(ntohs(a.sin_port));
}

void Accept(int aListener, std::list<Client>& aClients) {
  sockaddr_in peer{};
  socklen_t len = sizeof peer;
  int fd = accept(aListener, reinterpret_cast<sockaddr*>(&peer), &len);
  if (fd < 0) return;
  if (aClients.size() >= kMaxClients) {
    close(fd);
    return;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  Client c;
  c.Fd = fd;
  c.Peer = PeerName(peer);
  aClients.push_back(std::move(c));
}

int Listen(const Options& o) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(o.Port));
  if (inet_pton(AF_INET, o.Host.c_str(), &addr.sin_addr) != 1) {
    std::fprintf(stderr, "not an IPv4 address: %s\n", o.Host.c_str());
    return -1;
  }
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 64) != 0) {
    std::fprintf(stderr, "cannot listen on %s:%d: %s\n", o.Host.c_str(), o.Port,
                 std::strerror(errno));
    close(fd);
    return -1;
  }
  socklen_t len = sizeof addr;
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  std::printf("listening on %s\n", PeerName(addr).c_str());
  std::fflush(stdout);
  return fd;
}

void Serve(int aListener, const Options& o) {
  std::list<Client> clients;
  std::vector<pollfd> fds;
  while (!gStop) {
    fds.assign(1, pollfd{aListener, POLLIN, 0});
    for (const Client& c : clients)
      fds.push_back(pollfd{c.Fd, short(POLLIN | (c.Out.empty() ? 0 : POLLOUT)), 0});
    if (poll(fds.data(), fds.size(), 500) < 0 && errno != EINTR) break;
    size_t i = 1;
    for (auto it = clients.begin(); it != clients.end(); ++i) {
      short ev = fds[i].revents;
      bool alive = true;
      if (ev & POLLOUT) alive = Flush(*it);
      if (alive && (ev & (POLLIN | POLLHUP | POLLERR))) alive = ReadFrom(*it, o, clients);
      if (alive) {
        ++it;
      } else {
        close(it->Fd);
        it = clients.erase(it);
      }
    }
    if (fds[0].revents & POLLIN) Accept(aListener, clients);
  }
  for (const Client& c : clients) close(c.Fd);
}

[[noreturn]] void Usage(int aCode) {
  std::fprintf(aCode ? stderr : stdout,
               "usage: rcon_demo_server [--host ADDR] [--port N] [--password TEXT] [--source]\n"
               "  defaults: --host 127.0.0.1 --port 25575 --password zulu\n");
  std::exit(aCode);
}

Options ParseArgs(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    bool hasValue = i + 1 < argc;
    if (a == "--host" && hasValue) {
      o.Host = argv[++i];
    } else if (a == "--port" && hasValue) {
      char* end = nullptr;
      long p = std::strtol(argv[++i], &end, 10);
      if (*end != '\0' || p < 0 || p > 65535) Usage(2);
      o.Port = int(p);
    } else if (a == "--password" && hasValue) {
      o.Password = argv[++i];
    } else if (a == "--source") {
      o.Source = true;
    } else if (a == "--help" || a == "-h") {
      Usage(0);
    } else {
      Usage(2);
    }
  }
  return o;
}

void OnSignal(int) {
  gStop = 1;
}

}  // namespace

int main(int argc, char** argv) {
  Options o = ParseArgs(argc, argv);
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  int listener = Listen(o);
  if (listener < 0) return 1;
  Serve(listener, o);
  close(listener);
  return 0;
}
