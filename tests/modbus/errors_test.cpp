#include "modbus/errors.h"

#include <gtest/gtest.h>

#include <type_traits>

#include "helpers.h"
#include "modbus/messages.h"

using namespace regwire;
using namespace regwire::test;

static_assert(!std::is_base_of_v<ERegwireError, EAssertionFailed>);
static_assert(!std::is_base_of_v<ERegwireError, EListError>);

TEST(RegwireErrors, TheThreeRaisingForms) {
    EXPECT_EQ(MessageOf<ERegwireError>([] { RaiseError(msg::EncodeFailed); }),
              "Failed to encode frame");
    EXPECT_EQ(MessageOf<ERegwireError>([] { RaiseError(msg::BufferSizeInvalid, -3); }),
              "Buffer size is invalid (-3)");
    EXPECT_EQ(MessageOf<ERegwireError>([] { RaiseInternalError(); }), "Internal error");
}

TEST(RegwireErrors, FormatFillsPlaceholdersInOrder) {
    EXPECT_EQ(FormatMessage("Value must be between %d and %d", {1, 4294967295LL}),
              "Value must be between 1 and 4294967295");
    EXPECT_EQ(FormatMessage("100%d%", {5}), "1005%");
    EXPECT_EQ(FormatMessage("(%d) (%d)", {7}), "(7) (%d)");
}
