// The kernel's intrusive doubly linked list: a head entry whose links point at itself when the
// list is empty, and an entry embedded in every element. Not synchronized: the owner of the list
// guards it with its own lock.
#ifndef FLOWSENTRY_DRIVER_RUNTIME_IO_LIST_ENTRY_H_
#define FLOWSENTRY_DRIVER_RUNTIME_IO_LIST_ENTRY_H_

namespace flowsentry::ddk {

struct ListEntry {
  ListEntry* Flink = nullptr;  // next
  ListEntry* Blink = nullptr;  // previous
};

inline void InitializeListHead(ListEntry& head) { head.Flink = head.Blink = &head; }

inline bool IsListEmpty(const ListEntry& head) { return head.Flink == &head; }

inline void InsertHeadList(ListEntry& head, ListEntry& entry) {
  entry.Flink = head.Flink;
  entry.Blink = &head;
  head.Flink->Blink = &entry;
  head.Flink = &entry;
}

inline void InsertTailList(ListEntry& head, ListEntry& entry) {
  entry.Flink = &head;
  entry.Blink = head.Blink;
  head.Blink->Flink = &entry;
  head.Blink = &entry;
}

// Unlinks `entry` from whatever list holds it and points its links at itself, so that a second
// removal is harmless. Returns true when the list is empty afterwards.
inline bool RemoveEntryList(ListEntry& entry) {
  ListEntry* next = entry.Flink;
  ListEntry* previous = entry.Blink;
  previous->Flink = next;
  next->Blink = previous;
  entry.Flink = entry.Blink = &entry;
  return next == previous;
}

// The first entry, unlinked; the head itself when the list is empty.
inline ListEntry* RemoveHeadList(ListEntry& head) {
  ListEntry* entry = head.Flink;
  if (entry != &head) RemoveEntryList(*entry);
  return entry;
}

// The last entry, unlinked; the head itself when the list is empty.
inline ListEntry* RemoveTailList(ListEntry& head) {
  ListEntry* entry = head.Blink;
  if (entry != &head) RemoveEntryList(*entry);
  return entry;
}

}  // namespace flowsentry::ddk

#endif  // FLOWSENTRY_DRIVER_RUNTIME_IO_LIST_ENTRY_H_
