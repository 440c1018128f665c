#include "YrMeta/YrMetaObject.h"

#include <map>
#include <mutex>
#include <typeinfo>
#include "ESS/Assert.h"
#include "Platform/TypeName.h"
#include "YrMeta/YrMetaInfo.h"

namespace YrMeta
{

namespace
{

struct CacheData
{
    std::mutex mutex;
    std::map<std::string, boost::shared_ptr<const Info>> infos;
};

// Never destroyed: descriptions must outlive every static object that may still be walked
// while the process ends.
CacheData& Cache()
{
    static CacheData* const p = new CacheData();
    return *p;
}

} // namespace

boost::shared_ptr<const Info> ObjectBase::MetaInfo() const
{
    const std::string key = Platform::RawTypeName(typeid(*this));
    boost::shared_ptr<const Info> result = GetCachedInfo(key);
    if (result)
    {
        return result;
    }

    // Two threads that miss together both build one; the first stored stays in the cache.
    boost::shared_ptr<Info> created = CreateInfo();
    const Info* p = created.get();
    ESS_ASSERT(p != 0);
    result = created;
    PutCachedInfo(result);
    return result;
}

boost::shared_ptr<const Info> DefaultMetaCache::Get(const std::string& rawTypeName)
{
    CacheData& cache = Cache();
    std::lock_guard<std::mutex> lock(cache.mutex);
    const auto it = cache.infos.find(rawTypeName);
    return (it != cache.infos.end()) ? it->second : boost::shared_ptr<const Info>();
}

void DefaultMetaCache::Put(boost::shared_ptr<const Info> info)
{
    ESS_ASSERT(info);
    CacheData& cache = Cache();
    std::lock_guard<std::mutex> lock(cache.mutex);
    cache.infos.emplace(info->RawTypeName(), info);
}

} // namespace YrMeta
