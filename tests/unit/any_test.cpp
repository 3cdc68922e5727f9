#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "dbus/Any.h"

TEST(AnyTest, HoldsOneExactTypeAndCopiesIndependently) {
    const common::any empty;
    EXPECT_TRUE(empty.empty());
    EXPECT_EQ(empty.type(), typeid(std::nullptr_t));
    EXPECT_THROW(common::any_cast<int32_t>(empty), std::bad_cast);  // bad_any_cast is one
    // No conversion, not even between integers.
    const common::any box(int64_t{5});
    EXPECT_EQ(common::any_cast<uint64_t>(&box), nullptr);
    EXPECT_EQ(common::any_cast<int64_t>(box), 5);

    common::any first(std::string("abc"));
    common::any copy(first);
    common::any_cast<std::string>(copy) += "d";
    EXPECT_EQ(common::any_cast<std::string>(first), "abc");
    copy = copy;  // self-assignment keeps the value
    EXPECT_EQ(common::any_cast<std::string>(copy), "abcd");
    // Assigning the empty box frees the string (the sanitizer build sees a leak otherwise).
    copy = common::any();
    EXPECT_EQ(common::any_cast<std::string>(&copy), nullptr);
}
