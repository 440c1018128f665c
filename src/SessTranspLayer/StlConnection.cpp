#include "SessTranspLayer/StlConnection.h"

#include "SessTranspLayer/StlConnectionImpl.h"

namespace SessTranspLayer
{

StlConnection::StlConnection(const StlSettings& settings, YrLogV2::Log& parentLog, IStl2Owner& owner,
                             IStlTransport& transport)
    : m_impl(std::make_unique<StlConnectionImpl>(settings, parentLog, owner, transport))
{
}

StlConnection::~StlConnection() = default;

void StlConnection::Connect()
{
    m_impl->Connect();
}

void StlConnection::Disconnect()
{
    m_impl->Disconnect();
}

bool StlConnection::IsConnected() const
{
    return m_impl->IsConnected();
}

void StlConnection::SendData(const Utils::ByteArray& data)
{
    m_impl->SendData(data);
}

void StlConnection::SendDataBatch(const std::vector<Utils::ByteArray>& batch)
{
    m_impl->SendDataBatch(batch);
}

StlStatistics StlConnection::GetStatistics() const
{
    return m_impl->GetStatistics();
}

} // namespace SessTranspLayer
