// The service control manager's core: the installed services, their database file, the
// programs it runs for them and their status records. Thread-safe: every client connection
// calls in from a thread of its own; each running service program has one thread here that
// reads its channel and notices its end.
//
// Who may do what is decided by the caller (the server knows the client's user): `owner` tells
// whether the client is the manager's own user or root.
#ifndef FLOWSENTRY_SCMD_MANAGER_H_
#define FLOWSENTRY_SCMD_MANAGER_H_

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/errors.h"
#include "platform/service_control.h"
#include "scmd/service_database.h"

namespace flowsentry::scmd {

struct ManagerOptions {
  std::string database_folder;  // host path; its file "services" holds the database
  // How long a started program's dispatcher has to take the start, and a handler to return.
  std::chrono::milliseconds start_timeout{30000};
  std::chrono::milliseconds control_timeout{30000};
  // At shutdown: how long services have to end after their stop before they are killed.
  std::chrono::milliseconds shutdown_wait{20000};
  // How long a start waits for the program of the service's last run to end when that run has
  // reported SERVICE_STOPPED, before it kills it.
  std::chrono::milliseconds lingering_wait{30000};
  // One line per service started or stopped.
  std::function<void(const std::string&)> log;
};

class ServiceManager {
 public:
  explicit ServiceManager(ManagerOptions options);
  // Shutdown(), if it has not run.
  ~ServiceManager();
  ServiceManager(const ServiceManager&) = delete;
  ServiceManager& operator=(const ServiceManager&) = delete;

  // Reads the database file (a missing file is an empty database). Services marked for deletion
  // when the manager last ran are dropped now. ERROR_SUCCESS, or the code of the failure to
  // read or to make the folder.
  platform::Win32Error Load();

  // The services whose start type is automatic, as the database holds them now: taken before
  // clients are served, so that a service a client creates meanwhile is not started as if at
  // boot.
  std::vector<std::string> AutomaticServices() const;

  // Starts the given services one after the other, on a thread of its own (joined by Shutdown),
  // or on the caller's when no thread can be made.
  void StartAutomaticServices(std::vector<std::string> names);

  // Client requests, with Windows' codes. Create and OpenService count a handle on the service,
  // which CloseService gives back: a service marked for deletion goes once it is stopped and
  // its handles are closed.
  platform::Win32Error Create(const ServiceEntry& entry, bool owner);
  platform::Win32Error OpenService(const std::string& name, uint32_t access, bool owner);
  void CloseService(const std::string& name);
  platform::Win32Error Describe(const std::string& name, const std::string& description,
                                bool owner);
  // The program is the one the service's path names (SplitImagePath); ERROR_NOT_ENOUGH_MEMORY
  // when no thread can be made to watch it (the program is ended again).
  platform::Win32Error Start(const std::string& name, bool owner);
  // `status` gets the service's last reported status whenever the service exists.
  platform::Win32Error Control(const std::string& name, uint32_t control, bool owner,
                               platform::SERVICE_STATUS& status);
  platform::Win32Error Query(const std::string& name, platform::SERVICE_STATUS_PROCESS& status);
  platform::Win32Error QueryConfig(const std::string& name, ServiceEntry& entry);
  platform::Win32Error Delete(const std::string& name, bool owner);

  // Refuses new starts, sends a stop to every running service that accepts one, gives them
  // shutdown_wait to end, kills the programs left, and waits for all of them. Idempotent.
  void Shutdown();

 private:
  struct Instance;
  struct Service {
    ServiceEntry entry;
    platform::SERVICE_STATUS status;
    std::shared_ptr<Instance> instance;  // the program of the last run, until it has ended
    int handles = 0;
  };
  using Lock = std::unique_lock<std::mutex>;

  Service* Find(const std::string& name);
  platform::Win32Error SaveLocked();
  platform::Win32Error StartLocked(Lock& lock, const std::string& name);
  platform::Win32Error ControlLocked(Lock& lock, const std::string& name, uint32_t control,
                                     platform::SERVICE_STATUS& status);
  // Removes the service if it is marked for deletion, stopped, without a program and unopened.
  void RemoveIfDoneLocked(const std::string& name);
  // The thread of one run: reads the channel until the program has ended, then records the end.
  void Watch(std::string key, std::shared_ptr<Instance> instance);
  void OnFrame(const std::string& key, Instance& instance, const std::vector<uint8_t>& body);
  void Log(const std::string& line);

  const ManagerOptions options_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::map<std::string, Service> services_;  // by name in lower case
  std::vector<std::thread> threads_;         // watchers and the automatic start
  bool shutting_down_ = false;
  bool shut_down_ = false;
};

}  // namespace flowsentry::scmd

#endif  // FLOWSENTRY_SCMD_MANAGER_H_
