// psm-server: serves a member file on 127.0.0.1 until interrupted.
//   psm-server --members tools/psm-server/sample-members.json [--port 8787]
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tools/psm-server/PSMServer.h"

int main(int argc, char** argv) {
  std::string members = "tools/psm-server/sample-members.json";
  int port = 8787;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--members") == 0) {
      members = argv[i + 1];
    } else if (std::strcmp(argv[i], "--port") == 0) {
      port = std::atoi(argv[i + 1]);
    } else {
      std::fprintf(stderr, "usage: psm-server [--members FILE] [--port N]\n");
      return 2;
    }
  }
  auto config = PSMServerConfig::fromFile(members);
  if (!config.ok()) {
    std::fprintf(stderr, "psm-server: %s: %s\n", members.c_str(),
                 std::string(config.status().message()).c_str());
    return 1;
  }
  auto server = PSMServer::start(*std::move(config), static_cast<uint16_t>(port));
  if (!server.ok()) {
    std::fprintf(stderr, "psm-server: %s\n", std::string(server.status().message()).c_str());
    return 1;
  }
  std::printf("psm-server listening on %s (members from %s)\n", (*server)->baseURL().c_str(),
              members.c_str());
  std::fflush(stdout);
  (*server)->wait();
  return 0;
}
