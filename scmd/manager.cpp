#include "scmd/manager.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/errno_map.h"
#include "platform/posix/fd.h"
#include "platform/root.h"
#include "platform/scm_wire.h"
#include "scmd/frame_io.h"
#include "scmd/service_rules.h"
#include "scmd/thread_start.h"

extern char** environ;

namespace flowsentry::scmd {

using platform::ERROR_ACCESS_DENIED;
using platform::ERROR_INVALID_HANDLE;
using platform::ERROR_PROCESS_ABORTED;
using platform::ERROR_SERVICE_DOES_NOT_EXIST;
using platform::ERROR_SERVICE_EXISTS;
using platform::ERROR_SERVICE_MARKED_FOR_DELETE;
using platform::ERROR_SERVICE_REQUEST_TIMEOUT;
using platform::ERROR_SHUTDOWN_IN_PROGRESS;
using platform::ERROR_SUCCESS;
using platform::SERVICE_STATUS;
using platform::SERVICE_STATUS_PROCESS;
using platform::SERVICE_STOPPED;
using platform::Win32Error;
using platform::posix::Fd;
namespace wire = platform::scm_wire;

// One run of a service's program.
struct ServiceManager::Instance {
  pid_t pid = 0;
  Fd channel;  // the manager's end
  bool taken = false;
  Win32Error taken_error = ERROR_SUCCESS;
  bool exited = false;
  bool reported_stopped = false;
  bool timed_out = false;
  bool control_busy = false;
  uint64_t controls_done = 0;
};

namespace {

constexpr char kDatabaseFile[] = "services";
constexpr uint32_t kInitialWaitHint = 2000;
// The descriptor under which a service program finds its channel.
constexpr int kChildChannelFd = 3;

std::string Key(std::string_view name) {
  std::string key(name);
  for (char& c : key) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return key;
}

SERVICE_STATUS StoppedStatus(uint32_t type, Win32Error exit_code) {
  SERVICE_STATUS status;
  status.dwServiceType = type;
  status.dwCurrentState = SERVICE_STOPPED;
  status.dwWin32ExitCode = exit_code;
  return status;
}

Win32Error MakeFolders(const std::string& path) {
  std::string partial;
  size_t position = 0;
  while (position != std::string::npos) {
    position = path.find('/', position + 1);
    partial = path.substr(0, position);
    if (partial.empty()) continue;
    if (::mkdir(partial.c_str(), 0755) < 0 && errno != EEXIST) {
      return platform::Win32ErrorFromErrno(errno);
    }
  }
  return ERROR_SUCCESS;
}

// Starts the program that `image_path` names (SplitImagePath) with this process's environment
// plus the channel variable, its standard streams shared with the manager's, in a process group
// of its own (a terminal's interrupt reaches the manager, which stops its services itself).
Win32Error Spawn(const std::string& image_path, int child_channel, pid_t& pid) {
  std::vector<std::string> pieces = SplitImagePath(image_path);
  if (pieces.empty()) return platform::ERROR_FILE_NOT_FOUND;
  pieces[0] = platform::HostPath(pieces[0]);
  std::vector<char*> argv;
  for (auto& piece : pieces) argv.push_back(piece.data());
  argv.push_back(nullptr);

  const std::string variable = std::string(wire::kChannelVariable) + "=";
  std::string channel_setting = variable + std::to_string(kChildChannelFd);
  std::vector<char*> envp;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (std::strncmp(*entry, variable.c_str(), variable.size()) != 0) envp.push_back(*entry);
  }
  envp.push_back(channel_setting.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attributes);
  posix_spawn_file_actions_adddup2(&actions, child_channel, kChildChannelFd);
  sigset_t signals;
  sigemptyset(&signals);
  posix_spawnattr_setsigmask(&attributes, &signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGPIPE);
  sigaddset(&signals, SIGCHLD);
  posix_spawnattr_setsigdefault(&attributes, &signals);
  posix_spawnattr_setpgroup(&attributes, 0);
  posix_spawnattr_setflags(&attributes,
                           POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
  const int result = posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  return result == 0 ? ERROR_SUCCESS : platform::Win32ErrorFromErrno(result);
}

}  // namespace

ServiceManager::ServiceManager(ManagerOptions options) : options_(std::move(options)) {}

ServiceManager::~ServiceManager() { Shutdown(); }

void ServiceManager::Log(const std::string& line) {
  if (options_.log) options_.log(line);
}

ServiceManager::Service* ServiceManager::Find(const std::string& name) {
  const auto it = services_.find(Key(name));
  return it == services_.end() ? nullptr : &it->second;
}

Win32Error ServiceManager::Load() {
  if (const Win32Error error = MakeFolders(options_.database_folder); error != ERROR_SUCCESS) {
    return error;
  }
  const std::string path = options_.database_folder + "/" + kDatabaseFile;
  std::ifstream file(path, std::ios::binary);
  std::string text;
  if (file) {
    std::ostringstream contents;
    contents << file.rdbuf();
    text = contents.str();
  } else if (errno != ENOENT) {
    return platform::Win32ErrorFromErrno(errno);
  }
  std::lock_guard lock(mutex_);
  services_.clear();
  bool dropped = false;
  for (auto& entry : ParseServiceDatabase(text)) {
    if (entry.marked_for_delete) {
      dropped = true;
      continue;
    }
    Service service;
    service.status = StoppedStatus(entry.service_type, ERROR_SUCCESS);
    service.entry = std::move(entry);
    services_.emplace(Key(service.entry.name), std::move(service));
  }
  return dropped ? SaveLocked() : ERROR_SUCCESS;
}

Win32Error ServiceManager::SaveLocked() {
  std::vector<ServiceEntry> entries;
  for (const auto& [key, service] : services_) entries.push_back(service.entry);
  // Whole or not at all: a crash leaves either the old database or the new one.
  return platform::posix::ReplaceFileAtomically(options_.database_folder + "/" + kDatabaseFile,
                                                FormatServiceDatabase(entries));
}

std::vector<std::string> ServiceManager::AutomaticServices() const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> names;
  for (const auto& [key, service] : services_) {
    if (service.entry.start_type == platform::SERVICE_AUTO_START) {
      names.push_back(service.entry.name);
    }
  }
  return names;
}

void ServiceManager::StartAutomaticServices(std::vector<std::string> names) {
  auto start_all = [this, names = std::move(names)] {
    for (const auto& name : names) {
      const Win32Error error = Start(name, true);
      if (error != ERROR_SUCCESS) {
        Log("service " + name + " failed to start at boot: error " + std::to_string(error));
      }
    }
  };
  std::thread thread;
  {
    std::lock_guard lock(mutex_);
    if (TryStartThread(thread, start_all)) {
      threads_.push_back(std::move(thread));
      return;
    }
  }
  // No thread for it: the caller waits for the starts instead.
  start_all();
}

Win32Error ServiceManager::Create(const ServiceEntry& requested, bool owner) {
  if (!owner) return ERROR_ACCESS_DENIED;
  ServiceEntry entry = requested;
  entry.marked_for_delete = false;
  if (const Win32Error error = CheckServiceEntry(entry); error != ERROR_SUCCESS) return error;
  std::lock_guard lock(mutex_);
  if (const Service* existing = Find(entry.name)) {
    return existing->entry.marked_for_delete ? ERROR_SERVICE_MARKED_FOR_DELETE
                                             : ERROR_SERVICE_EXISTS;
  }
  // Display names are unique too, as on Windows.
  for (const auto& [key, service] : services_) {
    if (!entry.display_name.empty() &&
        SameServiceName(service.entry.display_name, entry.display_name)) {
      return platform::ERROR_DUPLICATE_SERVICE_NAME;
    }
  }
  Service service;
  service.status = StoppedStatus(entry.service_type, ERROR_SUCCESS);
  service.handles = 1;
  service.entry = entry;
  const std::string key = Key(entry.name);
  services_.emplace(key, std::move(service));
  if (const Win32Error error = SaveLocked(); error != ERROR_SUCCESS) {
    services_.erase(key);
    return error;
  }
  return ERROR_SUCCESS;
}

Win32Error ServiceManager::OpenService(const std::string& name, uint32_t access, bool owner) {
  if (CheckServiceName(name) != ERROR_SUCCESS) return platform::ERROR_INVALID_NAME;
  std::lock_guard lock(mutex_);
  Service* service = Find(name);
  if (service == nullptr) return ERROR_SERVICE_DOES_NOT_EXIST;
  if (!owner && NeedsOwner(access, true)) return ERROR_ACCESS_DENIED;
  ++service->handles;
  return ERROR_SUCCESS;
}

void ServiceManager::CloseService(const std::string& name) {
  std::lock_guard lock(mutex_);
  Service* service = Find(name);
  if (service == nullptr || service->handles == 0) return;
  --service->handles;
  RemoveIfDoneLocked(name);
}

Win32Error ServiceManager::Describe(const std::string& name, const std::string& description,
                                    bool owner) {
  std::lock_guard lock(mutex_);
  Service* service = Find(name);
  if (service == nullptr) return ERROR_SERVICE_DOES_NOT_EXIST;
  if (!owner) return ERROR_ACCESS_DENIED;
  if (service->entry.marked_for_delete) return ERROR_SERVICE_MARKED_FOR_DELETE;
  ServiceEntry changed = service->entry;
  changed.description = description;
  if (const Win32Error error = CheckServiceEntry(changed); error != ERROR_SUCCESS) return error;
  const std::string previous = service->entry.description;
  service->entry.description = description;
  if (const Win32Error error = SaveLocked(); error != ERROR_SUCCESS) {
    service->entry.description = previous;
    return error;
  }
  return ERROR_SUCCESS;
}

Win32Error ServiceManager::Start(const std::string& name, bool owner) {
  Lock lock(mutex_);
  if (Find(name) == nullptr) return ERROR_SERVICE_DOES_NOT_EXIST;
  if (!owner) return ERROR_ACCESS_DENIED;
  return StartLocked(lock, name);
}

Win32Error ServiceManager::StartLocked(Lock& lock, const std::string& name) {
  if (shutting_down_) return ERROR_SHUTDOWN_IN_PROGRESS;
  Service* service = Find(name);
  if (const Win32Error error = StartRefusal(service->status, service->entry.start_type,
                                            service->entry.marked_for_delete);
      error != ERROR_SUCCESS) {
    return error;
  }
  // The program of the last run reported SERVICE_STOPPED but has not ended yet: give it time
  // to, then end it, so that a stop followed at once by a start (the daily restart) starts a
  // fresh program rather than failing.
  if (auto old = service->instance; old && !old->exited) {
    const std::string key = Key(name);
    if (!changed_.wait_for(lock, options_.lingering_wait, [&] { return old->exited; })) {
      ::kill(old->pid, SIGKILL);
      changed_.wait(lock, [&] { return old->exited; });
    }
    service = Find(name);
    if (service == nullptr) return ERROR_SERVICE_DOES_NOT_EXIST;
    if (shutting_down_) return ERROR_SHUTDOWN_IN_PROGRESS;
    if (const Win32Error error = StartRefusal(service->status, service->entry.start_type,
                                              service->entry.marked_for_delete);
        error != ERROR_SUCCESS) {
      return error;
    }
    if (service->instance && !service->instance->exited) {
      return platform::ERROR_SERVICE_ALREADY_RUNNING;
    }
  }

  int ends[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) < 0) {
    return platform::Win32ErrorFromErrno(errno);
  }
  auto instance = std::make_shared<Instance>();
  instance->channel.Reset(ends[0]);
  Fd child_end(ends[1]);
  if (child_end.get() == kChildChannelFd) {
    // dup2 onto itself would keep close-on-exec set.
    child_end.Reset(::fcntl(ends[1], F_DUPFD_CLOEXEC, kChildChannelFd + 1));
    ::close(ends[1]);
  }
  const Win32Error spawned = Spawn(service->entry.binary_path, child_end.get(), instance->pid);
  child_end.Reset();
  if (spawned != ERROR_SUCCESS) {
    service->status = StoppedStatus(service->entry.service_type, spawned);
    return spawned;
  }
  service->status = SERVICE_STATUS{};
  service->status.dwServiceType = service->entry.service_type;
  service->status.dwCurrentState = platform::SERVICE_START_PENDING;
  service->status.dwWaitHint = kInitialWaitHint;
  service->instance = instance;
  // The start waits in the channel until the dispatcher connects.
  SendFrame(instance->channel.get(),
            wire::Writer(wire::kOpServiceStart).Str(service->entry.name).Frame());
  std::thread watcher;
  if (!TryStartThread(watcher, &ServiceManager::Watch, this, Key(name), instance)) {
    // A program nobody watches could never be stopped or reported on: end it now.
    ::kill(instance->pid, SIGKILL);
    while (::waitpid(instance->pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    service->instance.reset();
    service->status = StoppedStatus(service->entry.service_type, platform::ERROR_NOT_ENOUGH_MEMORY);
    return platform::ERROR_NOT_ENOUGH_MEMORY;
  }
  threads_.push_back(std::move(watcher));

  const bool answered = changed_.wait_for(lock, options_.start_timeout,
                                          [&] { return instance->taken || instance->exited; });
  if (instance->taken) {
    if (instance->taken_error == ERROR_SUCCESS) {
      Log("service " + name + " started (process " + std::to_string(instance->pid) + ")");
    }
    return instance->taken_error;
  }
  if (answered) return ERROR_PROCESS_ABORTED;
  instance->timed_out = true;
  ::kill(instance->pid, SIGKILL);
  return ERROR_SERVICE_REQUEST_TIMEOUT;
}

Win32Error ServiceManager::Control(const std::string& name, uint32_t control, bool owner,
                                   SERVICE_STATUS& status) {
  Lock lock(mutex_);
  Service* service = Find(name);
  if (service == nullptr) return ERROR_SERVICE_DOES_NOT_EXIST;
  status = service->status;
  if (!owner) return ERROR_ACCESS_DENIED;
  return ControlLocked(lock, name, control, status);
}

Win32Error ServiceManager::ControlLocked(Lock& lock, const std::string& name, uint32_t control,
                                         SERVICE_STATUS& status) {
  const auto deadline = std::chrono::steady_clock::now() + options_.control_timeout;
  // Controls reach a handler one at a time: a control sent while another is being handled
  // (the service's own child stopping it while its handler works) waits its turn.
  std::shared_ptr<Instance> instance;
  for (;;) {
    Service* service = Find(name);
    if (service == nullptr) return ERROR_SERVICE_DOES_NOT_EXIST;
    status = service->status;
    instance = service->instance;
    const bool running = instance && !instance->exited;
    if (const Win32Error error = ControlRefusal(status, running, control); error != ERROR_SUCCESS) {
      return error;
    }
    if (!instance->control_busy) break;
    if (changed_.wait_until(lock, deadline) == std::cv_status::timeout) {
      return ERROR_SERVICE_REQUEST_TIMEOUT;
    }
  }
  instance->control_busy = true;
  const uint64_t target = instance->controls_done + 1;
  if (!SendFrame(instance->channel.get(),
                 wire::Writer(wire::kOpServiceControl).U32(control).Frame())) {
    instance->control_busy = false;
    changed_.notify_all();
    return platform::ERROR_SERVICE_NOT_ACTIVE;
  }
  const bool done = changed_.wait_until(
      lock, deadline, [&] { return instance->controls_done >= target || instance->exited; });
  if (Service* service = Find(name)) status = service->status;
  return done ? ERROR_SUCCESS : ERROR_SERVICE_REQUEST_TIMEOUT;
}

Win32Error ServiceManager::Query(const std::string& name, SERVICE_STATUS_PROCESS& status) {
  std::lock_guard lock(mutex_);
  const Service* service = Find(name);
  if (service == nullptr) return ERROR_SERVICE_DOES_NOT_EXIST;
  const SERVICE_STATUS& s = service->status;
  status = SERVICE_STATUS_PROCESS{s.dwServiceType,
                                  s.dwCurrentState,
                                  s.dwControlsAccepted,
                                  s.dwWin32ExitCode,
                                  s.dwServiceSpecificExitCode,
                                  s.dwCheckPoint,
                                  s.dwWaitHint,
                                  0,
                                  0};
  if (service->instance && !service->instance->exited && s.dwCurrentState != SERVICE_STOPPED) {
    status.dwProcessId = static_cast<uint32_t>(service->instance->pid);
  }
  return ERROR_SUCCESS;
}

Win32Error ServiceManager::QueryConfig(const std::string& name, ServiceEntry& entry) {
  std::lock_guard lock(mutex_);
  const Service* service = Find(name);
  if (service == nullptr) return ERROR_SERVICE_DOES_NOT_EXIST;
  entry = service->entry;
  return ERROR_SUCCESS;
}

Win32Error ServiceManager::Delete(const std::string& name, bool owner) {
  std::lock_guard lock(mutex_);
  Service* service = Find(name);
  if (service == nullptr) return ERROR_SERVICE_DOES_NOT_EXIST;
  if (!owner) return ERROR_ACCESS_DENIED;
  if (service->entry.marked_for_delete) return ERROR_SERVICE_MARKED_FOR_DELETE;
  service->entry.marked_for_delete = true;
  if (const Win32Error error = SaveLocked(); error != ERROR_SUCCESS) {
    service->entry.marked_for_delete = false;
    return error;
  }
  RemoveIfDoneLocked(name);
  return ERROR_SUCCESS;
}

void ServiceManager::RemoveIfDoneLocked(const std::string& name) {
  const Service* service = Find(name);
  if (service == nullptr || !service->entry.marked_for_delete || service->handles > 0 ||
      (service->instance && !service->instance->exited) ||
      service->status.dwCurrentState != SERVICE_STOPPED) {
    return;
  }
  services_.erase(Key(name));
  // A failed write leaves the flag in the file, so the service goes at the next start.
  SaveLocked();
}

void ServiceManager::OnFrame(const std::string& key, Instance& instance,
                             const std::vector<uint8_t>& body) {
  wire::Reader reader(body);
  const auto it = services_.find(key);
  Service* service =
      it != services_.end() && it->second.instance.get() == &instance ? &it->second : nullptr;
  switch (reader.op()) {
    case wire::kOpStartTaken: {
      uint32_t error = 0;
      if (reader.U32(error)) {
        instance.taken = true;
        instance.taken_error = error;
      }
      break;
    }
    case wire::kOpStatus: {
      SERVICE_STATUS s;
      if (service == nullptr || instance.reported_stopped ||
          !(reader.U32(s.dwServiceType) && reader.U32(s.dwCurrentState) &&
            reader.U32(s.dwControlsAccepted) && reader.U32(s.dwWin32ExitCode) &&
            reader.U32(s.dwServiceSpecificExitCode) && reader.U32(s.dwCheckPoint) &&
            reader.U32(s.dwWaitHint)) ||
          !IsValidState(s.dwCurrentState)) {
        break;
      }
      service->status = s;
      if (s.dwCurrentState == SERVICE_STOPPED) instance.reported_stopped = true;
      break;
    }
    case wire::kOpControlDone:
      instance.control_busy = false;
      ++instance.controls_done;
      break;
    default:
      break;
  }
}

void ServiceManager::Watch(std::string key, std::shared_ptr<Instance> instance) {
  Fd process(static_cast<int>(::syscall(SYS_pidfd_open, instance->pid, 0)));
  const int channel = instance->channel.get();
  bool channel_open = true;
  bool ended = false;
  while (!ended) {
    pollfd fds[2] = {{channel_open ? channel : -1, POLLIN, 0}, {process.get(), POLLIN, 0}};
    if (::poll(fds, 2, process.valid() ? -1 : 100) < 0 && errno != EINTR) break;
    if (fds[0].revents != 0) {
      auto body = ReadFrame(channel);
      std::lock_guard lock(mutex_);
      if (body) {
        OnFrame(key, *instance, *body);
      } else {
        channel_open = false;
      }
      changed_.notify_all();
      continue;
    }
    // Without a process descriptor (an old kernel) the end is polled for.
    ended = process.valid() ? fds[1].revents != 0
                            : ::waitpid(instance->pid, nullptr, WNOHANG) == instance->pid;
    if (!channel_open && !process.valid()) continue;
  }
  // What the program sent before it ended is in the channel already: take it all in first, so
  // that its last status report counts.
  while (channel_open) {
    pollfd fd = {channel, POLLIN, 0};
    if (::poll(&fd, 1, 0) <= 0) break;
    auto body = ReadFrame(channel);
    if (!body) break;
    std::lock_guard lock(mutex_);
    OnFrame(key, *instance, *body);
  }
  int wait_status = 0;
  if (process.valid()) {
    while (::waitpid(instance->pid, &wait_status, 0) < 0 && errno == EINTR) {
    }
  }
  std::lock_guard lock(mutex_);
  instance->exited = true;
  instance->control_busy = false;
  instance->channel.Reset();
  const auto it = services_.find(key);
  if (it != services_.end() && it->second.instance == instance) {
    Service& service = it->second;
    if (!instance->reported_stopped) {
      service.status = StoppedStatus(service.entry.service_type, instance->timed_out
                                                                     ? ERROR_SERVICE_REQUEST_TIMEOUT
                                                                     : ERROR_PROCESS_ABORTED);
    }
    Log("service " + service.entry.name + " stopped (exit code " +
        std::to_string(service.status.dwWin32ExitCode) + ")");
    RemoveIfDoneLocked(service.entry.name);
  }
  changed_.notify_all();
}

void ServiceManager::Shutdown() {
  std::vector<std::thread> stoppers;
  {
    Lock lock(mutex_);
    if (shut_down_) return;
    shut_down_ = true;
    shutting_down_ = true;
    for (const auto& [key, service] : services_) {
      if (!service.instance || service.instance->exited) continue;
      std::thread stopper;
      if (!TryStartThread(stopper, [this, name = service.entry.name, instance = service.instance] {
            Lock inner(mutex_);
            SERVICE_STATUS status;
            const Win32Error error =
                ControlLocked(inner, name, platform::SERVICE_CONTROL_STOP, status);
            // A service that cannot take the stop (still starting, or not accepting it) would only
            // be killed at the end of the wait: it is ended at once instead.
            if (error != ERROR_SUCCESS && error != platform::ERROR_SERVICE_NOT_ACTIVE &&
                !instance->exited) {
              ::kill(instance->pid, SIGKILL);
            }
          })) {
        // Nothing to send the stop with: ended at once, as one that cannot take it would be.
        ::kill(service.instance->pid, SIGKILL);
        continue;
      }
      stoppers.push_back(std::move(stopper));
    }
    auto all_ended = [this] {
      for (const auto& [key, service] : services_) {
        if (service.instance && !service.instance->exited) return false;
      }
      return true;
    };
    if (!changed_.wait_for(lock, options_.shutdown_wait, all_ended)) {
      for (const auto& [key, service] : services_) {
        if (service.instance && !service.instance->exited) ::kill(service.instance->pid, SIGKILL);
      }
      changed_.wait(lock, all_ended);
    }
  }
  for (auto& thread : stoppers) thread.join();
  std::vector<std::thread> threads;
  {
    std::lock_guard lock(mutex_);
    threads.swap(threads_);
  }
  for (auto& thread : threads) thread.join();
}

}  // namespace flowsentry::scmd
