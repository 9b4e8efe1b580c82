// psm-server: serves a member file on 127.0.0.1 until interrupted.
//   psm-server --members tools/psm-server/sample-members.json [--port 8787]
#include <csignal>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>

#include "tools/psm-server/PSMServer.h"

namespace {

void usage(FILE* out) {
  std::fprintf(out, "usage: psm-server [--members FILE] [options]  (default port 8787)\n%s",
               loopback::kServerOptionsUsage);
}

}  // namespace

int main(int argc, char** argv) {
  std::string members = "tools/psm-server/sample-members.json";
  loopback::LoopbackHttpServer::Options options;
  options.port = 8787;
  for (int i = 1; i < argc; i += 2) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      usage(stdout);
      return 0;
    }
    bool taken = i + 1 < argc;
    try {
      if (std::strcmp(argv[i], "--control-file") == 0) {
        // The token would open nothing: this service has no control routes.
        std::fprintf(stderr, "psm-server: --control-file is not taken: it has no control routes\n");
        taken = false;
      } else if (taken && std::strcmp(argv[i], "--members") == 0) {
        members = argv[i + 1];
      } else {
        taken = taken && loopback::parseServerOption(argv[i], argv[i + 1], &options);
      }
    } catch (const std::invalid_argument& e) {
      std::fprintf(stderr, "psm-server: %s\n", e.what());
      taken = false;
    }
    if (!taken) {
      usage(stderr);
      return 2;
    }
  }
  auto config = PSMServerConfig::fromFile(members);
  if (!config.ok()) {
    std::fprintf(stderr, "psm-server: %s: %s\n", members.c_str(),
                 std::string(config.status().message()).c_str());
    return 1;
  }
  // Signals are taken synchronously below, so block them before any thread starts.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  auto server = PSMServer::start(*std::move(config), options);
  if (!server.ok()) {
    std::fprintf(stderr, "psm-server: %s\n", std::string(server.status().message()).c_str());
    return 1;
  }
  std::printf("psm-server listening on %s (members from %s)\n", (*server)->baseURL().c_str(),
              members.c_str());
  std::fflush(stdout);
  int received = 0;
  sigwait(&signals, &received);
  return 0;
}
