// For tests: a stand-in for pactrak's control device that a test scripts read by read. It serves
// "\\.\pactrak" on its socket in the machine root with the device wire protocol, answers the
// enumeration with no binding and the capture switch with a dropped count the test sets, and
// completes pending reads, oldest first, only when the test hands it records, an empty read or
// a failure. A pending read is a ReadFile (one record) or an IOCTL_READ_RECORDS request (as many
// whole records as its output buffer holds, back to back, information = bytes written).
#ifndef FLOWSENTRY_SERVICE_CAPTURE_TESTING_SCRIPTED_DEVICE_H_
#define FLOWSENTRY_SERVICE_CAPTURE_TESTING_SCRIPTED_DEVICE_H_

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <span>
#include <thread>
#include <vector>

#include "shared/packet_record.h"

namespace flowsentry::capture::testing {

class ScriptedDevice {
 public:
  // Serves the device at the current machine root's device folder.
  ScriptedDevice();
  // Closes every connection (their pending reads are dropped) and removes the socket.
  ~ScriptedDevice();
  ScriptedDevice(const ScriptedDevice&) = delete;
  ScriptedDevice& operator=(const ScriptedDevice&) = delete;

  // Waits (up to a minute; false then) until at least `count` reads are pending.
  bool WaitForPendingReads(size_t count);
  // Completes the oldest pending read, waiting for one as WaitForPendingReads does.
  bool Deliver(const PacketRecord& record);
  // Completes the oldest pending read with the first records of `records` that it takes (one for
  // a ReadFile); how many it took, 0 when no read came.
  size_t DeliverRecords(std::span<const PacketRecord> records);
  bool DeliverEmpty();
  bool FailRead(uint32_t status);

  // The dropped count the capture switch hands out, and whether it refuses to switch on.
  void SetDropped(uint32_t dropped);
  void RefuseSwitchOn(uint32_t status);
  // Answers the enumeration with `status` instead of an empty list.
  void RefuseEnumeration(uint32_t status);
  // The flags bytes of every capture switch so far, in order.
  std::vector<uint8_t> CaptureSwitches() const;
  // Reads that were cancelled, or dropped with their connection's end.
  size_t AbandonedReads() const;
  // Waits until `count` connections have closed.
  bool WaitForClosedConnections(size_t count);

 private:
  struct Connection;
  struct PendingRead {
    std::shared_ptr<Connection> connection;
    uint32_t id = 0;
    uint32_t output_length = 0;
    bool batch = false;  // IOCTL_READ_RECORDS
  };

  void Accept();
  void Serve(std::shared_ptr<Connection> connection);
  bool CompleteOldest(uint32_t status, const std::vector<uint8_t>& data, uint32_t information);
  // Waits for the oldest pending read and takes it from the queue.
  bool TakeOldest(PendingRead& read);

  int listener_ = -1;
  std::thread acceptor_;
  mutable std::mutex mu_;
  std::condition_variable changed_;
  std::deque<PendingRead> pending_;
  std::vector<std::shared_ptr<Connection>> connections_;
  std::vector<std::thread> servers_;
  std::vector<uint8_t> switches_;
  uint32_t dropped_ = 0;
  uint32_t switch_on_status_ = 0;
  uint32_t enumeration_status_ = 0;
  size_t abandoned_ = 0;
  size_t closed_ = 0;
  bool stopping_ = false;
};

}  // namespace flowsentry::capture::testing

#endif  // FLOWSENTRY_SERVICE_CAPTURE_TESTING_SCRIPTED_DEVICE_H_
