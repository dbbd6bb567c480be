// The one table of transport objects: address records by file object,
// connection records by file object and by connection context.
#pragma once

#include "kernel/kernel.h"
#include "ordered_map.h"
#include "spin_lock.h"
#include "transport_records.h"

namespace vesk {

inline ULONG_PTR FileKey(PFILE_OBJECT file) { return reinterpret_cast<ULONG_PTR>(file); }

class ObjectTable {
 public:
  ObjectTable() = default;
  ObjectTable(const ObjectTable&) = delete;
  ObjectTable& operator=(const ObjectTable&) = delete;

  // Files an address record owned by the calling process; nothing when memory
  // is short.
  void addAddress(PFILE_OBJECT file, ULONG protocol, ULONG localAddress, USHORT localPort);
  // Files a connection record in state Created under its file object and its
  // context; nothing when memory is short.
  void addConnection(PFILE_OBJECT file, ULONG_PTR context);

  // An address record whose object has not ended.
  SharedRef<AddressObject> findAddress(PFILE_OBJECT file);
  SharedRef<ConnectionObject> findConnection(PFILE_OBJECT file);
  SharedRef<ConnectionObject> findConnectionByContext(ULONG_PTR context);
  // The address record behind any transport file object, by the object kind
  // the transport keeps in FsContext2: an address file's own record, or the
  // address a connection file is associated with.
  SharedRef<AddressObject> findAddressOfFile(PFILE_OBJECT file);

  // Marks the address record ended: lookups and the activity query no longer
  // see it, but it stays filed, because the transport may still call a hook
  // with it as context until the object's close has completed. Gives the
  // record once, to the first caller; null for any other.
  SharedRef<AddressObject> endAddress(PFILE_OBJECT file);
  // Unfiles the address record, ended or not, and hands the reference to the
  // caller.
  SharedRef<AddressObject> removeAddress(PFILE_OBJECT file);
  // Unfiles the connection record from the file map, and from the context
  // map where the entry there is its own.
  void removeConnection(PFILE_OBJECT file);
  void clear();

  // Association link of a connection: set with state Associated, released
  // with state Disconnected, read as a fresh reference.
  void associate(ConnectionObject& connection, const SharedRef<AddressObject>& address);
  void disassociate(ConnectionObject& connection);
  SharedRef<AddressObject> addressOf(const ConnectionObject& connection);

  // Walks the connections in ascending file object order under the connection
  // lock, passing each with its associated address (which may be null), while
  // visit returns true. The visitor runs at DISPATCH_LEVEL and must not call
  // out of the driver.
  template <class Visit>
  void forEachConnection(Visit&& visit) {
    SpinLockGuard guard(connectionLock_);
    connectionsByFile_.forEach([&](ULONG_PTR, SharedRef<ConnectionObject>& connection) {
      return visit(*connection, connection->address_.get());
    });
  }
  // Walks the address records whose objects have not ended, in ascending
  // file object order under the address lock, while visit returns true.
  template <class Visit>
  void forEachAddress(Visit&& visit) {
    SpinLockGuard guard(addressLock_);
    addressesByFile_.forEach(
        [&](ULONG_PTR, SharedRef<AddressObject>& address) { return address->ended_ || visit(*address); });
  }

 private:
  OrderedMap<SharedRef<ConnectionObject>> connectionsByFile_;
  OrderedMap<SharedRef<ConnectionObject>> connectionsByContext_;
  OrderedMap<SharedRef<AddressObject>> addressesByFile_;
  SpinLock connectionLock_;
  SpinLock addressLock_;
};

}  // namespace vesk
