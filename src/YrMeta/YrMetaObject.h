#pragma once
#include <string>
#include <boost/shared_ptr.hpp>

namespace YrMeta
{

class Info;

// Base of every reflected object: a plain data object that can describe its own fields.
// The description is built once per class and shared through a cache.
class ObjectBase
{
public:
    // The cached description of the class whose run-time type name is given; empty when none.
    virtual boost::shared_ptr<const Info> GetCachedInfo(const std::string& rawTypeName) const = 0;
    virtual void PutCachedInfo(boost::shared_ptr<const Info> info) const = 0;
    // Builds the description of the concrete class: Info from this object, then one
    // Info::AddField per member in declaration order.
    virtual boost::shared_ptr<Info> CreateInfo() const = 0;
    virtual ~ObjectBase() = default;
    // Reserved; nothing overrides or reads it.
    virtual bool ExtraFlag() const { return false; }

    // The description of this object's class, from the cache or built on first use.
    boost::shared_ptr<const Info> MetaInfo() const;
};

// The process-wide description cache: descriptions stored by raw type name, never removed.
class DefaultMetaCache
{
public:
    static boost::shared_ptr<const Info> Get(const std::string& rawTypeName);
    // Stores the description unless one with the same raw type name is stored already.
    static void Put(boost::shared_ptr<const Info> info);
};

// The base that every reflected class derives from; it keeps descriptions in TCache.
template <class TCache>
class ObjectBaseCached : public ObjectBase
{
public:
    boost::shared_ptr<const Info> GetCachedInfo(const std::string& rawTypeName) const override
    {
        return TCache::Get(rawTypeName);
    }

    void PutCachedInfo(boost::shared_ptr<const Info> info) const override { TCache::Put(info); }
};

} // namespace YrMeta
