#include "object_table.h"

namespace vesk {
namespace {

template <class T>
SharedRef<T> Lookup(SpinLock& lock, OrderedMap<SharedRef<T>>& map, ULONG_PTR key) {
  SpinLockGuard guard(lock);
  SharedRef<T>* found = map.find(key);
  return found ? *found : SharedRef<T>();
}

}  // namespace

void ObjectTable::addAddress(PFILE_OBJECT file, ULONG protocol, ULONG localAddress, USHORT localPort) {
  SharedRef<AddressObject> record(new AddressObject(file, protocol));
  if (!record) return;
  // The create that makes the record arrives in the creating process's
  // context, and the current process id names that process. (A query of the
  // current-process pseudo handle would answer for the process the driver is
  // hosted in where that differs, as under Wine.)
  record->processId = ULONG(ULONG_PTR(PsGetCurrentProcessId()));
  record->localAddress = localAddress;
  record->localPort = localPort;

  SpinLockGuard guard(addressLock_);
  addressesByFile_.insertOrAssign(FileKey(file), record);
}

void ObjectTable::addConnection(PFILE_OBJECT file, ULONG_PTR context) {
  SharedRef<ConnectionObject> record(new ConnectionObject(file, context));
  if (!record) return;
  SpinLockGuard guard(connectionLock_);
  if (connectionsByFile_.insertOrAssign(FileKey(file), record))
    connectionsByContext_.insertOrAssign(context, record);
}

SharedRef<AddressObject> ObjectTable::findAddress(PFILE_OBJECT file) {
  SpinLockGuard guard(addressLock_);
  SharedRef<AddressObject>* found = addressesByFile_.find(FileKey(file));
  return found && !(*found)->ended_ ? *found : SharedRef<AddressObject>();
}

SharedRef<ConnectionObject> ObjectTable::findConnection(PFILE_OBJECT file) {
  return Lookup(connectionLock_, connectionsByFile_, FileKey(file));
}

SharedRef<ConnectionObject> ObjectTable::findConnectionByContext(ULONG_PTR context) {
  return Lookup(connectionLock_, connectionsByContext_, context);
}

SharedRef<AddressObject> ObjectTable::findAddressOfFile(PFILE_OBJECT file) {
  switch (reinterpret_cast<ULONG_PTR>(file->FsContext2)) {
    case TDI_TRANSPORT_ADDRESS_FILE:
      return findAddress(file);
    case TDI_CONNECTION_FILE: {
      SpinLockGuard guard(connectionLock_);
      SharedRef<ConnectionObject>* connection = connectionsByFile_.find(FileKey(file));
      return connection ? (*connection)->address_ : SharedRef<AddressObject>();
    }
    default:
      return SharedRef<AddressObject>();
  }
}

SharedRef<AddressObject> ObjectTable::endAddress(PFILE_OBJECT file) {
  SpinLockGuard guard(addressLock_);
  SharedRef<AddressObject>* found = addressesByFile_.find(FileKey(file));
  if (found == nullptr || (*found)->ended_) return SharedRef<AddressObject>();
  (*found)->ended_ = true;
  return *found;
}

SharedRef<AddressObject> ObjectTable::removeAddress(PFILE_OBJECT file) {
  SharedRef<AddressObject> record;
  SpinLockGuard guard(addressLock_);
  if (SharedRef<AddressObject>* found = addressesByFile_.find(FileKey(file))) {
    record = *found;
    addressesByFile_.erase(FileKey(file));
  }
  return record;
}

void ObjectTable::removeConnection(PFILE_OBJECT file) {
  SharedRef<ConnectionObject> record;
  {
    SpinLockGuard guard(connectionLock_);
    SharedRef<ConnectionObject>* found = connectionsByFile_.find(FileKey(file));
    if (found == nullptr) return;
    record = *found;
    connectionsByFile_.erase(FileKey(file));
    // The context entry goes only when it is this record's: a newer live
    // record with the same context keeps its events.
    SharedRef<ConnectionObject>* byContext = connectionsByContext_.find(record->connectionContext);
    if (byContext != nullptr && byContext->get() == record.get())
      connectionsByContext_.erase(record->connectionContext);
  }
}

void ObjectTable::clear() {
  {
    SpinLockGuard guard(connectionLock_);
    connectionsByFile_.clear();
    connectionsByContext_.clear();
  }
  SpinLockGuard guard(addressLock_);
  addressesByFile_.clear();
}

void ObjectTable::associate(ConnectionObject& connection, const SharedRef<AddressObject>& address) {
  SpinLockGuard guard(connectionLock_);
  connection.address_ = address;
  connection.state = Associated;
}

void ObjectTable::disassociate(ConnectionObject& connection) {
  SharedRef<AddressObject> released;
  {
    SpinLockGuard guard(connectionLock_);
    released = static_cast<SharedRef<AddressObject>&&>(connection.address_);
    connection.state = Disconnected;
  }
}

SharedRef<AddressObject> ObjectTable::addressOf(const ConnectionObject& connection) {
  SpinLockGuard guard(connectionLock_);
  return connection.address_;
}

}  // namespace vesk
