#include <memory>
#include <string>
#include <thread>
#include <gtest/gtest.h>
#include "iCore/MsgObject.h"
#include "iCore/MsgParam.h"
#include "iCore/ThreadRunnerFunc.h"
#include "LogTestUtils.h"

using namespace YrLogV2;

namespace
{

// An argument whose formatter throws something that is not a std::exception.
struct ThrowsInt
{
};

} // namespace

template <>
struct fmt::formatter<ThrowsInt> : fmt::formatter<int>
{
    template <class TContext>
    auto format(const ThrowsInt&, TContext& ctx) const -> decltype(ctx.out())
    {
        throw 42;
    }
};

namespace
{

using LogRuntimeLinkTest = YrLogV2Test::LogFixture;

TEST_F(LogRuntimeLinkTest, AnyExceptionFromAnArgumentWritesTheFormatErrorRecord)
{
    Log log(LogRoot::RootLog(), "ThrowsAnything");
    log.Add(Info, "odd {}", ThrowsInt());
    log.Add(Info, "after");
    const std::vector<LogRecord> recs = m_out->Records();
    ASSERT_EQ(2u, recs.size());
    EXPECT_EQ("Unable to format string 'odd {}' for 1 args", recs[0].text);
    EXPECT_EQ("LogError", recs[0].tag);
    EXPECT_EQ("after", recs[1].text);
}

class Listener : public iCore::MsgObject
{
public:
    void OnData(int) {}
};

TEST_F(LogRuntimeLinkTest, APostDroppedByAMessageThreadIsAWarningInTheLog)
{
    // The log reports drops as soon as its root exists, start-up or not.
    LogRoot::Instance();
    std::unique_ptr<Listener> listener;
    Listener* pListener = nullptr; // still names the target after the listener is gone
    iCore::MsgPostTarget target;
    {
        iCore::ThreadRunnerFunc runner(iCore::ThreadRunnerFuncProfile(0, "Drops", 2, 0, 0, false),
                                       [&](iCore::MsgThread&)
                                       {
                                           listener = std::make_unique<Listener>();
                                           pListener = listener.get();
                                           target = listener->PostTarget();
                                       });
        iCore::MsgThreadFnBlocked(listener->getMsgThread(), [&](iCore::MsgThread&) { listener.reset(); });
        // From a host thread, after the listener is gone: dropped, reported, nothing run.
        std::thread host(
            [&]
            {
                EXPECT_FALSE(target.Put(
                    std::make_unique<iCore::MsgParam<Listener, int>>(pListener, &Listener::OnData, 1)));
            });
        host.join();
    }
    const std::vector<LogRecord> recs = m_out->Records();
    ASSERT_EQ(1u, recs.size());
    EXPECT_EQ("Warning", recs[0].tag);
    EXPECT_EQ("root", recs[0].node);
    EXPECT_EQ(0u, recs[0].text.find("Message dropped (Destroy processed): Msg ")) << recs[0].text;
    EXPECT_NE(std::string::npos, recs[0].text.find("Listener")) << recs[0].text;
}

} // namespace
