// Intrusive circular doubly linked lists with a sentinel.
//
// A ListNode is the (next, prev) pair at the start of an element; List<Node> is the
// sentinel. An empty list's sentinel points at itself. Nothing here allocates.
#pragma once

#include <cstdint>

namespace Yr {

struct ListNode {
  ListNode* next;
  ListNode* prev;

  void Unlink() {
    prev->next = next;
    next->prev = prev;
    next = prev = this;
  }
};

// Size policies: NoListSize keeps no count.
struct NoListSize {
  void Increment() {}
  void Decrement() {}
};

template <typename Node, typename SizePolicy = NoListSize>
class List : private SizePolicy {
 public:
  List() { Reset(); }
  List(const List&) = delete;
  List& operator=(const List&) = delete;

  void Reset() { mHead.next = mHead.prev = &mHead; }
  bool Empty() const { return mHead.next == &mHead; }
  ListNode* Sentinel() { return &mHead; }
  const ListNode* Sentinel() const { return &mHead; }
  Node* First() { return static_cast<Node*>(mHead.next); }

  void PushFront(Node* node) { InsertAfter(&mHead, node); }
  void PushBack(Node* node) { InsertAfter(mHead.prev, node); }

  void Remove(Node* node) {
    node->Unlink();
    SizePolicy::Decrement();
  }

  void MoveToFront(Node* node) {
    if (mHead.next == node) return;
    node->prev->next = node->next;
    node->next->prev = node->prev;
    InsertLinks(&mHead, node);
  }

 private:
  void InsertAfter(ListNode* position, Node* node) {
    InsertLinks(position, node);
    SizePolicy::Increment();
  }
  static void InsertLinks(ListNode* position, ListNode* node) {
    node->prev = position;
    node->next = position->next;
    position->next->prev = node;
    position->next = node;
  }

  ListNode mHead;
};

}  // namespace Yr
