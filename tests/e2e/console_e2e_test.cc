// The console client against the real agent.
#include "platform/text.h"
#include "tests/e2e/agent_fixture.h"

namespace tavin::e2e {
namespace {

// Runs tavin-console with args; its exit status and standard output.
struct ConsoleRun {
  int status = -1;
  std::string output;
  std::string errors;
};

ConsoleRun runConsole(const std::vector<std::string>& args, const std::string& workDir) {
  std::vector<std::string> argv = {TAVIN_E2E_CONSOLE};
  argv.insert(argv.end(), args.begin(), args.end());
  AgentProcess process(argv, workDir);
  ConsoleRun run;
  auto status = process.waitForExit(30000);
  run.status = status.value_or(-1);
  process.stop();
  process.drainOutput();
  for (const std::string& line : process.outputLines()) run.output += line + "\n";
  run.errors = process.errorOutput();
  return run;
}

using ConsoleEndToEnd = AgentFixture;

TEST_F(ConsoleEndToEnd, StatusAsJsonAndAsTables) {
  writeIni("");
  startAgent();
  const std::string port = std::to_string(this->port());
  ConsoleRun json = runConsole({"--json", "--port", port, "status"}, workDir());
  EXPECT_EQ(json.status, 0) << json.errors;
  EXPECT_NE(json.output.find("\"hostStatus\""), std::string::npos) << json.output;
  EXPECT_NE(json.output.find(platform::gbkToUtf8("正常运行")), std::string::npos);

  ConsoleRun text = runConsole({"status", "--port", port}, workDir());
  EXPECT_EQ(text.status, 0) << text.errors;
  EXPECT_NE(text.output.find(platform::gbkToUtf8("监控程序2")), std::string::npos) << text.output;
  EXPECT_NE(text.output.find("envNo"), std::string::npos);
}

TEST_F(ConsoleEndToEnd, ExitStatusTellsRefusedFromUnreachable) {
  writeIni("");
  startAgent();
  auto first = connectConsole();  // the one console the agent serves
  ASSERT_NE(first, nullptr);
  ASSERT_TRUE(waitForHistory("Client 127.0.0.1 connected", 5000));
  ConsoleRun refused = runConsole({"--port", std::to_string(port()), "status"}, workDir());
  EXPECT_EQ(refused.status, 4) << refused.output << refused.errors;

  agent().stop();
  ConsoleRun unreachable =
      runConsole({"--port", std::to_string(port()), "--timeout", "1", "status"}, workDir());
  EXPECT_EQ(unreachable.status, 3) << unreachable.errors;
  EXPECT_FALSE(unreachable.errors.empty());
}

}  // namespace
}  // namespace tavin::e2e
