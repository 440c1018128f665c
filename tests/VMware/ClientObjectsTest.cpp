#include <gtest/gtest.h>

#include <dirent.h>
#include <set>
#include <thread>
#include "ChannelTestUtils.h"
#include "Utils/VirtDestroyList.h"

using namespace VMwareTest;
using VMware::Client::AddClientObject;
using VMware::Client::g_core;

namespace
{

class Tracked : public Utils::IVirtualDestroy
{
public:
    Tracked(std::vector<int>& order, int id) : m_order(order), m_id(id) {}
    ~Tracked() override { m_order.push_back(m_id); }

private:
    std::vector<int>& m_order;
    int m_id;
};

std::set<std::string> ThreadIds();

// A joined thread leaves the kernel's list a moment after its join returned: polled, bounded.
std::set<std::string> WaitThreadIds(const std::set<std::string>& expected)
{
    std::set<std::string> now = ThreadIds();
    for (int i = 0; i < 2500 && now != expected; ++i)
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        now = ThreadIds();
    }
    return now;
}

std::set<std::string> ThreadIds()
{
    std::set<std::string> ids;
    DIR* d = ::opendir("/proc/self/task");
    while (dirent* e = (d ? ::readdir(d) : nullptr))
        if (e->d_name[0] != '.')
            ids.insert(e->d_name);
    if (d)
        ::closedir(d);
    return ids;
}

// An entry's object as the plug-in makes them: a message thread of its own with a channel user on
// it, all stopped by its destruction.
class EntryObject : public Utils::IVirtualDestroy
{
public:
    explicit EntryObject(Recorder& rec) : m_thread(std::make_unique<UserThread>("Entry"))
    {
        m_thread->Run([&] { m_user = std::make_unique<ChannelUser>(rec); });
        m_thread->Run([&] { m_user->Start(); });
    }

    ~EntryObject() override
    {
        m_thread->Run([&] { m_user.reset(); });
        m_thread.reset();
    }

private:
    std::unique_ptr<UserThread> m_thread;
    std::unique_ptr<ChannelUser> m_user;
};

TEST_F(ChannelTest, TerminateDestroysTheClientObjectsFirstAddedFirst)
{
    Register();
    std::vector<int> order;
    AddClientObject(std::make_unique<Tracked>(order, 1));
    AddClientObject(std::make_unique<Tracked>(order, 2));
    AddClientObject(nullptr); // an entry that started nothing
    AddClientObject(std::make_unique<Tracked>(order, 3));
    EXPECT_TRUE(order.empty());

    m_host->Terminate();
    EXPECT_EQ((std::vector<int>{1, 2, 3}), order);
    EXPECT_TRUE(g_core->GetClientObjects().Cleared());
    EXPECT_TRUE(m_log.Has("ConnectionEventProc The client has been terminated"));
    EXPECT_FALSE(m_log.Has("Send data list isn't empty"));

    // A repeated TERMINATED is the host's mistake and harms nothing.
    m_host->Terminate();
    EXPECT_EQ(3u, order.size());
    EXPECT_TRUE(m_log.Has("ConnectionEventProc client objects were cleared already"));
}

TEST_F(ChannelTest, TerminateStopsTheEntrysThreadsAndLaterEventsFindNoUser)
{
    Register();
    m_host->Connect();
    const std::set<std::string> before = ThreadIds();
    AddClientObject(std::make_unique<EntryObject>(m_rec));
    ASSERT_TRUE(m_rec.WaitEvents(1));
    EXPECT_GT(ThreadIds().size(), before.size());

    m_host->Terminate();
    EXPECT_EQ(before, WaitThreadIds(before));
    EXPECT_FALSE(g_core->HasListener());

    // Host threads may still report; nothing of the entry is reached.
    m_host->Deliver(ToBytes(MakePacket(10, 1)));
    ASSERT_TRUE(m_host->WaitDelivered(c_waitMs));
    m_host->Disconnect();
    EXPECT_EQ(std::vector<std::string>{"connected 1600"}, m_rec.Events());
    EXPECT_TRUE(m_rec.Packets().empty());
}

TEST_F(ChannelTest, TerminateWithWritesOutstandingWarnsFirst)
{
    Register();
    m_host->Connect();
    std::vector<int> order;
    AddClientObject(std::make_unique<Tracked>(order, 1));
    CreateUser();
    ASSERT_TRUE(m_rec.WaitEvents(1));
    m_host->SetWriteMode(VcHost::Host::WriteMode::Hold);
    Send(MakePacket(10, 1));
    ASSERT_TRUE(m_host->WaitOutstanding(1, c_waitMs));
    m_host->Terminate();
    const std::vector<std::string> texts = m_log.Texts();
    const auto terminated =
        std::find(texts.begin(), texts.end(), "ConnectionEventProc The client has been terminated");
    ASSERT_NE(texts.end(), terminated);
    EXPECT_EQ("Send data list isn't empty", *(terminated + 1));
    EXPECT_EQ(std::vector<int>{1}, order);
}

TEST_F(ChannelTest, ClientObjectsLeftAtTheDriversEndAreDestroyedInOrder)
{
    Register();
    std::vector<int> order;
    AddClientObject(std::make_unique<Tracked>(order, 1));
    AddClientObject(std::make_unique<Tracked>(order, 2));
    // A new driver replaces the old one, which takes its objects with it.
    m_host.reset();
    m_host = std::make_unique<VcHost::Host>();
    m_host->UseEntry(&InitOnlyEntry);
    Register();
    EXPECT_EQ((std::vector<int>{1, 2}), order);
}

using ClientObjectsDeathTest = ChannelTest;

TEST_F(ClientObjectsDeathTest, AddingAfterTerminateHalts)
{
    EXPECT_EXIT(
        {
            Register();
            m_host->Terminate();
            AddClientObject(std::make_unique<Utils::VirtDestroyList>());
        },
        ::testing::ExitedWithCode(3), "!m_cleared");
}

TEST_F(ClientObjectsDeathTest, AddingFromAnotherThreadHalts)
{
    EXPECT_EXIT(
        {
            Register();
            AddClientObject(nullptr);
            std::thread other([] { AddClientObject(nullptr); });
            other.join();
        },
        ::testing::ExitedWithCode(3), "m_threadId == current");
}

} // namespace
