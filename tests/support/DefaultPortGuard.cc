// The test suite's watch on the default ports of the local services (the ports ./run.sh uses):
// no test, benchmark or fuzzer may reach a port it did not open, so while the suite runs these
// ports are held by this guard, and anything that connects to them is written down.
//
//   default-port-guard start STATE_DIR PORT...   binds 127.0.0.1 (and [::1]) on each port, then
//                                                watches them from a background process
//   default-port-guard stop STATE_DIR            ends the watch; fails (status 1) when a process
//                                                of the suite connected to one of the ports
//
// CTest runs `start` as the suite's fixture setup and `stop` as its cleanup. A port that
// something else already holds (a user's ./run.sh) cannot be watched: `start` says so plainly
// and the suite goes on. Every such NOTE is also kept in STATE_DIR/notes, which ./test.sh
// prints after the suite: CTest shows a passing test's output only when asked (-V). Each connection
// is traced to the process that made it (through /proc/net/tcp and the processes' descriptors): one
// that descends from the CTest run that started the guard is the suite's fault; another process's
// (another suite on the machine) is reported without failing. A connection closed before it could
// be traced (a reachability probe) counts as the suite's, unless another run was seen on the ports
// meanwhile. The watcher ends by itself when that CTest run is gone.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Listener {
  int fd;
  int port;
};

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void appendLine(const std::string& path, const std::string& line) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
  if (fd < 0) return;
  std::string text = line + "\n";
  ssize_t written = ::write(fd, text.data(), text.size());
  (void)written;
  ::close(fd);
}

std::optional<pid_t> parentOf(pid_t pid) {
  std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
  size_t close = stat.rfind(')');
  if (close == std::string::npos) return std::nullopt;
  char state = 0;
  int parent = 0;
  if (std::sscanf(stat.c_str() + close + 1, " %c %d", &state, &parent) != 2) return std::nullopt;
  return parent;
}

std::string commandLine(pid_t pid) {
  std::string text = readFile("/proc/" + std::to_string(pid) + "/cmdline");
  for (char& c : text) {
    if (c == '\0') c = ' ';
  }
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

// The inode of the client's end of a loopback connection from `clientPort` to `serverPort`.
std::optional<unsigned long> clientSocketInode(int clientPort, int serverPort) {
  for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    std::istringstream lines(readFile(table));
    std::string line;
    std::getline(lines, line);  // header
    while (std::getline(lines, line)) {
      std::istringstream fields(line);
      std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout;
      unsigned long inode = 0;
      fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >>
          timeout >> inode;
      auto portOf = [](const std::string& address) {
        size_t colon = address.rfind(':');
        return colon == std::string::npos
                   ? -1
                   : static_cast<int>(std::strtol(address.c_str() + colon + 1, nullptr, 16));
      };
      if (portOf(local) == clientPort && portOf(remote) == serverPort && inode != 0) return inode;
    }
  }
  return std::nullopt;
}

std::optional<pid_t> processHoldingSocket(unsigned long inode) {
  std::string wanted = "socket:[" + std::to_string(inode) + "]";
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return std::nullopt;
  std::optional<pid_t> found;
  while (dirent* entry = ::readdir(proc)) {
    char* end = nullptr;
    long pid = std::strtol(entry->d_name, &end, 10);
    if (*end != '\0' || pid <= 0 || pid == ::getpid()) continue;
    std::string fdDir = "/proc/" + std::string(entry->d_name) + "/fd";
    DIR* fds = ::opendir(fdDir.c_str());
    if (fds == nullptr) continue;
    while (dirent* fd = ::readdir(fds)) {
      char target[64];
      std::string link = fdDir + "/" + fd->d_name;
      ssize_t length = ::readlink(link.c_str(), target, sizeof target - 1);
      if (length <= 0) continue;
      target[length] = '\0';
      if (wanted == target) {
        found = static_cast<pid_t>(pid);
        break;
      }
    }
    ::closedir(fds);
    if (found) break;
  }
  ::closedir(proc);
  return found;
}

bool descendsFrom(pid_t pid, pid_t ancestor) {
  for (int depth = 0; depth < 64 && pid > 1; ++depth) {
    if (pid == ancestor) return true;
    std::optional<pid_t> parent = parentOf(pid);
    if (!parent) return false;
    pid = *parent;
  }
  return false;
}

std::string printable(const std::string& bytes, size_t limit) {
  std::string out;
  for (size_t i = 0; i < bytes.size() && out.size() < limit; ++i) {
    unsigned char c = static_cast<unsigned char>(bytes[i]);
    if (c == '\r') continue;
    if (c == '\n') {
      out += " | ";
    } else if (c < 0x20 || c >= 0x7f) {
      out += '.';
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

// Reads what the client sends first (a request line and headers, as a rule): a few short
// waits at most, so that a client that sends nothing does not hold the watch.
std::string readOpening(int fd) {
  std::string data;
  for (int reads = 0; reads < 8 && data.size() < 2048 && data.find("\r\n\r\n") == std::string::npos;
       ++reads) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 250) <= 0) break;
    char buffer[1024];
    ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
    if (got <= 0) break;
    data.append(buffer, static_cast<size_t>(got));
  }
  return data;
}

void watch(const std::vector<Listener>& listeners, const std::string& log, pid_t suite) {
  std::vector<pollfd> polled;
  for (const Listener& listener : listeners) polled.push_back({listener.fd, POLLIN, 0});
  while (true) {
    int ready = ::poll(polled.data(), polled.size(), 1000);
    if (::kill(suite, 0) != 0 && errno == ESRCH) return;  // the CTest run is gone
    if (ready <= 0) continue;
    for (size_t i = 0; i < polled.size(); ++i) {
      if ((polled[i].revents & POLLIN) == 0) continue;
      sockaddr_storage peer{};
      socklen_t peerLength = sizeof peer;
      int connection = ::accept(polled[i].fd, reinterpret_cast<sockaddr*>(&peer), &peerLength);
      if (connection < 0) continue;
      int clientPort = peer.ss_family == AF_INET6
                           ? ntohs(reinterpret_cast<sockaddr_in6*>(&peer)->sin6_port)
                           : ntohs(reinterpret_cast<sockaddr_in*>(&peer)->sin_port);
      // Traced at once, while the client still holds its end.
      std::optional<pid_t> client;
      if (std::optional<unsigned long> inode = clientSocketInode(clientPort, listeners[i].port)) {
        client = processHoldingSocket(*inode);
      }
      std::string command = client ? commandLine(*client) : std::string();
      std::string opening = readOpening(connection);
      static const char kAnswer[] =
          "HTTP/1.1 421 Misdirected Request\r\nContent-Type: text/plain\r\nContent-Length: 62\r\n"
          "Connection: close\r\n\r\n"
          "A test reached a default port that the test suite never opens\n";
      ssize_t sent = ::send(connection, kAnswer, sizeof kAnswer - 1, MSG_NOSIGNAL);
      (void)sent;
      ::close(connection);
      std::string verdict = !client ? "SUITE?" : descendsFrom(*client, suite) ? "SUITE" : "OTHER";
      appendLine(log, verdict + " port " + std::to_string(listeners[i].port) + " from " +
                          (client ? "pid " + std::to_string(*client) + " (" + command + ")"
                                  : std::string("a process that could not be traced")) +
                          ": " + printable(opening, 600));
    }
  }
}

int bindLoopback(int family, int port) {
  int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  int result;
  if (family == AF_INET) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    result = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  } else {
    ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(static_cast<uint16_t>(port));
    address.sin6_addr = in6addr_loopback;
    result = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  }
  if (result != 0 || ::listen(fd, 64) != 0) {
    int saved = errno;
    ::close(fd);
    errno = saved;
    return -1;
  }
  return fd;
}

int start(const std::string& stateDir, const std::vector<int>& ports) {
  ::mkdir(stateDir.c_str(), 0700);
  const std::string log = stateDir + "/arrivals.log";
  ::unlink(log.c_str());
  ::unlink((stateDir + "/notes").c_str());
  ::unlink((stateDir + "/pid").c_str());
  std::vector<Listener> listeners;
  std::string watched;
  std::string held;
  for (int port : ports) {
    int fd = bindLoopback(AF_INET, port);
    if (fd < 0) {
      held += (held.empty() ? "" : ", ") + std::to_string(port);
      continue;
    }
    listeners.push_back({fd, port});
    watched += (watched.empty() ? "" : ", ") + std::to_string(port);
    if (int v6 = bindLoopback(AF_INET6, port); v6 >= 0) listeners.push_back({v6, port});
  }
  if (!held.empty()) {
    std::string notice =
        "NOTE: port(s) " + held +
        " on 127.0.0.1 are held by another process (a ./run.sh of yours, or another test run): "
        "this suite cannot see requests that reach them. Stop it to have them watched.";
    std::printf("%s\n", notice.c_str());
    appendLine(stateDir + "/notes", notice);
  }
  if (listeners.empty()) return 0;
  std::printf("default-port-guard: watching 127.0.0.1 ports %s while the suite runs\n",
              watched.c_str());
  std::fflush(stdout);
  pid_t suite = ::getppid();  // the CTest run
  pid_t child = ::fork();
  if (child < 0) {
    std::perror("fork");
    return 1;
  }
  if (child == 0) {
    ::setsid();
    int null = ::open("/dev/null", O_RDWR);
    ::dup2(null, 0);
    ::dup2(null, 1);
    ::dup2(null, 2);
    ::signal(SIGPIPE, SIG_IGN);
    watch(listeners, log, suite);
    ::_exit(0);
  }
  for (const Listener& listener : listeners) ::close(listener.fd);
  appendLine(stateDir + "/pid", std::to_string(child));
  return 0;
}

int stop(const std::string& stateDir) {
  std::string pidText = readFile(stateDir + "/pid");
  ::unlink((stateDir + "/pid").c_str());
  pid_t watcher = static_cast<pid_t>(std::strtol(pidText.c_str(), nullptr, 10));
  // Only our own watcher is ended: the pid must still name a default-port-guard.
  if (watcher > 0 && commandLine(watcher).find("default-port-guard") != std::string::npos) {
    ::kill(watcher, SIGTERM);
    for (int i = 0; i < 100 && ::kill(watcher, 0) == 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
  const std::string notes = stateDir + "/notes";
  std::string notice = readFile(notes);
  if (!notice.empty()) std::printf("%s", notice.c_str());
  std::istringstream arrivals(readFile(stateDir + "/arrivals.log"));
  std::string line;
  std::string traced;
  std::string untraced;
  int ours = 0;
  int unknown = 0;
  int others = 0;
  while (std::getline(arrivals, line)) {
    if (line.rfind("OTHER ", 0) == 0) {
      ++others;
      std::string note =
          "NOTE: not this suite's, another process on the machine reached a default port: " +
          line.substr(6);
      std::printf("%s\n", note.c_str());
      appendLine(notes, note);
    } else if (line.rfind("SUITE? ", 0) == 0) {
      ++unknown;
      untraced += "  " + line + "\n";
    } else {
      ++ours;
      traced += "  " + line + "\n";
    }
  }
  // A connection that closes at once (a reachability probe) is gone before it can be traced.
  // With no other test run on the machine, it can only be this suite's; while another one was
  // seen reaching the ports, it may be that one's, and is reported without failing.
  if (unknown > 0 && others > 0) {
    std::string note = "NOTE: " + std::to_string(unknown) +
                       " connection(s) closed before they could be traced, while another test "
                       "run was reaching these ports too; not counted:\n" +
                       untraced;
    std::printf("%s", note.c_str());
    appendLine(notes, note.substr(0, note.size() - 1));
    unknown = 0;
    untraced.clear();
  }
  if (ours + unknown > 0) {
    std::printf(
        "FAILED: %d connection(s) of this test run reached the local services' default "
        "ports, which no test may use (point every host at a server the test started, "
        "or at a port it holds closed):\n%s%s",
        ours + unknown, traced.c_str(), untraced.c_str());
    return 1;
  }
  std::printf("default-port-guard: nothing of this suite reached the default ports\n");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string mode = argc > 2 ? argv[1] : "";
  if (mode == "start" && argc > 3) {
    std::vector<int> ports;
    for (int i = 3; i < argc; ++i) ports.push_back(std::atoi(argv[i]));
    return start(argv[2], ports);
  }
  if (mode == "stop" && argc == 3) return stop(argv[2]);
  std::fprintf(stderr,
               "usage: default-port-guard start STATE_DIR PORT... | default-port-guard stop "
               "STATE_DIR\n");
  return 2;
}
