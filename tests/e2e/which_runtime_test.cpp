#include "support/fixture.h"

#include <gtest/gtest.h>

TEST(WhichRuntime, NamesTheDescriptorEvenWhenItIsNotJson)
{
    fixture::Bundle bundle;
    bundle.writeInfoWithIdentifier();
    bundle.writeDescriptorText("acme", "not json {");
    bundle.installHost("Acme");
    auto run = bundle.run({"--which-runtime", "ignored"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "acme-runtime.json\n");
    EXPECT_EQ(run.err, "");
}
