#include "host/descriptor.h"

#include <gtest/gtest.h>

using namespace kestrune;

TEST(Descriptor, PrefixOfUnit)
{
    EXPECT_EQ(prefixOf("acme-menu"), "ACME_MENU_");
    EXPECT_EQ(prefixOf("other"), "OTHER_");
}
