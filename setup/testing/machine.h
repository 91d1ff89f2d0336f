// For the tests of flowsetup and sc: a machine in a temporary folder with a running service
// control manager, the test service installed as the flowmeter program of an installation
// folder, and a way to run the command-line tools there as an operator would.
#ifndef FLOWSENTRY_SETUP_TESTING_MACHINE_H_
#define FLOWSENTRY_SETUP_TESTING_MACHINE_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/service_control.h"
#include "platform/testing/temp_root.h"

namespace flowsentry::setup::testing {

struct ToolRun {
  std::string output;  // standard output, as written
  int exit_code = -1;
};

class Machine {
 public:
  // The installation folder, a machine path; the test service is copied there as "flowmeter".
  static constexpr char kInstallDirectory[] = "/opt/flowsentry";

  // Starts the manager in a fresh temporary root; `mode`, when given, goes into the "mode" file
  // the test service reads at its start.
  explicit Machine(std::string_view mode = "");
  ~Machine();

  const platform::testing::TempRoot& root() const;
  // Whether the manager answered.
  bool started() const { return started_; }

  // Runs `program` with `arguments` (joined by blanks, unquoted) in the host folder `directory`
  // and waits for it to end.
  static ToolRun Run(const std::string& program, const std::string& arguments,
                     const std::string& directory);
  // flowsetup in the installation folder.
  ToolRun Flowsetup(const std::string& arguments) const;
  // sc, from the machine root.
  ToolRun Sc(const std::string& arguments) const;

  // The whole flowsetup.log of the installation folder ("(missing)" when there is none).
  std::string SetupLog() const;

  // The service's status through a fresh manager connection; nullopt when it cannot be asked.
  std::optional<platform::SERVICE_STATUS_PROCESS> Status() const;
  // Starts the service and waits until it runs; false when it did not.
  bool StartAndWait() const;

 private:
  struct Parts;
  std::unique_ptr<Parts> parts_;
  bool started_ = false;
};

}  // namespace flowsentry::setup::testing

#endif  // FLOWSENTRY_SETUP_TESTING_MACHINE_H_
