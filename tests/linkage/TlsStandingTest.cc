// Standing test of the TLS arrangement: a process that runs BoringSSL code makes a real HTTPS
// request through libcurl (GnuTLS flavour) to an `openssl s_server` on loopback, verifying the
// server against a throwaway self-signed certificate pinned as the only CA.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/bn.h>
#include <openssl/is_boringssl.h>
#include <openssl/sha.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <curl/curl.h>
#include <gtest/gtest.h>

extern char** environ;

namespace {

namespace fs = std::filesystem;

std::string hex(const unsigned char* bytes, size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < size; ++i) {
    out += kDigits[bytes[i] >> 4];
    out += kDigits[bytes[i] & 0xf];
  }
  return out;
}

uint16_t freePort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    if (fd >= 0) ::close(fd);
    return 0;
  }
  ::close(fd);
  return ntohs(address.sin_port);
}

bool accepts(uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
  ::close(fd);
  return ok;
}

size_t appendBody(char* data, size_t size, size_t count, void* user) {
  static_cast<std::string*>(user)->append(data, size * count);
  return size * count;
}

// An `openssl s_server -www` on 127.0.0.1 with a fresh self-signed certificate for
// 127.0.0.1, in a temporary folder; stopped and removed by the destructor.
class OpenSslServer {
 public:
  OpenSslServer() {
    std::string pattern = (fs::temp_directory_path() / "kvl-tls-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) return;
    dir_ = pattern;
    std::string command =
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1"
        " -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1"
        " -keyout '" +
        key().string() + "' -out '" + cert().string() + "' 2>'" + (dir_ / "req.log").string() + "'";
    if (std::system(command.c_str()) != 0) return;

    // The port is picked free and then handed to s_server: retry in the rare case another
    // process took it in between.
    for (int attempt = 0; attempt < 5 && pid_ <= 0; ++attempt) {
      uint16_t port = freePort();
      if (port == 0) continue;
      if (launch(port) && waitUntilAccepting(port)) {
        port_ = port;
      } else {
        stop();
      }
    }
  }
  ~OpenSslServer() {
    stop();
    if (!dir_.empty()) fs::remove_all(dir_);
  }

  bool running() const { return pid_ > 0 && port_ != 0; }
  uint16_t port() const { return port_; }
  fs::path cert() const { return dir_ / "cert.pem"; }
  std::string log() const {
    std::ifstream in(dir_ / "server.log");
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

 private:
  fs::path key() const { return dir_ / "key.pem"; }

  bool launch(uint16_t port) {
    std::string accept = "127.0.0.1:" + std::to_string(port);
    std::string certPath = cert().string();
    std::string keyPath = key().string();
    std::string logPath = (dir_ / "server.log").string();
    std::vector<std::string> args = {"openssl", "s_server", "-accept", accept, "-cert",
                                     certPath,  "-key",     keyPath,   "-www", "-quiet"};
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, logPath.c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0600);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    pid_t pid = 0;
    int rc = posix_spawnp(&pid, "openssl", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return false;
    pid_ = pid;
    return true;
  }

  // Waits for the child to listen (it starts in well under a second); false if it exits.
  bool waitUntilAccepting(uint16_t port) {
    for (int i = 0; i < 500; ++i) {
      if (accepts(port)) return true;
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = 0;
        return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }

  void stop() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      int status = 0;
      waitpid(pid_, &status, 0);
      pid_ = 0;
    }
  }

  fs::path dir_;
  pid_t pid_ = 0;
  uint16_t port_ = 0;
};

struct HttpsResult {
  CURLcode code = CURLE_OK;
  long status = 0;
  std::string body;
  std::string error;
};

HttpsResult httpsGet(const std::string& url, const std::string& caFile) {
  HttpsResult result;
  CURL* curl = curl_easy_init();
  char errorBuffer[CURL_ERROR_SIZE] = {};
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "https");
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, 30L);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
  if (!caFile.empty()) curl_easy_setopt(curl, CURLOPT_CAINFO, caFile.c_str());
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorBuffer);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &appendBody);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &result.body);
  result.code = curl_easy_perform(curl);
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &result.status);
  result.error = errorBuffer;
  curl_easy_cleanup(curl);
  return result;
}

TEST(TlsStandingTest, HttpsThroughGnuTlsCurlBesideBoringSsl) {
  // BoringSSL at work in this process: a published SHA-256 vector (FIPS 180-2, "abc") and a
  // big number, both from the Android library.
  const unsigned char abc[] = {'a', 'b', 'c'};
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256(abc, sizeof(abc), digest);
  EXPECT_EQ(hex(digest, sizeof(digest)),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  BIGNUM* bn = BN_new();
  ASSERT_NE(bn, nullptr);
  ASSERT_EQ(BN_set_word(bn, 65537), 1);
  EXPECT_EQ(BN_num_bits(bn), 17u);
  BN_free(bn);
  Dl_info info{};
  ASSERT_NE(dladdr(reinterpret_cast<void*>(&SHA256), &info), 0);
  EXPECT_NE(std::string(info.dli_fname).find("android/libcrypto.so"), std::string::npos)
      << info.dli_fname;

  OpenSslServer server;
  ASSERT_TRUE(server.running()) << "openssl s_server did not start:\n" << server.log();
  std::string url = "https://127.0.0.1:" + std::to_string(server.port()) + "/";

  HttpsResult pinned = httpsGet(url, server.cert().string());
  ASSERT_EQ(pinned.code, CURLE_OK)
      << curl_easy_strerror(pinned.code) << ": " << pinned.error << "\nserver log:\n"
      << server.log();
  EXPECT_EQ(pinned.status, 200);
  // -www answers with a page that names the server and the negotiated cipher.
  EXPECT_NE(pinned.body.find("s_server"), std::string::npos) << pinned.body;
  EXPECT_NE(pinned.body.find("Cipher"), std::string::npos) << pinned.body;

  // The same server with the system's CAs must fail verification: the check is real.
  HttpsResult unpinned = httpsGet(url, "");
  EXPECT_NE(unpinned.code, CURLE_OK);
  EXPECT_EQ(unpinned.status, 0);
}

}  // namespace
