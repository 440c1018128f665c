#include <gtest/gtest.h>

#include "Utils/VirtDestroyList.h"
#include "VdiCommon/EntryStarters.h"

namespace
{

std::unique_ptr<Utils::IVirtualDestroy> MakeList()
{
    return std::make_unique<Utils::VirtDestroyList>();
}

std::unique_ptr<Utils::IVirtualDestroy> MakeNothing()
{
    return nullptr;
}

TEST(EntryStartersTest, ProgramsAreFoundByTheirEntrysNameOnly)
{
    const std::string name = "EntryStartersTest.Program";
    EXPECT_FALSE(VdiCommon::GetEntryStarter(name));

    EXPECT_FALSE(VdiCommon::SetEntryStarter(name, &MakeList));
    VdiCommon::EntryStarter found = VdiCommon::GetEntryStarter(name);
    ASSERT_TRUE(found);
    EXPECT_NE(nullptr, found().get());
    EXPECT_FALSE(VdiCommon::GetEntryStarter("entrystarterstest.program")); // names are exact

    // Replacing hands back the previous program; an empty one removes the entry.
    VdiCommon::EntryStarter previous = VdiCommon::SetEntryStarter(name, &MakeNothing);
    ASSERT_TRUE(previous);
    EXPECT_NE(nullptr, previous().get());
    EXPECT_EQ(nullptr, VdiCommon::GetEntryStarter(name)().get());
    EXPECT_TRUE(VdiCommon::SetEntryStarter(name, VdiCommon::EntryStarter()));
    EXPECT_FALSE(VdiCommon::GetEntryStarter(name));
}

} // namespace
