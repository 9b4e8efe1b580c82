// measurement-service: the local measurement service. Serves 127.0.0.1 until interrupted.
#include <sys/stat.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

#include "tools/measurement-service/MeasurementService.h"

namespace {

void usage(FILE* out = stderr) {
  std::fprintf(
      out,
      "usage: measurement-service [--port N] [--data DIR] [--config-dir DIR]\n"
      "                           [--header-deadline-ms N] [--body-progress-ms N]\n"
      "                           [--read-deadline-ms N]\n"
      "                           [--max-connections N] [--control-file FILE]\n"
      "  --data DIR             where uploads.sqlite is kept (default ./measurement-data)\n"
      "  --config-dir DIR       configurations, one \"<app id>.json\" or \".pb\" each\n"
      "  --deeplink FILE        the deferred deep link answered (JSON)\n"
      "  --skan FILE            the SKAdNetwork answer ({\"response\": {...}}, see\n"
      "                         AdConversionService.h)\n"
      "  --psm-members FILE     psm-server's members: answers the PSM and ODC paths\n"
      "  --max-store-mb N       the upload store keeps about this much, the oldest uploads going\n"
      "                         first (default 1024)\n"
      "%s%s  (default port 8970; the control file defaults to DIR/control.json)\n",
      loopback::kServerOptionsUsage, loopback::kControlFileUsage);
}

}  // namespace

int main(int argc, char** argv) {
  measurement_service::MeasurementService::Options options;
  options.server.port = 8970;
  options.dataDirectory = "measurement-data";
  for (int i = 1; i < argc; ++i) {
    std::string argument = argv[i];
    if (argument == "--help" || argument == "-h") {
      usage(stdout);
      return 0;
    }
    if (i + 1 >= argc) {
      usage();
      return 2;
    }
    std::string value = argv[++i];
    try {
      if (loopback::parseServerOption(argument, value, &options.server)) continue;
    } catch (const std::invalid_argument& e) {
      std::fprintf(stderr, "measurement-service: %s\n", e.what());
      usage();
      return 2;
    }
    if (argument == "--data") {
      options.dataDirectory = value;
    } else if (argument == "--config-dir") {
      options.configDirectory = value;
    } else if (argument == "--deeplink") {
      options.adConversion.deepLinkFile = value;
    } else if (argument == "--skan") {
      options.adConversion.skanFile = value;
    } else if (argument == "--psm-members") {
      options.adConversion.psmMembers = value;
    } else if (argument == "--max-store-mb") {
      char* end = nullptr;
      unsigned long long megabytes = std::strtoull(value.c_str(), &end, 10);
      if (value.empty() || value[0] == '-' || *end != '\0' || megabytes == 0 ||
          megabytes > (uint64_t{1} << 30)) {
        std::fprintf(stderr, "measurement-service: bad value for --max-store-mb: %s\n",
                     value.c_str());
        usage();
        return 2;
      }
      options.maxStoredBytes = megabytes << 20;
    } else {
      usage();
      return 2;
    }
  }

  if (options.server.controlFile.empty()) {
    options.server.controlFile = options.dataDirectory + "/control.json";
  }

  // Whatever it makes (the store, its journal, the answer file, the control file) is the
  // user's alone.
  ::umask(077);

  // Signals are taken synchronously below, so block them before any thread starts.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  try {
    measurement_service::MeasurementService service(options);
    // Tests and scripts read the port from this line.
    std::printf("measurement-service listening on %s\n", service.baseURL().c_str());
    // The uploads page, like the app's, opens with a one-time secret (POST /_control/page-url
    // gives another address).
    std::printf("measurement-service: the uploads are shown at %s\n", service.newPageURL().c_str());
    std::fflush(stdout);
    int received = 0;
    sigwait(&signals, &received);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "measurement-service: %s\n", e.what());
    return 1;
  }
  return 0;
}
