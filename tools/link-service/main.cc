// link-service: the local login-and-link service. Serves 127.0.0.1 until interrupted.
#include <sys/stat.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "tools/link-service/LinkService.h"

namespace {

void usage(FILE* out) {
  std::fprintf(out, "usage: link-service [options]  (default port 8972)\n%s%s",
               loopback::kServerOptionsUsage, loopback::kControlFileUsage);
}

}  // namespace

int main(int argc, char** argv) {
  loopback::LoopbackHttpServer::Options options;
  options.port = 8972;
  for (int i = 1; i < argc; i += 2) {
    if (std::string(argv[i]) == "--help" || std::string(argv[i]) == "-h") {
      usage(stdout);
      return 0;
    }
    bool taken = false;
    try {
      taken = i + 1 < argc && loopback::parseServerOption(argv[i], argv[i + 1], &options);
    } catch (const std::invalid_argument& e) {
      std::fprintf(stderr, "link-service: %s\n", e.what());
    }
    if (!taken) {
      usage(stderr);
      return 2;
    }
  }
  // What it writes (the control file) is the user's alone.
  ::umask(077);
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  try {
    link_service::LinkService service(options);
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
