// Reference-counted transport records and the owning handle that holds them.
#pragma once

#include "kernel/kernel.h"
#include "pool.h"

namespace vesk {

// Base of the table's records. A new record has no references; the first
// SharedRef that takes it makes the count 1, and the release that brings it
// back to 0 destroys the record.
class TransportObject : public NonPagedObject {
 public:
  explicit TransportObject(PFILE_OBJECT file) : references_(0), fileObject(file) {}
  virtual ~TransportObject() {}
  TransportObject(const TransportObject&) = delete;
  TransportObject& operator=(const TransportObject&) = delete;

  void addReference() { InterlockedIncrement(&references_); }
  void release() {
    if (InterlockedDecrement(&references_) == 0) delete this;
  }

 private:
  volatile LONG references_;

 public:
  // The transport's file object: the record's identity and its key.
  PFILE_OBJECT const fileObject;
};

// An owning handle to a record. Assigning takes the new record first, swaps it
// in with an interlocked exchange and then releases the old one.
template <class T>
class SharedRef {
 public:
  SharedRef() : record_(nullptr) {}
  explicit SharedRef(T* record) : record_(record) {
    if (record_) record_->addReference();
  }
  SharedRef(const SharedRef& other) : SharedRef(other.record_) {}
  SharedRef(SharedRef&& other) : record_(other.record_) { other.record_ = nullptr; }
  ~SharedRef() { reset(); }

  SharedRef& operator=(const SharedRef& other) {
    assign(other.record_);
    return *this;
  }
  SharedRef& operator=(SharedRef&& other) {
    if (this != &other) {
      assign(other.record_);
      other.reset();
    }
    return *this;
  }

  void assign(T* record) {
    if (record) record->addReference();
    T* old = static_cast<T*>(InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&record_), record));
    if (old) old->release();
  }
  void reset() { assign(nullptr); }
  // Hands the handle's reference to the caller, who releases it later.
  T* detach() {
    T* record = record_;
    record_ = nullptr;
    return record;
  }

  T* get() const { return record_; }
  T* operator->() const { return record_; }
  T& operator*() const { return *record_; }
  explicit operator bool() const { return record_ != nullptr; }

 private:
  T* record_;
};

}  // namespace vesk
