#pragma once
#include <memory>
#include <string>
#include <vector>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include "YrLogV2/Log.h"
#include "YrLogV2/LogOutput.h"

namespace YrLogV2Test
{

// Every test sees only its own records: a memory output attached for the test, default levels.
// Node names are unique per test, because nodes live as long as the process.
class LogFixture : public ::testing::Test
{
protected:
    void SetUp() override
    {
        YrLogV2::LogRoot::Instance().SetLevels(YrLogV2::c_defaultLevel, {});
        m_out = std::make_shared<YrLogV2::MemoryOutput>();
        m_link = YrLogV2::LogRoot::Instance().AttachOutput(m_out);
        // The first attach in the process replays whatever was logged before it.
        m_out->Clear();
    }

    void TearDown() override
    {
        m_link.reset();
        YrLogV2::LogRoot::Instance().SetLevels(YrLogV2::c_defaultLevel, {});
    }

    std::vector<std::string> Texts(const YrLogV2::Log& log) const { return m_out->Texts(log.Path()); }

    std::shared_ptr<YrLogV2::MemoryOutput> m_out;
    std::unique_ptr<Utils::IVirtualDestroy> m_link;
};

} // namespace YrLogV2Test
