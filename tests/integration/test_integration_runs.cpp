// QORTests --all as CI runs it: against the broker fixture every check must
// really run (no "[skip]"), and with no broker every check must skip and
// pass. The isolated runs get a network namespace of their own, so their
// loopback has no broker (or only the odd one they start) whatever the
// machine runs.
#include <gtest/gtest.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pugixml.hpp>
#include <sstream>

#include "ChildProcess.h"
#include "ClientTestKit.h"
#include "PrivateBroker.h"

namespace {

struct TRun {
  TChildResult Child;
  pugi::xml_document Report;
  std::vector<std::pair<std::string, std::string>> Results;  // check name, Result
};

// Runs QORTests with AArgs and an XML report file, and reads the report back.
void RunQORTests(TRun& ARun, std::vector<std::string> AArgs) {
  char dir[] = "/tmp/qor-integration-XXXXXX";
  const std::string file = std::string(mkdtemp(dir)) + "/report.xml";
  AArgs.push_back("--format=xml");
  AArgs.push_back("--file=" + file);
  ARun.Child = RunChild(QORTESTS_EXE, AArgs, {{"BRENKCONFIG", "/nonexistent/defaults.ini"}});
  ARun.Report.load_file(file.c_str());
  for (const auto& node : ARun.Report.select_nodes("//Test"))
    ARun.Results.emplace_back(node.node().attribute("Name").value(),
                              node.node().attribute("Result").value());
  unlink(file.c_str());
  rmdir(dir);
}

size_t Count(const std::string& AText, const std::string& APart) {
  size_t n = 0;
  for (auto p = AText.find(APart); p != std::string::npos; p = AText.find(APart, p + 1)) ++n;
  return n;
}

const bool kLogOnFailure = PrintSharedBrokerLogOnEveryFailure(std::string(QOR_BROKER_DIR) + "/mosquitto.log");

// --- isolation ------------------------------------------------------------------

// In a fresh network namespace the loopback interface starts down.
bool LoopbackUp() {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ifreq ifr{};
  std::snprintf(ifr.ifr_name, IFNAMSIZ, "lo");
  const bool ok = ioctl(fd, SIOCGIFFLAGS, &ifr) == 0 &&
                  (ifr.ifr_flags |= IFF_UP | IFF_RUNNING, ioctl(fd, SIOCSIFFLAGS, &ifr) == 0);
  close(fd);
  return ok;
}

// Runs ABody in a network namespace of its own, inside a death-test child:
// exit 0 when ABody returns an empty text, else the text on stderr and exit 1.
[[noreturn]] void Isolated(const std::function<std::string()>& ABody) {
  if (unshare(CLONE_NEWNET) != 0 || !LoopbackUp()) {
    std::fputs("cannot make a network namespace", stderr);
    _exit(2);
  }
  const std::string problem = ABody();
  std::fputs(problem.c_str(), stderr);
  _exit(problem.empty() ? 0 : 1);
}

bool CanIsolate() { return geteuid() == 0; }

// A socket that listens on APort and never accepts: the kernel completes the
// TCP handshake, and nothing ever answers.
int SilentListener(uint16_t APort) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(APort);
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 16) != 0) return -1;
  return fd;
}

std::string Describe(const TRun& ARun) {
  return "exit " + std::to_string(ARun.Child.ExitCode) + "\n" + ARun.Child.Out;
}

}  // namespace

TEST(WithBroker, AllThirtySevenChecksRunAndPass) {
  TRun run;
  RunQORTests(run, {"--all"});
  EXPECT_EQ(run.Child.ExitCode, 0) << Describe(run);
  ASSERT_EQ(run.Results.size(), 37u) << Describe(run);
  for (const auto& [name, result] : run.Results) EXPECT_EQ(result, "OK") << name;
  EXPECT_EQ(run.Child.Out.find("[skip]"), std::string::npos) << run.Child.Out;
  EXPECT_STREQ(run.Report.document_element().child_value("NumberOfRunTests"), "37");
  // The suite logs in with the password; no trace of it in what it prints.
  EXPECT_EQ(run.Child.Out.find("plumhouse"), std::string::npos);
  std::ostringstream report;
  run.Report.save(report);
  EXPECT_EQ(report.str().find("plumhouse"), std::string::npos);
}

TEST(Isolated, WithoutABrokerEveryCheckSkipsAndPasses) {
  if (!CanIsolate()) GTEST_SKIP() << "network namespaces need root";
  EXPECT_EXIT(Isolated([]() -> std::string {
                TRun run;
                RunQORTests(run, {"--all"});
                if (run.Child.ExitCode != 0 || run.Results.size() != 37) return Describe(run);
                for (const auto& [name, result] : run.Results)
                  if (result != "OK") return name + " " + result;
                const std::string& out = run.Child.Out;
                if (Count(out, "  [skip] Broker unreachable: ") != 8) return "skip notes:\n" + out;
                for (const char* line :
                     {"  [skip] TestConnect_PlainText: broker unreachable\n",
                      "  [skip] TestConnect_TLS: broker unreachable or TLS unavailable\n",
                      "  [skip] TestConnect_WithAuth: broker unreachable\n",
                      "  [skip] TestDisconnect: broker unreachable\n",
                      "  [skip] TestPublish_QoS0: broker unreachable\n",
                      "  [skip] TestPublish_QoS1: broker unreachable\n",
                      "  [skip] TestSubscribeAndReceive: broker unreachable (subscriber)\n",
                      "  [skip] TestKeepAlive: broker unreachable\n"})
                  if (out.find(line) == std::string::npos) return std::string("missing: ") + line;
                if (out.find("BadCredentials") != std::string::npos) return std::string("BadCredentials printed");
                return std::string();
              }),
              ::testing::ExitedWithCode(0), "");
}

TEST(Isolated, BadCredentialsPassesAgainstAListenerThatNeverAnswers) {
  if (!CanIsolate()) GTEST_SKIP() << "network namespaces need root";
  EXPECT_EXIT(Isolated([]() -> std::string {
                if (SilentListener(1884) < 0) return std::string("cannot listen on 1884");
                TRun run;
                RunQORTests(run, {"--suite=TestConnect_BadCredentials"});
                // After "Timeout waiting for CONNACK" the client must not report a connection.
                if (run.Child.ExitCode != 0 || run.Results.size() != 1 ||
                    run.Results[0].second != "OK")
                  return Describe(run);
                return std::string();
              }),
              ::testing::ExitedWithCode(0), "");
}

TEST(Isolated, BadCredentialsFailsAgainstABrokerThatTakesAnyPassword) {
  if (!CanIsolate()) GTEST_SKIP() << "network namespaces need root";
  EXPECT_EXIT(Isolated([]() -> std::string {
                TPrivateBroker permissive(1884);  // anonymous: the password is not checked
                if (!permissive.Start()) return std::string("mosquitto did not start");
                TRun run;
                RunQORTests(run, {"--suite=TestConnect_BadCredentials"});
                const std::string message = run.Report.select_node("//Test/Message").node().text().get();
                if (run.Child.ExitCode != 1 || run.Results.size() != 1 ||
                    run.Results[0].second != "Failed" ||
                    message != "TMQTTIntegrationTests.TestConnect_BadCredentials: Must NOT be "
                               "connected with wrong password")
                  return Describe(run) + "\nmessage: " + message;
                return std::string();
              }),
              ::testing::ExitedWithCode(0), "");
}

// A broker the user already runs on 1883, 8883 and 1884: the test command's
// own fixture starts and stops beside it in a network namespace of its own,
// and the user's broker goes on undisturbed.
TEST(Isolated, TheFixtureRunsBesideABrokerThatHoldsItsPorts) {
  if (!CanIsolate()) GTEST_SKIP() << "network namespaces need root";
  EXPECT_EXIT(Isolated([]() -> std::string {
                TPrivateBroker users(1883, "listener 8883 127.0.0.1\nlistener 1884 127.0.0.1\n");
                if (!users.Start()) return std::string("the user's mosquitto did not start");
                const std::string scripts = std::string(QOR_SOURCE_DIR) + "/scripts/";
                char dir[] = "/tmp/qor-beside-XXXXXX";
                const std::string fixture = scripts + "broker-fixture";
                const TChildResult r = RunChild(
                    "/bin/bash", {"-c", scripts + "private-network bash -c '" + fixture + " start " + mkdtemp(dir) +
                                            " && " + fixture + " answers && " + fixture + " stop " + dir + "'"});
                std::filesystem::remove_all(dir);
                if (r.ExitCode != 0) return "the fixture failed beside the user's broker:\n" + r.Out + r.Err;
                if (kill(users.Pid(), 0) != 0 || !PortAnswers(1883) || !PortAnswers(8883) || !PortAnswers(1884))
                  return std::string("the user's broker was disturbed");
                return std::string();
              }),
              ::testing::ExitedWithCode(0), "");
}
