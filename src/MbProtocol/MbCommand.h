#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <typeinfo>
#include <vector>
#include <boost/function.hpp>
#include <boost/noncopyable.hpp>
#include "ESS/Assert.h"
#include "Platform/TypeName.h"
#include "Utils/ByteArray.h"
#include "YrMeta/YrMetaMsgpackSerializer.h"
#include "YrMeta/YrMetaObject.h"

namespace MbProtocol
{

// Base of every command object: a reflected object that travels msgpack-encoded.
using CommandObject = YrMeta::ObjectBaseCached<YrMeta::DefaultMetaCache>;

// A command's index in the command list of its direction; -1 is the bad id.
struct CommandId
{
    explicit CommandId(int32_t index = -1) : m_index(index) {}

    bool IsBad() const { return m_index == -1; }
    int32_t Index() const { return m_index; }

    int32_t m_index;
};

// Where a packet is dispatched at the receiver (0: the receiver's default context).
struct ContextId
{
    explicit ContextId(int32_t id = 0) : m_id(id) {}

    bool IsDefault() const { return m_id == 0; }
    int32_t Id() const { return m_id; }

    friend bool operator==(const ContextId& a, const ContextId& b) { return a.m_id == b.m_id; }
    friend bool operator!=(const ContextId& a, const ContextId& b) { return a.m_id != b.m_id; }

    int32_t m_id;
};

// The command types of one direction (requests or responses). A concrete protocol derives one list
// per direction and registers its types in the constructor; a command's id is the order of its
// registration, so both ends must register the same types in the same order.
class CommandList : boost::noncopyable
{
public:
    using CreateFn = boost::function<std::shared_ptr<CommandObject>(const Utils::ByteArray&)>;

    struct Info
    {
        Info(const std::string& typeName, const CreateFn& createFn, bool noLog)
            : m_typeName(typeName), m_createFn(createFn), m_noLog(noLog)
        {
            ESS_ASSERT(m_createFn);
        }

        std::string m_typeName; // raw run-time type name
        CreateFn m_createFn;    // decodes a payload into a new object of the type
        bool m_noLog;           // packets of the type are not logged by either side
    };

    virtual ~CommandList() = default;

    bool IsRequest() const { return m_isRequest; }
    uint64_t Count() const { return m_types.size(); }

    template <class T>
    void Add(bool noLog)
    {
        static_assert(std::is_base_of<CommandObject, T>::value, "a command is a reflected object");
        const std::string name = Platform::RawTypeName(typeid(T));
        ESS_ASSERT(TypeToCommand(name).IsBad());
        m_types.push_back(Info(name, &CreateCommand<T>, noLog));
    }

    // The id of the type with exactly this raw name; bad when it is not registered.
    CommandId TypeToCommand(const std::string& name) const;

    // The registration of a valid id.
    const Info& GetInfo(CommandId id) const;

    // A new object of the id's type filled from the payload; throws when the payload is not one
    // whole encoded object of that type.
    std::shared_ptr<CommandObject> Create(CommandId id, const Utils::ByteArray& payload) const;

protected:
    explicit CommandList(bool isRequest) : m_isRequest(isRequest) {}

private:
    template <class T>
    static std::shared_ptr<CommandObject> CreateCommand(const Utils::ByteArray& payload)
    {
        std::shared_ptr<T> obj = std::make_shared<T>();
        YrMeta::YrMetaMsgpackSerializer::Deserialize(*obj, payload);
        return obj;
    }

    bool m_isRequest;
    std::vector<Info> m_types;
};

} // namespace MbProtocol
