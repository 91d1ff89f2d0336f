#include "driver/runtime/sources/live/live_source.h"

#include <algorithm>
#include <system_error>
#include <utility>

#include "driver/runtime/sources/live/interface_capture.h"
#include "driver/runtime/sources/live/interface_probe.h"

namespace flowsentry::ndis {

struct LiveSource::Interface {
  LinkInfo link;
  std::shared_ptr<SourceAdapter> adapter;
  std::unique_ptr<InterfaceCapture> capture;
  bool bound = false;
};

LiveSource::LiveSource(Runtime& runtime, HostStack& host_stack, SourceLog log, LiveOptions options)
    : runtime_(runtime), host_stack_(host_stack), log_(std::move(log)), options_(options) {}

LiveSource::~LiveSource() { Stop(); }

bool LiveSource::Wanted(const std::string& name) const {
  return options_.interfaces.empty() ||
         std::find(options_.interfaces.begin(), options_.interfaces.end(), name) !=
             options_.interfaces.end();
}

bool LiveSource::Add(const LinkInfo& link, std::string* error) {
  auto entry = std::make_unique<Interface>();
  entry->link = link;
  entry->adapter = std::make_shared<SourceAdapter>(link.name, ProfileOf(link));
  const AdapterProfile profile = entry->adapter->Profile();
  if (!runtime_.AddAdapter(entry->adapter)) {
    *error = "an adapter named " + link.name + " exists already";
    return false;
  }
  if (!host_stack_.IsBound(link.name)) {
    *error =
        "the driver did not bind to " + link.name + " (medium " + MediumName(profile.medium) + ")";
    runtime_.RemoveAdapter(link.name);
    if (!options_.interfaces.empty()) return false;
    // Watching every interface: remember it unbound, so later link events leave it alone.
    log_("pactrak: " + *error);
    entry->adapter.reset();
    interfaces_[link.index] = std::move(entry);
    return true;
  }
  entry->bound = true;
  // The virtual adapter starts out connected; tell it at once when the cable is out.
  entry->adapter->SetConnected(link.Carrier());
  std::string capture_error;
  bool no_thread = false;
  entry->capture =
      InterfaceCapture::Open(link.name, host_stack_, entry->adapter, log_, options_.buffer_bytes,
                             options_.drop_report_interval, &capture_error, &no_thread);
  if (entry->capture == nullptr && (!options_.interfaces.empty() || no_thread)) {
    runtime_.RemoveAdapter(link.name);
    if (!options_.interfaces.empty()) {
      *error = capture_error;
      return false;
    }
    // Watching every interface: this one cannot be used now. A capture that merely failed to
    // open is tried again when the link comes up; a process out of threads is not helped by that.
    log_("pactrak: " + capture_error + "; " + link.name + " stays unbound");
    entry->bound = false;
    entry->adapter.reset();
    interfaces_[link.index] = std::move(entry);
    return true;
  }
  // Said once the capture runs, so that whoever waits for the line sees every later frame.
  log_("pactrak: bound " + link.name + " (" + MediumName(profile.medium) + ", " +
       FormatMac(profile.mac) + ") as " + NarrowName(host_stack_.VirtualAdapterName(link.name)));
  if (entry->capture == nullptr) log_("pactrak: " + capture_error);
  interfaces_[link.index] = std::move(entry);
  return true;
}

void LiveSource::Update(Interface& entry, const LinkInfo& link) {
  if (!entry.bound) {
    entry.link = link;
    return;
  }
  if (std::optional<MacAddress> mac = MacOf(link); mac.has_value()) entry.adapter->SetMac(*mac);
  const bool was_connected = entry.adapter->Connected();
  if (was_connected != link.Carrier()) {
    entry.adapter->SetConnected(link.Carrier());
    log_("pactrak: " + link.name + (link.Carrier() ? " media connect" : " media disconnect"));
  }
  entry.link = link;
  if (link.Up() && (entry.capture == nullptr || entry.capture->Failed())) {
    RetireCapture(entry);
    std::string error;
    bool no_thread = false;
    entry.capture =
        InterfaceCapture::Open(link.name, host_stack_, entry.adapter, log_, options_.buffer_bytes,
                               options_.drop_report_interval, &error, &no_thread);
    if (entry.capture == nullptr) log_("pactrak: " + error);
  }
}

void LiveSource::RetireCapture(Interface& entry) {
  if (entry.capture == nullptr) return;
  entry.capture->Halt();
  removed_.dropped += entry.capture->Dropped();
  entry.capture.reset();
}

void LiveSource::Remove(int index) {
  auto it = interfaces_.find(index);
  if (it == interfaces_.end()) return;
  std::unique_ptr<Interface> entry = std::move(it->second);
  interfaces_.erase(it);
  RetireCapture(*entry);  // no frame enters the adapter from here on
  if (entry->adapter != nullptr) {
    const AdapterCounters counters = entry->adapter->Counters();
    removed_.received += counters.received;
    removed_.sent += counters.sent;
  }
  runtime_.RemoveAdapter(entry->link.name);
  if (entry->bound) log_("pactrak: unbound " + entry->link.name);
}

void LiveSource::Apply(const std::vector<LinkChange>& changes) {
  for (const LinkChange& change : changes) {
    const LinkInfo& link = change.link;
    auto it = interfaces_.find(link.index);
    if (change.removed) {
      Remove(link.index);
      continue;
    }
    if (it != interfaces_.end() && it->second->link.name != link.name) {
      Remove(link.index);  // renamed: it is another adapter now
      it = interfaces_.end();
    }
    if (it != interfaces_.end()) {
      Update(*it->second, link);
    } else if (Wanted(link.name) && !link.name.empty()) {
      std::string error;
      if (!Add(link, &error)) log_("pactrak: " + error);
    }
  }
}

bool LiveSource::Start(std::string* error) {
  auto watch = std::make_unique<LinkWatch>();
  std::map<int, LinkInfo> links;
  if (!watch->Open(&links, error)) return false;
  std::lock_guard lock(links_mu_);
  for (const std::string& name : options_.interfaces) {
    const bool known = std::any_of(links.begin(), links.end(),
                                   [&name](const auto& l) { return l.second.name == name; });
    if (!known) {
      *error = "no network interface named " + name;
      return false;
    }
  }
  for (const auto& [index, link] : links) {
    if (!Wanted(link.name)) continue;
    std::string add_error;
    if (Add(link, &add_error)) continue;
    if (options_.interfaces.empty()) {
      log_("pactrak: " + add_error);
      continue;
    }
    *error = add_error;
    while (!interfaces_.empty()) Remove(interfaces_.begin()->first);
    return false;
  }
  try {
    watcher_ = std::thread([this, w = watch.get()] {
      w->Run(
          [this](const std::vector<LinkChange>& changes) {
            std::lock_guard lock(links_mu_);
            Apply(changes);
          },
          log_);
    });
  } catch (const std::system_error& e) {
    *error = std::string("cannot start watching the network links: ") + e.what();
    while (!interfaces_.empty()) Remove(interfaces_.begin()->first);
    return false;
  }
  watch_ = std::move(watch);
  return true;
}

void LiveSource::Stop() {
  if (watcher_.joinable()) {
    watch_->Wake();
    watcher_.join();
  }
  watch_.reset();
  std::lock_guard lock(links_mu_);
  while (!interfaces_.empty()) Remove(interfaces_.begin()->first);
}

SourceStatistics LiveSource::Statistics() const {
  std::lock_guard lock(links_mu_);
  SourceStatistics statistics = removed_;
  for (const auto& [index, entry] : interfaces_) {
    if (entry->adapter != nullptr) {
      const AdapterCounters counters = entry->adapter->Counters();
      statistics.received += counters.received;
      statistics.sent += counters.sent;
    }
    if (entry->capture != nullptr) statistics.dropped += entry->capture->Dropped();
  }
  return statistics;
}

std::vector<std::string> LiveSource::BoundInterfaces() const {
  std::lock_guard lock(links_mu_);
  std::vector<std::string> names;
  for (const auto& [index, entry] : interfaces_) {
    if (entry->bound) names.push_back(entry->link.name);
  }
  return names;
}

}  // namespace flowsentry::ndis
