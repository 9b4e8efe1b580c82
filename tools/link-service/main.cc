// link-service: the local login-and-link service. Serves 127.0.0.1 until interrupted.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tools/link-service/LinkService.h"

int main(int argc, char** argv) {
  uint16_t port = 8972;
  for (int i = 1; i < argc; ++i) {
    std::string argument = argv[i];
    char* end = nullptr;
    long value = i + 1 < argc ? std::strtol(argv[i + 1], &end, 10) : -1;
    if (argument != "--port" || end == nullptr || *end != '\0' || value < 0 || value > 65535) {
      std::fprintf(stderr, "usage: link-service [--port N]  (default 8972; 0 picks a free one)\n");
      return 2;
    }
    port = static_cast<uint16_t>(value);
    ++i;
  }
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  try {
    link_service::LinkService service(port);
    std::printf("link-service listening on %s\n", service.baseURL().c_str());
    std::fflush(stdout);
    int received = 0;
    sigwait(&signals, &received);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "link-service: %s\n", e.what());
    return 1;
  }
  return 0;
}
