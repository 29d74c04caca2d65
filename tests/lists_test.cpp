// The instance list and the ring list.

#include <cstdlib>

#include "dbus_proxy_api.h"
#include "harness/bus_fixture.h"

namespace igd1::test {
namespace {

// ---- instance list ---------------------------------------------------------------

class InstanceListTest : public testing::Test {
 protected:
  ~InstanceListTest() override {
    free_all(&list_);
    free_all(&other_);
  }

  static void free_all(dbus_proxy_list_node **list) {
    while (*list != nullptr) dbus_proxy_list_delete(list, 0);
  }
  static void append(dbus_proxy_list_node **list, std::initializer_list<int> values) {
    for (int value : values) ASSERT_NE(dbus_proxy_list_improve(list, &value, sizeof value), nullptr);
  }
  // The records from the head on; fails the test when a back link is wrong.
  static std::vector<int> values(dbus_proxy_list_node *head) {
    std::vector<int> seen;
    EXPECT_TRUE(head == nullptr || head->prev == nullptr) << "the head has a predecessor";
    for (dbus_proxy_list_node *node = head; node != nullptr; node = node->next) {
      seen.push_back(*static_cast<int *>(node->data));
      if (node->next != nullptr) {
        EXPECT_EQ(node->next->prev, node) << "back link of " << seen.back();
      }
    }
    return seen;
  }
  std::string log() const { return read_text_file(root_.path(path::kSyslog)); }

  TempRoot root_;
  dbus_proxy_list_node *list_ = nullptr;
  dbus_proxy_list_node *other_ = nullptr;
};

TEST_F(InstanceListTest, AppendKeepsPrivateCopiesInOrder) {
  int record = 10;
  dbus_proxy_list_node *first = dbus_proxy_list_improve(&list_, &record, sizeof record);
  ASSERT_EQ(list_, first);
  record = 11;  // the node holds its own copy
  EXPECT_EQ(*static_cast<int *>(first->data), 10);
  append(&list_, {20, 30});
  EXPECT_THAT(values(list_), ElementsAre(10, 20, 30));
  EXPECT_EQ(dbus_proxy_get_list_totalnum(&list_), 3);
  EXPECT_EQ(dbus_proxy_get_list_totalnum(&other_), 0);
  EXPECT_EQ(dbus_proxy_get_node_by_recordnum(list_, 2), list_->next->next);
}

TEST_F(InstanceListTest, LookupPastTheEndIsQuietForOneOrTwoSteps) {
  EXPECT_EQ(dbus_proxy_get_node_by_recordnum(nullptr, 0), nullptr);
  append(&list_, {1, 2, 3});
  EXPECT_EQ(dbus_proxy_get_node_by_recordnum(list_, 0), list_);
  for (int recordnum : {3, 4, -1}) EXPECT_EQ(dbus_proxy_get_node_by_recordnum(list_, recordnum), nullptr);
  EXPECT_THAT(log(), Not(HasSubstr("to GET")));
  EXPECT_EQ(dbus_proxy_get_node_by_recordnum(list_, 5), nullptr);
  EXPECT_THAT(log(), HasSubstr("[DBUS][Warn]: error list recordnum 5 to GET \r\n"));
}

TEST_F(InstanceListTest, DeleteMovesTheHandleAndRenumbers) {
  append(&list_, {1});
  dbus_proxy_list_delete(&list_, 0);
  EXPECT_EQ(list_, nullptr);

  append(&list_, {1, 2, 3, 4});
  dbus_proxy_list_delete(&list_, -3);  // 0 or less: the head
  EXPECT_THAT(values(list_), ElementsAre(2, 3, 4));
  dbus_proxy_list_delete(&list_, 1);
  EXPECT_THAT(values(list_), ElementsAre(2, 4));
  EXPECT_EQ(*static_cast<int *>(dbus_proxy_get_node_by_recordnum(list_, 1)->data), 4);
  dbus_proxy_list_delete(&list_, 1);
  EXPECT_THAT(values(list_), ElementsAre(2));

  // A missing record changes nothing and is logged.
  append(&list_, {4});
  dbus_proxy_list_delete(&list_, 2);
  EXPECT_THAT(log(), HasSubstr("error return cause null node\r\n"));
  dbus_proxy_list_delete(&list_, 9);
  EXPECT_THAT(log(), HasSubstr("error list recordnum 9 to delete \r\n"));
  EXPECT_THAT(values(list_), ElementsAre(2, 4));
}

TEST_F(InstanceListTest, UpdateWritesOneCopyAndNeverPastIt) {
  append(&list_, {1, 2, 3});
  int record = 20;
  dbus_proxy_list_node_update(&list_, 1, &record, sizeof record);
  record = 10;
  dbus_proxy_list_node_update(&list_, -1, &record, sizeof record);
  for (int recordnum : {3, 7}) dbus_proxy_list_node_update(&list_, recordnum, &record, sizeof record);
  EXPECT_THAT(values(list_), ElementsAre(10, 20, 3));

  // A longer record fills the copy and no more (the sanitizer build would see
  // a write past it).
  const int longer[4] = {30, 31, 32, 33};
  dbus_proxy_list_node_update(&list_, 2, longer, sizeof longer);
  EXPECT_THAT(values(list_), ElementsAre(10, 20, 30));
}

TEST_F(InstanceListTest, MergePlacesAChainByMode) {
  const struct {
    int mode;
    std::vector<int> expected;
  } cases[] = {
      {DBUS_PROXY_MERGE_FRONT, {7, 8, 1, 2, 3}},
      {DBUS_PROXY_MERGE_AFTER_HEAD, {1, 7, 8, 2, 3}},
      {DBUS_PROXY_MERGE_TAIL, {1, 2, 3, 7, 8}},
      {9, {1, 2, 3}},
  };
  for (const auto &c : cases) {
    append(&list_, {1, 2, 3});
    append(&other_, {7, 8});
    dbus_proxy_list_merge(&list_, other_, c.mode);
    EXPECT_EQ(values(list_), c.expected) << "mode " << c.mode;
    if (c.expected.size() == 5) other_ = nullptr;  // now owned by list_
    free_all(&list_);
    free_all(&other_);
  }
}

TEST_F(InstanceListTest, MergeCutsTheChainFromItsListAndFillsAnEmptyList) {
  append(&other_, {4, 5, 6});
  dbus_proxy_list_node *chain = other_->next;
  dbus_proxy_list_merge(&list_, chain, DBUS_PROXY_MERGE_TAIL);
  EXPECT_THAT(values(other_), ElementsAre(4));
  EXPECT_THAT(values(list_), ElementsAre(5, 6));
  dbus_proxy_list_merge(&list_, list_, DBUS_PROXY_MERGE_FRONT);  // already the head
  EXPECT_THAT(values(list_), ElementsAre(5, 6));

  // Cut from the middle of its own list and put behind the head.
  append(&list_, {7, 8});
  dbus_proxy_list_merge(&list_, list_->next->next, DBUS_PROXY_MERGE_AFTER_HEAD);
  EXPECT_THAT(values(list_), ElementsAre(5, 7, 8, 6));
}

// ---- ring list -------------------------------------------------------------------

struct Element {
  dbus_list link;
  int value;
};

Element *new_element(int value) {
  auto *element = static_cast<Element *>(std::calloc(1, sizeof(Element)));
  dbus_list_node_init(&element->link);
  element->value = value;
  return element;
}

int value_of(dbus_list *link) { return link != nullptr ? reinterpret_cast<Element *>(link)->value : -1; }

std::vector<int> ring_values(dbus_list *head) {
  std::vector<int> seen;
  for (int i = 0; i < dbus_list_size(head); ++i) seen.push_back(value_of(dbus_list_get(head, i)));
  return seen;
}

std::vector<int> g_released;

TEST(RingListTest, AddRemoveAndWalkInOrder) {
  dbus_list head;
  dbus_list_header_init(&head);
  EXPECT_EQ(dbus_list_next(&head), nullptr);
  EXPECT_EQ(dbus_list_prev(&head), nullptr);
  EXPECT_EQ(dbus_list_getlast(&head), nullptr);

  Element *a = new_element(1), *b = new_element(2), *c = new_element(3);
  dbus_list_add(&head, &a->link);
  dbus_list_add(&head, &c->link);
  dbus_list_insert(&a->link, &b->link);
  EXPECT_THAT(ring_values(&head), ElementsAre(1, 2, 3));
  for (int index : {3, -1}) EXPECT_EQ(dbus_list_get(&head, index), nullptr);
  EXPECT_EQ(value_of(dbus_list_getlast(&head)), 3);
  EXPECT_EQ(dbus_list_next(&c->link), nullptr);
  EXPECT_EQ(dbus_list_prev(&a->link), nullptr);
  EXPECT_EQ(value_of(dbus_list_prev(&c->link)), 2);

  dbus_list_remove(&b->link);
  EXPECT_EQ(b->link.next, &b->link);
  EXPECT_EQ(b->link.prev, &b->link);
  dbus_list_remove(&b->link);  // on no list: harmless
  EXPECT_THAT(ring_values(&head), ElementsAre(1, 3));

  g_released.clear();
  dbus_list_clear(&head, [](dbus_list *link) {
    g_released.push_back(value_of(link));
    std::free(link);
  });
  EXPECT_THAT(g_released, ElementsAre(1, 3));
  EXPECT_EQ(dbus_list_size(&head), 0);
  g_released.clear();
  dbus_list_clear(&head, [](dbus_list *link) { g_released.push_back(value_of(link)); });
  EXPECT_THAT(g_released, IsEmpty());

  // Without a release function the elements go back to the C allocator.
  dbus_list_add(&head, &b->link);
  dbus_list_clear(&head, nullptr);
  EXPECT_EQ(dbus_list_size(&head), 0);
}

TEST(RingListTest, NullAndUninitialisedLinksAreIgnored) {
  dbus_list never_initialised = {};
  Element *a = new_element(1);
  dbus_list_add(&never_initialised, &a->link);
  EXPECT_EQ(a->link.next, &a->link);
  EXPECT_EQ(never_initialised.next, nullptr);
  EXPECT_EQ(dbus_list_size(nullptr), 0);
  EXPECT_EQ(dbus_list_get(nullptr, 0), nullptr);
  dbus_list_add(nullptr, &a->link);
  dbus_list_remove(nullptr);
  dbus_list_clear(nullptr, nullptr);
  std::free(a);
}

}  // namespace
}  // namespace igd1::test
