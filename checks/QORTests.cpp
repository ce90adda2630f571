// QORTests: runs the checks of the QOR MQTT library and reports them.
#include "TestRunner.h"
#include "test_MQTTIntegration.h"
#include "test_MQTTPackets.h"

namespace {

class TQORTestRunner : public qor::TTestRunner {
 public:
  using TTestRunner::TTestRunner;
};

// Suites register here, in this order, rather than from static initialisers:
// the order of those across files is not defined, and the reports follow it.
void RegisterSuites() {
  RegisterPacketTests();
  RegisterIntegrationTests();
}

}  // namespace

int main(int argc, char** argv) {
  RegisterSuites();
  return qor::RunTestProgram<TQORTestRunner>(argc, argv, "QOR MQTT shared library tests");
}
