// Child paths name rows only when spelled canonically and within range.
#include <gtest/gtest.h>

#include <string>

#include "collection.h"

namespace igd1 {
namespace {

constexpr char kManager[] = "/com/wqx/igd1/Config/PortMapping";

TEST(ChildPathTest, OnlyCanonicalNumbersWithinTheRangeNameAChild) {
  const std::string manager = kManager;
  const struct {
    std::string path;
    uint32_t instance;
  } cases[] = {
      {manager + "/1", 1},
      {manager + "/255", 255},
      {manager + "/37", 37},
      {manager + "/0", 0},
      {manager + "/256", 0},
      {manager + "/01", 0},
      {manager + "/1x", 0},
      {manager + "/x1", 0},
      {manager + "/-1", 0},
      {manager + "/+1", 0},
      {manager + "/ 1", 0},
      {manager + "/4294967297", 0},
      {manager + "/18446744073709551617", 0},
      {manager + "/" + std::string(160, '1'), 0},
      {manager + "/", 0},
      {manager, 0},
      {manager + "/1/2", 0},
      {manager + "s/1", 0},
      {"/com/wqx/igd1/Config/1", 0},
  };
  for (const auto &c : cases)
    EXPECT_EQ(child_instance_of(kManager, c.path.c_str(), 255), c.instance) << c.path;
  EXPECT_EQ(child_instance_of(kManager, nullptr, 255), 0u);
  EXPECT_EQ(child_instance_of(kManager, (manager + "/3").c_str(), 2), 0u);
  EXPECT_EQ(child_instance_of(kManager, (manager + "/2").c_str(), 2), 2u);
  EXPECT_EQ(parse_instance("4294967295", UINT32_MAX), UINT32_MAX);
  EXPECT_EQ(parse_instance("4294967296", UINT32_MAX), 0u);
}

TEST(ChildPathTest, NestedKeysNeverWrapAtEitherLevel) {
  const std::string manager = "/com/wqx/igd1/Network/QoS/Classification";
  auto key = [&](const std::string &rest) {
    return nested_child_key(manager, "Type", (manager + rest).c_str());
  };
  EXPECT_EQ(key("/2/Type/1"), nested_key(2, 1));
  // Both numbers as wide as the store's, each in its own half.
  EXPECT_EQ(key("/258/Type/70000"), nested_key(258, 70000));
  EXPECT_EQ(key("/4294967295/Type/4294967295"), nested_key(UINT32_MAX, UINT32_MAX));
  EXPECT_EQ(key_outer(nested_key(258, 70000)), 258u);
  EXPECT_EQ(key_inner(nested_key(258, 70000)), 70000u);
  for (const char *refused : {"/4294967296/Type/1", "/2/Type/4294967296", "/0/Type/1",
                              "/2/Type/0", "/02/Type/1", "/2/Type/01", "/2/Types/1", "/2/Type",
                              "/2", "/2/Type/1/3", "/-2/Type/1", "/2/Type/1x"})
    EXPECT_EQ(key(refused), 0u) << refused;
}

}  // namespace
}  // namespace igd1
