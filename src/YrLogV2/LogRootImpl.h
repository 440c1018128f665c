#pragma once
// Internal to the log library: the node tree and the root's implementation.
#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>
#include <QMutex>
#include "YrLogV2/Log.h"
#include "YrLogV2/LogOutput.h"

namespace YrLogV2
{

namespace details
{

// A node of the tree. Nodes are made on first use of their path and live as long as the process,
// so handles and records can refer to them without counting.
class Node : public NodeBase
{
public:
    Node(Node* pParent, const std::string& name, const std::string& path)
        : m_pParent(pParent), m_name(name), m_path(path)
    {
    }

    Node* Parent() const { return m_pParent; }
    const std::string& Name() const { return m_name; }
    const std::string& Path() const { return m_path; }
    int Threshold() const { return m_threshold.load(std::memory_order_relaxed); }
    void SetThreshold(int level) { m_threshold.store(level, std::memory_order_relaxed); }

private:
    Node* m_pParent;
    std::string m_name;
    std::string m_path;
};

} // namespace details

class LogRootImpl : public LogRoot
{
public:
    LogRootImpl();

    // The root's own handle and node.
    Log& RootHandle() { return *m_pRootLog; }

    details::Node& ChildNode(details::Node& parent, const std::string& name);
    void Deliver(LogRecord&& record);

    // LogRoot
    QMutex& Mutex() override { return m_mutex; }
    std::unique_ptr<Utils::IVirtualDestroy>
    AttachOutputs(const std::vector<std::shared_ptr<ILogOutput>>& outputs) override;
    void DiscardEarlyRecords() override;
    void SetLevels(int defaultLevel, const std::map<std::string, int>& nodeLevels) override;
    int DefaultLevel() const override;
    void SetDebugMode(bool debug) override { m_debugMode = debug; }
    bool DebugMode() const override { return m_debugMode; }

    void Detach(uint64_t group);

private:
    struct Attached
    {
        uint64_t group;
        std::shared_ptr<ILogOutput> output;
    };

    int LevelFor(const details::Node& node) const;
    void DeliverNow(const LogRecord& record);
    static void WriteTo(ILogOutput& output, const LogRecord& record, const std::string& line);
    LogRecord MakeRootRecord(const Tag& tag, const std::string& text) const;

    // Tree and level table.
    mutable std::mutex m_treeLock;
    details::Node m_rootNode;
    std::map<std::string, std::unique_ptr<details::Node>> m_nodes; // by path: parents sort first
    int m_defaultLevel;
    std::map<std::string, int> m_levels;

    // Delivery.
    QMutex m_mutex;
    std::vector<Attached> m_outputs;
    uint64_t m_nextGroup;
    bool m_earlyDone;
    std::vector<LogRecord> m_early;
    std::size_t m_earlyDropped;
    std::deque<LogRecord> m_reentrant;

    std::atomic<bool> m_debugMode;
    Log* m_pRootLog;
};

} // namespace YrLogV2
