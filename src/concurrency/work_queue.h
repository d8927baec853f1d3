// An intrusive doubly linked queue of work items with its own lock and an item count.
//
// Items carry their links (`next`, `prev`) and are owned by whichever queue or stage holds them.
// Every operation takes the queue's lock for the pointer updates only, so a stage never holds two
// queue locks at once.
#pragma once

#include <cstdint>

namespace vendrix::concurrency {

template <class Item, class LockT>
class WorkQueue {
 public:
  void PushBack(Item* item) {
    lock_.Enter();
    item->next = nullptr;
    item->prev = tail_;
    (tail_ ? tail_->next : head_) = item;
    tail_ = item;
    ++count_;
    lock_.Leave();
  }

  Item* PopFront() {
    lock_.Enter();
    Item* item = head_;
    if (item) Unlink(item);
    lock_.Leave();
    return item;
  }

  // Removes and returns the first item for which pred(item) holds, or null.
  template <class Pred>
  Item* PopIf(Pred pred) {
    lock_.Enter();
    Item* item = head_;
    while (item && !pred(item)) item = item->next;
    if (item) Unlink(item);
    lock_.Leave();
    return item;
  }

  // Calls fn(item) for every queued item under the lock.
  template <class Fn>
  void ForEach(Fn fn) {
    lock_.Enter();
    for (Item* item = head_; item; item = item->next) fn(item);
    lock_.Leave();
  }

  int32_t Count() {
    lock_.Enter();
    const int32_t n = count_;
    lock_.Leave();
    return n;
  }

 private:
  // Assumes the lock is held.
  void Unlink(Item* item) {
    (item->prev ? item->prev->next : head_) = item->next;
    (item->next ? item->next->prev : tail_) = item->prev;
    item->next = item->prev = nullptr;
    --count_;
  }

  LockT lock_;
  Item* head_ = nullptr;
  Item* tail_ = nullptr;
  int32_t count_ = 0;
};

}  // namespace vendrix::concurrency
