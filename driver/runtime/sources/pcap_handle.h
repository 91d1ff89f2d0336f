// An owned libpcap handle, live or offline: closed with pcap_close when the owner goes.
#ifndef FLOWSENTRY_DRIVER_RUNTIME_SOURCES_PCAP_HANDLE_H_
#define FLOWSENTRY_DRIVER_RUNTIME_SOURCES_PCAP_HANDLE_H_

#include <pcap/pcap.h>

#include <memory>

namespace flowsentry::ndis {

struct PcapCloser {
  void operator()(pcap_t* handle) const { pcap_close(handle); }
};
using PcapHandle = std::unique_ptr<pcap_t, PcapCloser>;

}  // namespace flowsentry::ndis

#endif  // FLOWSENTRY_DRIVER_RUNTIME_SOURCES_PCAP_HANDLE_H_
