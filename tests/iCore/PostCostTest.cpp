#include <atomic>
#include <cstdlib>
#include <new>
#include <thread>
#include <gtest/gtest.h>
#include "iCore/MsgObject.h"
#include "iCore/MsgQueue.h"
#include "iCoreTestUtils.h"
#include "common/NewCounter.h"

using namespace iCore;
using namespace iCoreTest;

namespace
{

using TestUtils::CountNew;

class Sink : public MsgObject
{
public:
    void Take(int v) { m_sum += v; }
    int m_sum = 0;
};

TEST(PostCostTest, QueuingAMessageAllocatesNothing)
{
    // The message is the poster's one allocation; handing it over costs none, from another thread
    // (to a sleeping or a busy loop) as from the thread itself.
    TestThread t;
    Sink* s = nullptr;
    t.Call([&] { s = new Sink(); });
    const int n = 200;

    {
        // The counter sees the message's own allocation, so a zero below means something.
        // Kept in a volatile: an optimiser may drop a new that nothing observes, and its count.
        CountNew count;
        MsgBase* volatile probe = new MsgParam<Sink, int>(s, &Sink::Take, 1);
        ASSERT_EQ(1, count.Count());
        delete probe;
    }

    std::vector<MsgBase*> msgs;
    for (int i = 0; i < n; ++i)
        msgs.push_back(new MsgParam<Sink, int>(s, &Sink::Take, 1));
    int foreign = -1;
    std::thread poster(
        [&]
        {
            CountNew count;
            for (MsgBase* m : msgs)
                s->PutMsgToThread(m);
            foreign = count.Count();
        });
    poster.join();
    EXPECT_EQ(0, foreign);

    int own = -1;
    int sum = 0;
    t.Call(
        [&]
        {
            std::vector<MsgBase*> local;
            for (int i = 0; i < n; ++i)
                local.push_back(new MsgParam<Sink, int>(s, &Sink::Take, 1));
            CountNew count;
            for (MsgBase* m : local)
                s->PutMsgToThread(m);
            own = count.Count();
        });
    t.Call(
        [&]
        {
            sum = s->m_sum;
            delete s;
        });
    EXPECT_EQ(0, own);
    EXPECT_EQ(2 * n, sum);
}

} // namespace
