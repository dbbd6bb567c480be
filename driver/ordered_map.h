// An ordered map from a pointer-sized unsigned key to a value, as an AVL tree
// whose nodes come from nonpaged pool. Keys are unique and iterate in
// ascending unsigned order. Inserting reports a node that could not be had
// instead of failing any other way. Not synchronised: the owner locks.
#pragma once

#include "kernel/kernel.h"
#include "pool.h"

namespace vesk {

template <class Value>
class OrderedMap {
 public:
  OrderedMap() = default;
  ~OrderedMap() { clear(); }
  OrderedMap(const OrderedMap&) = delete;
  OrderedMap& operator=(const OrderedMap&) = delete;

  // The value filed under `key`, or null.
  Value* find(ULONG_PTR key) const {
    for (Node* n = root_; n != nullptr; n = key < n->key ? n->left : n->right) {
      if (n->key == key) return &n->value;
    }
    return nullptr;
  }

  // Files `value` under `key`, replacing what was there. False when no node
  // could be allocated; the map is then unchanged.
  bool insertOrAssign(ULONG_PTR key, const Value& value) {
    bool stored = true;
    root_ = insert(root_, key, value, stored);
    return stored;
  }

  // Removes the entry under `key`; false when there is none.
  bool erase(ULONG_PTR key) {
    bool found = false;
    root_ = erase(root_, key, found);
    return found;
  }

  void clear() {
    destroy(root_);
    root_ = nullptr;
    size_ = 0;
  }

  SIZE_T size() const { return size_; }

  // Calls visit(key, value) in ascending key order while it returns true;
  // returns false when a visit stopped the walk.
  template <class Visit>
  bool forEach(Visit&& visit) const {
    return walk(root_, visit);
  }

 private:
  struct Node : NonPagedObject {
    Node(ULONG_PTR k, const Value& v) : key(k), value(v) {}
    ULONG_PTR key;
    Value value;
    Node* left = nullptr;
    Node* right = nullptr;
    int height = 1;
  };

  static int height(Node* n) { return n ? n->height : 0; }
  static void update(Node* n) {
    int l = height(n->left), r = height(n->right);
    n->height = (l > r ? l : r) + 1;
  }
  static Node* rotateRight(Node* n) {
    Node* l = n->left;
    n->left = l->right;
    l->right = n;
    update(n);
    update(l);
    return l;
  }
  static Node* rotateLeft(Node* n) {
    Node* r = n->right;
    n->right = r->left;
    r->left = n;
    update(n);
    update(r);
    return r;
  }
  static Node* balance(Node* n) {
    update(n);
    int skew = height(n->left) - height(n->right);
    if (skew > 1) {
      if (height(n->left->left) < height(n->left->right)) n->left = rotateLeft(n->left);
      return rotateRight(n);
    }
    if (skew < -1) {
      if (height(n->right->right) < height(n->right->left)) n->right = rotateRight(n->right);
      return rotateLeft(n);
    }
    return n;
  }

  Node* insert(Node* n, ULONG_PTR key, const Value& value, bool& stored) {
    if (n == nullptr) {
      Node* fresh = new Node(key, value);
      if (fresh == nullptr) {
        stored = false;
        return nullptr;
      }
      ++size_;
      return fresh;
    }
    if (key == n->key) {
      n->value = value;
      return n;
    }
    if (key < n->key) {
      n->left = insert(n->left, key, value, stored);
    } else {
      n->right = insert(n->right, key, value, stored);
    }
    return balance(n);
  }

  static Node* detachMin(Node* n, Node*& min) {
    if (n->left == nullptr) {
      min = n;
      return n->right;
    }
    n->left = detachMin(n->left, min);
    return balance(n);
  }

  Node* erase(Node* n, ULONG_PTR key, bool& found) {
    if (n == nullptr) return nullptr;
    if (key < n->key) {
      n->left = erase(n->left, key, found);
    } else if (key > n->key) {
      n->right = erase(n->right, key, found);
    } else {
      found = true;
      Node* left = n->left;
      Node* right = n->right;
      delete n;
      --size_;
      if (right == nullptr) return left;
      Node* min = nullptr;
      Node* rest = detachMin(right, min);
      min->left = left;
      min->right = rest;
      return balance(min);
    }
    return balance(n);
  }

  static void destroy(Node* n) {
    if (n == nullptr) return;
    destroy(n->left);
    destroy(n->right);
    delete n;
  }

  template <class Visit>
  static bool walk(Node* n, Visit& visit) {
    if (n == nullptr) return true;
    return walk(n->left, visit) && visit(n->key, n->value) && walk(n->right, visit);
  }

  Node* root_ = nullptr;
  SIZE_T size_ = 0;
};

}  // namespace vesk
