// The instance list and the ring list.
#include "dbus_proxy_list.h"

#include <stdlib.h>

#include <algorithm>
#include <cstddef>
#include <cstring>

#include <glib.h>

#include "tool.h"

namespace {

// ---- record copies -------------------------------------------------------------------
//
// A copy remembers its own length in a header in front of the bytes the node
// points at, so that an update can never write past it.

struct alignas(std::max_align_t) CopyHeader {
  size_t length;
};

void *new_copy(const void *record, size_t length) {
  auto *header = static_cast<CopyHeader *>(g_try_malloc(sizeof(CopyHeader) + length));
  if (header == nullptr) return nullptr;
  header->length = length;
  void *bytes = header + 1;
  if (length > 0) std::memcpy(bytes, record, length);
  return bytes;
}

CopyHeader *header_of(void *copy) { return static_cast<CopyHeader *>(copy) - 1; }

void free_copy(void *copy) {
  if (copy != nullptr) g_free(header_of(copy));
}

// ---- walking -------------------------------------------------------------------------

struct Walk {
  dbus_proxy_list_node *node;  // the node at the record number, or NULL
  bool bad;                    // ran off the end with two or more steps unspent
};

// From `head`, steps `recordnum` nodes.  Running off the end by one step (the
// record number equals the count or the count plus one) is not an error.
Walk walk_to(dbus_proxy_list_node *head, int recordnum) {
  dbus_proxy_list_node *node = head;
  int budget = recordnum;
  while (budget > 0 && node != nullptr) {
    node = node->next;
    --budget;
  }
  return {node, node == nullptr && budget >= 2};
}

dbus_proxy_list_node *last_of(dbus_proxy_list_node *node) {
  while (node != nullptr && node->next != nullptr) node = node->next;
  return node;
}

}  // namespace

dbus_proxy_list_node *dbus_proxy_list_improve(dbus_proxy_list_node **list, const void *record,
                                              int length) {
  if (list == nullptr || length < 0 || (record == nullptr && length > 0)) return nullptr;
  dbus_proxy_list_node *tail = last_of(*list);
  auto *node = g_try_new0(dbus_proxy_list_node, 1);
  void *copy = node != nullptr ? new_copy(record, size_t(length)) : nullptr;
  if (copy == nullptr) {
    g_free(node);
    DBUS_LOG(LOG_LEVEL_WARN, "error return with g_malloc");
    return nullptr;
  }
  node->data = copy;
  node->prev = tail;
  node->next = nullptr;
  if (tail != nullptr)
    tail->next = node;
  else
    *list = node;
  return node;
}

void dbus_proxy_list_node_update(dbus_proxy_list_node **list, int recordnum, const void *record,
                                 int length) {
  if (list == nullptr || record == nullptr || length <= 0) return;
  Walk walk = walk_to(*list, std::max(recordnum, 0));
  if (walk.bad) {
    DBUS_LOG(LOG_LEVEL_WARN, "error list recordnum %d to update ", recordnum);
    return;
  }
  if (walk.node == nullptr || walk.node->data == nullptr) return;
  size_t size = std::min(size_t(length), header_of(walk.node->data)->length);
  std::memcpy(walk.node->data, record, size);
}

void dbus_proxy_list_delete(dbus_proxy_list_node **list, int recordnum) {
  if (list == nullptr) return;
  Walk walk = walk_to(*list, std::max(recordnum, 0));
  if (walk.bad) {
    DBUS_LOG(LOG_LEVEL_WARN, "error list recordnum %d to delete ", recordnum);
    return;
  }
  dbus_proxy_list_node *target = walk.node;
  if (target == nullptr) {
    DBUS_LOG(LOG_LEVEL_WARN, "error return cause null node");
    return;
  }
  if (target == *list) *list = target->next;
  if (target->prev != nullptr) target->prev->next = target->next;
  if (target->next != nullptr) target->next->prev = target->prev;
  free_copy(target->data);
  target->data = nullptr;
  target->prev = target->next = nullptr;
  g_free(target);
}

int dbus_proxy_get_list_totalnum(dbus_proxy_list_node **list) {
  if (list == nullptr) return 0;
  int count = 0;
  for (dbus_proxy_list_node *node = *list; node != nullptr; node = node->next) ++count;
  return count;
}

dbus_proxy_list_node *dbus_proxy_get_node_by_recordnum(dbus_proxy_list_node *head,
                                                       int recordnum) {
  if (recordnum < 0) return nullptr;
  if (recordnum == 0) return head;
  Walk walk = walk_to(head, recordnum);
  if (walk.bad) {
    DBUS_LOG(LOG_LEVEL_WARN, "error list recordnum %d to GET ", recordnum);
    return nullptr;
  }
  return walk.node;
}

void dbus_proxy_list_merge(dbus_proxy_list_node **list, dbus_proxy_list_node *chain, int mode) {
  if (list == nullptr || chain == nullptr || chain == *list) return;
  if (chain->prev != nullptr) chain->prev->next = nullptr;

  dbus_proxy_list_node *head = *list;
  if (head == nullptr) {
    chain->prev = nullptr;
    *list = chain;
    return;
  }
  dbus_proxy_list_node *chain_last = last_of(chain);
  switch (mode) {
    case DBUS_PROXY_MERGE_FRONT:
      chain->prev = head->prev;
      if (head->prev != nullptr) head->prev->next = chain;
      chain_last->next = head;
      head->prev = chain_last;
      *list = chain;
      break;
    case DBUS_PROXY_MERGE_AFTER_HEAD:
      chain->prev = head;
      if (head->next != nullptr) {
        chain_last->next = head->next;
        head->next->prev = chain_last;
      }
      head->next = chain;
      break;
    case DBUS_PROXY_MERGE_TAIL: {
      dbus_proxy_list_node *list_last = last_of(head);
      list_last->next = chain;
      chain->prev = list_last;
      break;
    }
    default:
      break;
  }
}

// ---- ring list -----------------------------------------------------------------------

namespace {

void init_link(dbus_list *link, uint8_t kind) {
  if (link == nullptr) return;
  link->kind = kind;
  link->prev = link->next = link;
}

bool is_head(const dbus_list *link) { return link->kind == DBUS_LIST_HEAD; }

}  // namespace

void dbus_list_header_init(dbus_list *head) { init_link(head, DBUS_LIST_HEAD); }

void dbus_list_node_init(dbus_list *element) { init_link(element, DBUS_LIST_ELEMENT); }

dbus_list *dbus_list_next(dbus_list *link) {
  if (link == nullptr || link->next == nullptr || is_head(link->next)) return nullptr;
  return link->next;
}

dbus_list *dbus_list_prev(dbus_list *link) {
  if (link == nullptr || link->prev == nullptr || is_head(link->prev)) return nullptr;
  return link->prev;
}

int dbus_list_size(dbus_list *head) {
  int count = 0;
  for (dbus_list *element = dbus_list_next(head); element != nullptr;
       element = dbus_list_next(element))
    ++count;
  return count;
}

dbus_list *dbus_list_get(dbus_list *head, int index) {
  if (index < 0) return nullptr;
  dbus_list *element = dbus_list_next(head);
  while (element != nullptr && index-- > 0) element = dbus_list_next(element);
  return element;
}

dbus_list *dbus_list_getlast(dbus_list *head) {
  if (head == nullptr || head->prev == nullptr || is_head(head->prev)) return nullptr;
  return head->prev;
}

void dbus_list_insert(dbus_list *link, dbus_list *element) {
  if (link == nullptr || element == nullptr || link->next == nullptr) return;
  element->prev = link;
  element->next = link->next;
  link->next->prev = element;
  link->next = element;
}

void dbus_list_add(dbus_list *head, dbus_list *element) {
  if (head == nullptr || element == nullptr || head->prev == nullptr) return;
  dbus_list_insert(head->prev, element);
}

void dbus_list_remove(dbus_list *element) {
  if (element == nullptr || element->prev == nullptr || element->next == nullptr) return;
  element->prev->next = element->next;
  element->next->prev = element->prev;
  element->prev = element->next = element;
}

void dbus_list_clear(dbus_list *head, dbus_list_release_func release) {
  if (head == nullptr) return;
  while (dbus_list *element = dbus_list_next(head)) {
    dbus_list_remove(element);
    if (head->next == element) return;  // a broken link: stop rather than spin
    if (release != nullptr)
      release(element);
    else
      free(element);
  }
}
