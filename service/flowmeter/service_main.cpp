#include "service/flowmeter/service_main.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/last_error.h"
#include "platform/process.h"
#include "platform/service_control.h"
#include "platform/threads.h"
#include "platform/time.h"
#include "service/capture/capture_thread.h"
#include "service/capture/service_context.h"
#include "service/capture/service_sync.h"
#include "service/host/config.h"
#include "service/host/log.h"

namespace flowsentry::flowmeter {
namespace {

using platform::GetLastError;

int32_t LastErrorCode() { return static_cast<int32_t>(GetLastError()); }

// The service's process-wide state. ServiceMain and Handler both report, from two threads: an
// interrogation may come while ServiceMain reports running. Each report is built from the status
// record and sent under status_mutex, so the manager receives reports in the order their states
// were set, and an interrogation re-sends the state that is current, never one left behind.
// The handle is set by ServiceMain once the handler is registered, which may already be called.
std::atomic<platform::ServiceStatusHandle> status_handle = 0;
std::mutex status_mutex;
// Under status_mutex. Starting: a handler exists only once ServiceMain is about to report so.
platform::SERVICE_STATUS status = {.dwServiceType = platform::SERVICE_WIN32_OWN_PROCESS,
                                   .dwCurrentState = platform::SERVICE_START_PENDING};
uint32_t CheckPoint = 1;  // under status_mutex

// ReportStatus with status_mutex held.
bool ReportStatusLocked(uint32_t state, uint32_t win32_exit_code, uint32_t wait_hint) {
  host::WriteLog("Begin SetServiceStatus", 0);
  status.dwCurrentState = state;
  status.dwWin32ExitCode = win32_exit_code;
  status.dwWaitHint = wait_hint;
  status.dwControlsAccepted =
      state == platform::SERVICE_START_PENDING ? 0 : platform::SERVICE_ACCEPT_STOP;
  status.dwCheckPoint =
      state == platform::SERVICE_RUNNING || state == platform::SERVICE_STOPPED ? 0 : CheckPoint++;
  if (!platform::SetServiceStatus(status_handle, status)) return false;
  host::WriteLog("End SetServiceStatus", 0);
  return true;
}

std::vector<platform::Thread> capture_threads;
std::unique_ptr<uint16_t[]> thread_numbers;
std::optional<platform::Thread> update_time_thread;

// The state every worker thread is given: made by start, destroyed by stop; under threads_mutex.
std::unique_ptr<capture::ServiceContext> context;

// ServiceMain waits on the capture threads' handles while stop, on another thread, ends the
// threads and frees their handles: stop frees them only once ServiceMain has left its wait
// (which ends as soon as the threads have), so no wait runs on a freed handle.
std::mutex threads_mutex;
platform::Event main_out_of_wait(true);

// Waits for every capture thread at once, as the handles allow.
uint32_t WaitForCaptureThreads(uint32_t timeout_ms) {
  std::vector<const platform::WaitObject*> objects;
  {
    std::lock_guard lock(threads_mutex);
    for (const platform::Thread& thread : capture_threads) objects.push_back(&thread.object());
  }
  if (objects.empty()) return platform::WAIT_OBJECT_0;
  return platform::WaitForMultipleObjects(objects, true, timeout_ms);
}

// Once every capture thread has ended or been terminated: the last counts of the run. ServiceMain
// writes them before its stopped report, so that a restart rolls the periods over only after
// they are in; stop, for a start that failed part-way.
void FinishAccounting() {
  capture::ServiceContext* shared = nullptr;
  {
    std::lock_guard lock(threads_mutex);
    shared = context.get();
  }
  if (shared != nullptr) shared->FinishAccounting();
}

}  // namespace

int RunService() {
  const platform::ServiceTableEntry table[] = {{kServiceName, ServiceMain}};
  if (!platform::StartServiceCtrlDispatcher(table)) {
    host::WriteLog("StartServiceCtrlDispatcher failed", LastErrorCode());
    return 1;
  }
  return 0;
}

bool ReportStatus(uint32_t state, uint32_t win32_exit_code, uint32_t wait_hint) {
  std::lock_guard lock(status_mutex);
  return ReportStatusLocked(state, win32_exit_code, wait_hint);
}

void ServiceMain() {
  host::Settings& settings = host::MutableSettings();
  // Every failure below goes to the end, which reports stopped only once a handler exists.
  [&] {
    if (host::ReadRegistryValue(host::kConfigurationKey, "DESTPATH", settings.DESTPATH) != 0) {
      host::WriteLog("Unable to read DESTPATH", -1);
      return;
    }
    host::ApplyLogSizeLimit();
    host::WriteLog("Begin Service main", 0);
    if (!host::ReadConfiguration()) {
      host::WriteLog("Unable to read configuration", -1);
      return;
    }
    if (!platform::CreateDirectory(settings.DIRPACKETS) &&
        GetLastError() != platform::ERROR_ALREADY_EXISTS) {
      host::WriteLog("CreateDirectory return error", LastErrorCode());
      return;
    }
    host::ReadThreadCount();
    status_handle = platform::RegisterServiceCtrlHandler(kServiceName, Handler);
    if (status_handle == 0) return;
    if (!ReportStatus(platform::SERVICE_START_PENDING, 0, kStartWaitHint)) return;
    if (!start()) {
      // The stopped report carries the start's failure. Windows calls leave the last error
      // alone when they succeed; ours clear it, so it is kept across the restart here.
      const uint32_t error = GetLastError();
      restart();
      platform::SetLastError(error);
      return;
    }
    // Marked before the running report: no stop is accepted before that report.
    main_out_of_wait.Reset();
    if (!ReportStatus(platform::SERVICE_RUNNING, 0, 0)) {
      main_out_of_wait.Set();
      return;
    }
    WaitForCaptureThreads(platform::INFINITE);
    FinishAccounting();
    main_out_of_wait.Set();
    platform::SetLastError(0);
  }();
  if (status_handle != 0) {
    const uint32_t error = GetLastError();
    ReportStatus(platform::SERVICE_STOPPED, error, 0);
  }
  host::WriteLog("End Service main", 0);
}

void Handler(uint32_t control) {
  host::WriteLog("Begin Handler", 0);
  if (control == platform::SERVICE_CONTROL_STOP) {
    ReportStatus(platform::SERVICE_STOP_PENDING, 0, 0);
    stop();
    return;
  }
  {
    std::lock_guard lock(status_mutex);
    ReportStatusLocked(status.dwCurrentState, 0, 0);
  }
  host::WriteLog("End Handler", 0);
}

bool start() {
  host::WriteLog("Begin start", 0);
  const host::AccountingSettings accounting = host::ReadAccountingSettings();
  capture::InitializeServiceLock();
  if (!capture::CreateSyncEvent()) {
    host::WriteLog("Failed to create sync event", LastErrorCode());
    stop();
    host::WriteLog("End start", 0);
    return false;
  }
  capture::ServiceContext* shared = nullptr;
  {
    std::lock_guard lock(threads_mutex);
    context = std::make_unique<capture::ServiceContext>(accounting);
    shared = context.get();
  }
  const uint32_t count = host::settings().countThread;
  thread_numbers = std::make_unique<uint16_t[]>(count);

  update_time_thread = platform::Thread::Create(UpdateTime);
  if (!update_time_thread->IsValid()) {
    update_time_thread.reset();
    host::WriteLog("Failed to start updateTime", LastErrorCode());
    stop();
    host::WriteLog("End start", 0);
    return false;
  }
  if (!shared->StartFlusher()) {
    host::WriteLog("Failed to start flushCounters", LastErrorCode());
    stop();
    host::WriteLog("End start", 0);
    return false;
  }
  for (uint32_t i = 0; i < count; ++i) {
    thread_numbers[i] = static_cast<uint16_t>(i);
    const uint16_t* number = &thread_numbers[i];
    platform::Thread thread = platform::Thread::Create(
        [shared, number] { return capture::capturePackets(*shared, number); });
    if (!thread.IsValid()) {
      host::WriteLog("Failed to start capturePackets", LastErrorCode());
      stop();
      host::WriteLog("End start", 0);
      return false;
    }
    std::lock_guard lock(threads_mutex);
    capture_threads.push_back(std::move(thread));
  }
  host::WriteLog("End start", 0);
  return true;
}

void stop() {
  host::WriteLog("Begin stop", 0);
  if (platform::Event* event = capture::SyncEvent()) event->Set();
  if (WaitForCaptureThreads(kThreadStopWait) == platform::WAIT_TIMEOUT) {
    host::WriteLog("Terminate thread Capture Packets", 0);
    for (platform::Thread& thread : capture_threads) thread.Terminate(0);
  }
  if (update_time_thread.has_value() &&
      update_time_thread->Wait(kThreadStopWait) == platform::WAIT_TIMEOUT) {
    host::WriteLog("Terminate thread Update Time", 0);
    update_time_thread->Terminate(0);
  }
  main_out_of_wait.Wait(platform::INFINITE);
  // ServiceMain has done this unless the start failed part-way.
  FinishAccounting();
  {
    std::lock_guard lock(threads_mutex);
    capture_threads.clear();
  }
  thread_numbers.reset();
  {
    std::lock_guard lock(threads_mutex);
    context.reset();
  }
  capture::CloseSyncEvent();
  update_time_thread.reset();
  capture::DeleteServiceLock();
  host::WriteLog("End stop", 0);
}

void restart() {
  host::WriteLog("Begin restart", 0);
  const std::string& destpath = host::settings().DESTPATH;
  if (!platform::CreateDetachedProcess(destpath + "/flowsetup", {"-r"}, destpath)) {
    host::WriteLog("CreateProcess restart failed", LastErrorCode());
  }
  host::WriteLog("End restart", 0);
}

uint32_t UpdateTime() {
  const int64_t started = platform::Now();
  host::WriteLog("Begin UpdateTime", 0);
  const std::optional<platform::LocalTime> start_day = platform::ToLocalTime(started);
  for (;;) {
    const std::optional<platform::LocalTime> now = platform::ToLocalTime(platform::Now());
    if (start_day && now && now->day != start_day->day) {
      restart();
      host::WriteLog("End UpdateTime", 0);
      return 0;
    }
    platform::Event* event = capture::SyncEvent();
    const uint32_t waited =
        event != nullptr ? event->Wait(kUpdateTimePeriod) : platform::WAIT_FAILED;
    if (waited == platform::WAIT_OBJECT_0) {
      host::WriteLog("End UpdateTime", 0);
      return 0;
    }
    if (platform::ThisThreadTerminated()) return 0;
  }
}

}  // namespace flowsentry::flowmeter
