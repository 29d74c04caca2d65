// Two small list facilities shared by the modules.  Neither locks: a list is
// used by the thread that owns it, or guarded by its owner.
#pragma once

#include <stdint.h>

#include "igd1_export.h"

// ---- instance list ---------------------------------------------------------------
//
// A chain of nodes, each owning a private heap copy of a caller's record.  The
// owner holds a list handle (a pointer to the head node, NULL when empty) and
// addresses nodes by record number, the zero-based position from the head; a
// delete renumbers every node behind it.

typedef struct dbus_proxy_list_node {
  void *data;  // the node's own copy of the record
  struct dbus_proxy_list_node *prev;  // NULL at the head
  struct dbus_proxy_list_node *next;  // NULL at the tail
} dbus_proxy_list_node;

// Appends a copy of `length` bytes of `record` at the tail.  Returns the new
// node, or NULL when memory is exhausted (or the length is negative).
IGD1_API dbus_proxy_list_node *dbus_proxy_list_improve(dbus_proxy_list_node **list,
                                                       const void *record, int length);

// Copies `record` over the stored copy of node `recordnum` (0 or less: the
// head).  At most as many bytes as the copy holds are written.
IGD1_API void dbus_proxy_list_node_update(dbus_proxy_list_node **list, int recordnum,
                                          const void *record, int length);

// Unlinks node `recordnum` (0 or less: the head) and frees it with its copy.
IGD1_API void dbus_proxy_list_delete(dbus_proxy_list_node **list, int recordnum);

// Number of nodes.
IGD1_API int dbus_proxy_get_list_totalnum(dbus_proxy_list_node **list);

// The node at `recordnum` counted from `head` (the head node itself, not the
// handle), or NULL.
IGD1_API dbus_proxy_list_node *dbus_proxy_get_node_by_recordnum(dbus_proxy_list_node *head,
                                                                 int recordnum);

// Where dbus_proxy_list_merge puts a chain.
enum {
  DBUS_PROXY_MERGE_FRONT = 0,       // before the head; the chain becomes the head
  DBUS_PROXY_MERGE_AFTER_HEAD = 1,  // between the head and its successor
  DBUS_PROXY_MERGE_TAIL = 2,        // behind the last node
};

// Splices the chain that starts at `chain` into the list.  The chain is first
// cut from whatever precedes it.  Into an empty list the chain goes as the
// head whatever the mode; an unknown mode splices nothing.
IGD1_API void dbus_proxy_list_merge(dbus_proxy_list_node **list, dbus_proxy_list_node *chain,
                                    int mode);

// ---- ring list -------------------------------------------------------------------
//
// Intrusive, circular, doubly linked, with a sentinel head.  The link is the
// first member of the caller's element structure; the list never allocates.
// An empty head, and an element on no list, point at themselves both ways.

typedef struct dbus_list {
  uint8_t kind;  // DBUS_LIST_HEAD or DBUS_LIST_ELEMENT
  struct dbus_list *prev;
  struct dbus_list *next;
} dbus_list;

enum { DBUS_LIST_ELEMENT = 0, DBUS_LIST_HEAD = 1 };

// Frees one element taken off a list by dbus_list_clear.
typedef void (*dbus_list_release_func)(dbus_list *element);

IGD1_API void dbus_list_header_init(dbus_list *head);
IGD1_API void dbus_list_node_init(dbus_list *element);
// Number of elements (0 for a NULL head).
IGD1_API int dbus_list_size(dbus_list *head);
// The element at the zero-based `index`, or NULL.
IGD1_API dbus_list *dbus_list_get(dbus_list *head, int index);
IGD1_API dbus_list *dbus_list_getlast(dbus_list *head);
// Puts `element` directly after `link`, which is on a ring.
IGD1_API void dbus_list_insert(dbus_list *link, dbus_list *element);
// Appends `element` at the tail.
IGD1_API void dbus_list_add(dbus_list *head, dbus_list *element);
// Unlinks `element` and points it at itself; harmless when it is on no list.
IGD1_API void dbus_list_remove(dbus_list *element);
// The neighbouring element, or NULL when that is the head.
IGD1_API dbus_list *dbus_list_prev(dbus_list *link);
IGD1_API dbus_list *dbus_list_next(dbus_list *link);
// Removes every element, front first, handing each to `release` (or to the C
// library's free when `release` is NULL).
IGD1_API void dbus_list_clear(dbus_list *head, dbus_list_release_func release);
