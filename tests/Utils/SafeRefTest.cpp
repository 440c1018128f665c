#include <gtest/gtest.h>
#include <thread>
#include <vector>
#include "Utils/FuncRAII.h"
#include "Utils/Locker.h"
#include "Utils/SafeRef.h"

namespace
{

class IWorker : public Utils::IBasicInterface
{
public:
    virtual int Work() = 0;
};

// An implementation that can be referenced through its interface.
class WorkerImpl : public IWorker, public virtual Utils::SafeRefServer
{
public:
    int Work() override { return 42; }
};

// Referenced by its own class.
class Target : public virtual Utils::SafeRefServer
{
public:
    int m_value = 7;
};

} // namespace

TEST(SafeRefTest, CountsCopiesAndReleases)
{
    WorkerImpl impl;
    EXPECT_EQ(impl.SafeRefCount(), 0);
    {
        Utils::SafeRef<IWorker> ref(&impl);
        EXPECT_EQ(impl.SafeRefCount(), 1);
        EXPECT_EQ(ref->Work(), 42);
        EXPECT_EQ((*ref).Work(), 42);
        {
            Utils::SafeRef<IWorker> a(ref);
            Utils::SafeRef<IWorker> b(a);
            Utils::SafeRef<IWorker> c(b);
            EXPECT_EQ(impl.SafeRefCount(), 4);
        }
        EXPECT_EQ(impl.SafeRefCount(), 1);
    }
    EXPECT_EQ(impl.SafeRefCount(), 0);
    // Back at 0: destroyed silently at scope end.
}

TEST(SafeRefTest, PassingByValueCountsWhileCallRuns)
{
    Target t;
    Utils::SafeRef<Target> ref(&t);
    auto probe = [&t](Utils::SafeRef<Target> byValue)
    {
        EXPECT_TRUE(byValue == &t);
        return t.SafeRefCount();
    };
    EXPECT_EQ(probe(ref), 2);
    EXPECT_EQ(t.SafeRefCount(), 1);
}

TEST(SafeRefTest, EmptyReferenceTouchesNoCount)
{
    Utils::SafeRef<Target> empty(nullptr);
    Utils::SafeRef<Target> copy(empty);
    Utils::SafeRef<Target> def;
    EXPECT_TRUE(empty.IsEmpty());
    EXPECT_TRUE(copy.IsEmpty());
    EXPECT_TRUE(def == static_cast<const Target*>(nullptr));
    EXPECT_EQ(empty.Info(), "<unsupported>");
}

TEST(SafeRefTest, AssignmentKeepsCountsExact)
{
    Target a, b;
    {
        Utils::SafeRef<Target> r1(&a);
        Utils::SafeRef<Target> r2(&b);
        r1 = r2;
        EXPECT_EQ(a.SafeRefCount(), 0);
        EXPECT_EQ(b.SafeRefCount(), 2);
        r1 = r1;
        EXPECT_EQ(b.SafeRefCount(), 2);
        r2 = Utils::SafeRef<Target>();
        EXPECT_EQ(b.SafeRefCount(), 1);
        r1.Clear();
        EXPECT_EQ(b.SafeRefCount(), 0);
        EXPECT_TRUE(r1.IsEmpty());
    }
}

TEST(SafeRefTest, ComparesWithRawPointerAndConvertsToBase)
{
    WorkerImpl impl, other;
    Utils::SafeRef<WorkerImpl> ref(&impl);
    EXPECT_TRUE(ref == &impl);
    EXPECT_TRUE(&impl == ref);
    EXPECT_TRUE(ref != &other);
    Utils::SafeRef<IWorker> asIntf(ref);
    EXPECT_EQ(impl.SafeRefCount(), 2);
    EXPECT_TRUE(asIntf == static_cast<IWorker*>(&impl));
    EXPECT_EQ(asIntf->Work(), 42);
}

TEST(SafeRefTest, ConstTargetIsCounted)
{
    const Target t;
    Utils::SafeRef<const Target> ref(&t);
    EXPECT_EQ(t.SafeRefCount(), 1);
    EXPECT_EQ(ref->m_value, 7);
}

TEST(SafeRefTest, CopiedServerStartsUnreferenced)
{
    Target original;
    Utils::SafeRef<Target> ref(&original);
    Target copy(original);
    EXPECT_EQ(copy.SafeRefCount(), 0);
    copy = original;
    EXPECT_EQ(copy.SafeRefCount(), 0);
    EXPECT_EQ(original.SafeRefCount(), 1);
}

TEST(SafeRefTest, CountsFromManyThreads)
{
    Target t;
    Utils::SafeRef<Target> root(&t);
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i)
    {
        threads.emplace_back(
            [root]
            {
                for (int k = 0; k < 10000; ++k)
                {
                    Utils::SafeRef<Target> copy(root);
                    Utils::SafeRef<Target> copy2(copy);
                }
            });
    }
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(t.SafeRefCount(), 1);
}

TEST(SafeRefDeathTest, DestroyingReferencedServerHaltsWithReport)
{
    EXPECT_DEATH(
        {
            auto* pImpl = new WorkerImpl;
            Utils::SafeRef<IWorker> r1(pImpl);
            Utils::SafeRef<IWorker> r2(r1);
            delete pImpl;
        },
        "~SafeRefServer 2 TYPE \\{.*WorkerImpl\\}");
}

TEST(SafeRefDeathTest, TypeTextIsThatOfFirstReference)
{
    // The most-derived type is taken once; a later return to 0 does not reset it.
    EXPECT_DEATH(
        {
            auto* pImpl = new WorkerImpl;
            {
                Utils::SafeRef<IWorker> once(pImpl);
            }
            Utils::SafeRef<IWorker> again(pImpl);
            delete pImpl;
        },
        "~SafeRefServer 1 TYPE \\{.*WorkerImpl\\}");
}

TEST(SafeRefDeathTest, MisuseHalts)
{
    EXPECT_DEATH(
        {
            Utils::SafeRef<Target> empty;
            empty->m_value = 1;
        },
        "m_pIntf");
    EXPECT_DEATH(
        {
            Target t;
            t.DecSafeRef(nullptr);
        },
        "prevVal > 0");
}

TEST(FuncRAIITest, CallsOnceOrNotAfterReset)
{
    int calls = 0;
    {
        Utils::FuncRAII guard([&calls] { ++calls; });
    }
    EXPECT_EQ(calls, 1);
    {
        Utils::FuncRAIIReset guard([&calls] { ++calls; });
        guard.Reset();
    }
    EXPECT_EQ(calls, 1);
    {
        std::unique_ptr<Utils::IVirtualDestroy> owned =
            std::make_unique<Utils::FuncRAIIReset>([&calls] { ++calls; });
    }
    EXPECT_EQ(calls, 2);
}

TEST(FuncRAIIDeathTest, EmptyFunctionHalts)
{
    EXPECT_DEATH({ Utils::FuncRAII guard{boost::function<void()>()}; }, "m_fn");
}

TEST(LockerTest, FlagFollowsTheLock)
{
    Utils::LockerMutex lock;
    EXPECT_FALSE(lock.IsLocked());
    {
        Utils::Locker locker(lock);
        EXPECT_TRUE(lock.IsLocked());
        EXPECT_FALSE(lock.m_mutex.try_lock());
    }
    EXPECT_FALSE(lock.IsLocked());
    EXPECT_TRUE(lock.m_mutex.try_lock());
    lock.m_mutex.unlock();
}
