#pragma once
#include <memory>
#include <boost/function.hpp>
#include <boost/ptr_container/ptr_vector.hpp>
#include "ESS/Assert.h"
#include "Utils/IBasicInterface.h"

namespace Utils
{

// Owning list of objects handed over whole; destroys them from the last to the first,
// so that later objects, which may lean on earlier ones, go first.
class VirtDestroyList : public IVirtualDestroy
{
public:
    VirtDestroyList() = default;
    VirtDestroyList(const VirtDestroyList&) = delete;
    VirtDestroyList& operator=(const VirtDestroyList&) = delete;

    ~VirtDestroyList() override
    {
        while (!m_list.empty())
            m_list.pop_back();
    }

    // Takes ownership; a null pointer throws boost::bad_pointer "Null pointer in 'push_back()'".
    void push_back(IVirtualDestroy* p) { m_list.push_back(p); }
    void push_back(std::unique_ptr<IVirtualDestroy> p) { m_list.push_back(p.release()); }

    size_t size() const { return m_list.size(); }
    bool empty() const { return m_list.empty(); }

private:
    boost::ptr_vector<IVirtualDestroy> m_list;
};

namespace details
{

// Lets an object of any type be handed over as an IVirtualDestroy; an optional function
// runs just before the object is destroyed.
template <class T>
class VirtDestroyHolder : public IVirtualDestroy
{
public:
    explicit VirtDestroyHolder(std::unique_ptr<T> obj, const boost::function<void()>& onDestroy = {})
        : m_obj(std::move(obj)), m_onDestroy(onDestroy)
    {
        ESS_ASSERT(m_obj);
    }
    VirtDestroyHolder(const VirtDestroyHolder&) = delete;
    VirtDestroyHolder& operator=(const VirtDestroyHolder&) = delete;

    ~VirtDestroyHolder() override
    {
        if (m_onDestroy)
            m_onDestroy();
        m_obj.reset();
    }

    T& Get() { return *m_obj; }
    const T& Get() const { return *m_obj; }

private:
    std::unique_ptr<T> m_obj;
    boost::function<void()> m_onDestroy;
};

} // namespace details

} // namespace Utils
