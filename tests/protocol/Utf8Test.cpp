#include <gtest/gtest.h>

#include "Utf8.h"

namespace {

TEST(TextConversion, RoundTripsOutsideTheBasicMultilingualPlane) {
    const std::wstring text = L"St\u00e4tion-\U0001F697";  // a car emoji: one surrogate pair
    const std::string narrow = qel::utf8(text);
    EXPECT_EQ(narrow, "St\xc3\xa4tion-\xf0\x9f\x9a\x97");
    EXPECT_EQ(qel::wide(narrow), text);
}

TEST(TextConversion, EmptyStaysEmpty) {
    EXPECT_EQ(qel::utf8(L""), "");
    EXPECT_EQ(qel::wide(""), L"");
}

}  // namespace
