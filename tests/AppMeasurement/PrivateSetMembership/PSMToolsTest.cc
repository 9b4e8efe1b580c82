// The walk-through of docs/psm.md: psm-server started by its one command with the sample member
// file (a second process), then psm-query asking for a member and a non-member.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/TestHttpServer.h"

namespace {

std::string run(const std::string& command) {
  std::string output;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    char buffer[512];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
    pclose(pipe);
  }
  return output;
}

TEST(PSMToolsTest, ServerFromSampleFileAnswersTheQueryTool) {
  const std::string tools = std::string(KVL_BINARY_DIR) + "/tools/psm-server/";
  const uint16_t port = testsupport::TestHttpServer::closedPort();
  const pid_t server = fork();
  ASSERT_GE(server, 0);
  if (server == 0) {
    execl((tools + "psm-server").c_str(), "psm-server", "--members",
          "tools/psm-server/sample-members.json", "--port", std::to_string(port).c_str(), nullptr);
    _exit(127);
  }
  const std::string query = tools + "psm-query --server http://127.0.0.1:" + std::to_string(port);
  // The server needs a moment to listen: ask until it answers (a refused connection fails fast).
  std::string member;
  for (int i = 0; i < 200 && member.rfind("member:", 0) != 0; ++i) {
    member = run(query + " --email Jane.Doe@example.com 2>/dev/null");
    if (member.empty()) usleep(50 * 1000);
  }
  EXPECT_EQ(member, "member: true, value: campaign-7:install\n");
  EXPECT_EQ(run(query + " --phone '+1 650 555 1234'"),
            "member: true, value: campaign-9:purchase\n");
  EXPECT_EQ(run(query + " --email someone.else@example.com"), "member: false\n");
  kill(server, SIGTERM);
  int status = 0;
  waitpid(server, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
}

}  // namespace
