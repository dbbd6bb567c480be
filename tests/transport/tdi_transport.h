// A TCP/IP transport on the host kernel: the devices \Device\Tcp and
// \Device\Udp, behaving as the published TDI interface defines, so that the
// filters are tested against a realistic lower driver. The test plays the
// network: data, datagrams and connection attempts arrive from the remote side
// on the transport's own network thread, at DISPATCH_LEVEL, and are delivered
// to pending requests or to the event handlers registered on address objects.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "kernel_control.h"

#ifndef STATUS_ADDRESS_ALREADY_EXISTS
#define STATUS_ADDRESS_ALREADY_EXISTS ((NTSTATUS)0xC000020AL)
#endif

class TdiTransport {
 public:
  TdiTransport();
  ~TdiTransport();

  PDEVICE_OBJECT tcp() const { return tcp_; }
  PDEVICE_OBJECT udp() const { return udp_; }

  // --- The network side. Each call queues the arrival on the network thread.
  // TCP data for a connection object.
  void deliver(PFILE_OBJECT connection, ULONG bytes);
  // A datagram for an address object.
  void deliverDatagram(PFILE_OBJECT address, ULONG bytes, ULONG fromAddress, USHORT fromPort);
  // A connection attempt to an address object: completes a listen of one of
  // its connections, or goes to its connect event handler.
  void connectFrom(PFILE_OBJECT address, ULONG remoteAddress, USHORT remotePort);
  // The outcome of the next outgoing connects (success by default).
  void answerConnects(NTSTATUS status);
  // Waits until the network thread has delivered everything queued so far.
  void flush();
  // Runs `action` on the network thread and waits for it: for arrivals a test
  // composes itself.
  void onNetwork(const std::function<void()>& action);
  // While held, an indication stops between reading the handler and its
  // context and calling them, as on another processor at that moment.
  void holdIndications(bool hold);
  // Waits until an indication has stopped there.
  void waitForHeldIndication();
  // Waits until a close is waiting for indications still running.
  void waitForCloseWaiting();

  // --- What the transport knows.
  ULONG bytesSentOn(PFILE_OBJECT file);
  ULONG bytesReceivedOn(PFILE_OBJECT file);  // handed to the client by any path
  bool connected(PFILE_OBJECT connection);
  // The handler and context registered on an address object for an event type.
  PVOID handler(PFILE_OBJECT address, LONG type);
  PVOID handlerContext(PFILE_OBJECT address, LONG type);
  // The transport's own direct send routines (TCP's and UDP's differ) and how
  // often each device's ran.
  static PVOID directSendRoutine(bool tcp, bool datagram);
  int directSends(bool tcp);
  // Event handler settings the transport received, in order.
  struct EventSetting {
    LONG type;
    PVOID handler;
    PVOID context;
  };
  std::vector<EventSetting> eventSettings();
  size_t openObjects();
  // From now on address queries are answered with `reply`, `information`
  // bytes reported: a transport answering something unexpected.
  void answerAddressQueries(const std::vector<uint8_t>& reply, ULONG_PTR information);
  // From now on address queries and direct send handler queries are left
  // pending and answered on the network thread, as a transport may.
  void answerQueriesLater(bool later);

  struct Endpoint;

 private:
  static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device, PIRP irp);
  template <bool Tcp, bool Datagram>
  static NTSTATUS NTAPI DirectSend(PIRP irp, PIO_STACK_LOCATION stack);
  NTSTATUS create(PDEVICE_OBJECT device, PIRP irp, PIO_STACK_LOCATION stack);
  NTSTATUS internal(PIRP irp, PIO_STACK_LOCATION stack);
  typedef std::function<NTSTATUS(ULONG_PTR& information)> Answer;
  // Completes the request with `answer`'s outcome, at once or, when queries
  // are answered later, pending on the network thread.
  NTSTATUS answerQuery(PIRP irp, Answer answer);
  NTSTATUS addressReply(PIRP irp, PFILE_OBJECT file, ULONG_PTR& information);
  void end(PFILE_OBJECT file);
  void release(PFILE_OBJECT file);
  void parkWhileHeld();
  void post(std::function<void()> action);
  void networkLoop();
  void receiveOn(Endpoint* connection, ULONG bytes);
  void receiveDatagramOn(Endpoint* address, ULONG bytes, ULONG from, USHORT port);
  void acceptOn(Endpoint* address, ULONG remote, USHORT port);
  Endpoint* endpointOf(PFILE_OBJECT file);  // open and not ended
  Endpoint* anyEndpointOf(PFILE_OBJECT file);

  PDRIVER_OBJECT driver_;
  PDEVICE_OBJECT tcp_ = nullptr;
  PDEVICE_OBJECT udp_ = nullptr;
  std::mutex m_;
  std::condition_variable changed_;
  std::deque<std::function<void()>> queue_;
  bool busy_ = false;
  bool stop_ = false;
  std::thread network_;
  NTSTATUS connectOutcome_ = STATUS_SUCCESS;
  USHORT nextPort_ = 1025;
  std::vector<EventSetting> eventSettings_;
  int directSends_[2] = {0, 0};
  bool customReply_ = false;
  std::vector<uint8_t> reply_;
  ULONG_PTR replyInformation_ = 0;
  bool queriesLater_ = false;
  bool holding_ = false;
  int parked_ = 0;
  int closesWaiting_ = 0;
};
