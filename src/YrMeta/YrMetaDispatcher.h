#pragma once
#include <cstdint>
#include <boost/shared_ptr.hpp>
#include "ESS/Assert.h"
#include "ESS/Exception.h"
#include "YrMeta/TypedCall.h"
#include "YrMeta/YrMetaInfo.h"
#include "YrMeta/YrMetaObject.h"

namespace YrMeta
{

// What a processor's VectorBegin receives.
struct DispatchedVector
{
    ObjectBase* m_pObj;
    const Info::Field* m_pField;
    boost::shared_ptr<IArray> m_vector;
    // False when the elements are reflected objects that would lie deeper than the walk may go:
    // a processor that fills the vector must then add no element (MetaDispatcher::ThrowTooDeep),
    // or it would build an object that no later walk can take.
    bool m_mayHoldElements;
};

class MetaDispatcher
{
public:
    // Objects nested in objects or vectors deeper than this end the walk with an exception: a
    // class that holds a vector of itself would otherwise let input data choose the recursion depth.
    static const int c_maxNesting = 64;

    [[noreturn]] static void ThrowTooDeep()
    {
        ESS_THROW_MSG(ESS::Exception,
                      L"Reflected objects nested deeper than " + std::to_wstring(c_maxNesting) + L" levels");
    }

    template <class Processor>
    static void DoImpl(ObjectBase* pObj, const Info* info, Processor& proc, bool withBase,
                       TypedCallContext<Processor>& ctx)
    {
        ESS_ASSERT(pObj && info);
        NestingGuard nesting(ctx.m_depth);

        if (withBase && info->Base())
        {
            DoImpl(pObj, info->Base().get(), proc, true, ctx);
        }

        const std::uintptr_t objectBase = reinterpret_cast<std::uintptr_t>(pObj);
        for (const Info::Field& field : info->Fields())
        {
            void* const p = reinterpret_cast<void*>(objectBase + field.m_offset);
            const FieldType& type = field.m_type;
            if (FieldType::TypeIsSimple(type.m_kind))
            {
                ctx.m_field.Dispatch(type.m_kind, p);
                continue;
            }
            switch (type.m_kind)
            {
            case FieldType::tSmartEnum:
            {
                ESS_ASSERT(type.m_enumInfo);
                SmartEnum* const pEnum = type.m_enumInfo->m_toSmartEnum(p);
                ctx.m_field.Dispatch(FieldType::tSmartEnum, pEnum);
                break;
            }
            case FieldType::tObject:
                WalkObject(type.m_objectAccess(p), proc, ctx);
                break;
            case FieldType::tVector:
                WalkVector(pObj, field, p, proc, ctx);
                break;
            default:
                ESS_ASSERT(false && "Bad type");
            }
        }
    }

private:
    class NestingGuard
    {
    public:
        explicit NestingGuard(int& depth) : m_depth(depth)
        {
            if (m_depth >= c_maxNesting)
            {
                ThrowTooDeep();
            }
            ++m_depth;
        }
        ~NestingGuard() { --m_depth; }
        NestingGuard(const NestingGuard&) = delete;
        NestingGuard& operator=(const NestingGuard&) = delete;

    private:
        int& m_depth;
    };

    template <class Processor>
    static void WalkObject(ObjectBase* pObj, Processor& proc, TypedCallContext<Processor>& ctx)
    {
        boost::shared_ptr<const Info> info;
        if (pObj != 0)
        {
            info = pObj->MetaInfo();
        }
        DoImpl(pObj, info.get(), proc, true, ctx);
    }

    template <class Processor>
    static void WalkVector(ObjectBase* pObj, const Info::Field& field, void* p, Processor& proc,
                           TypedCallContext<Processor>& ctx)
    {
        const FieldType& type = field.m_type;
        ESS_ASSERT(type.m_elementType);
        const FieldType::Type elementKind = type.m_elementType->m_kind;

        boost::shared_ptr<IArray> arr = type.m_arrayAccess(p);
        ESS_ASSERT(arr != 0);
        const bool elementsFit = FieldType::TypeIsSimple(elementKind) || ctx.m_depth < c_maxNesting;
        DispatchedVector v = {pObj, &field, arr, elementsFit};
        proc.VectorBegin(v);

        // VectorBegin may have resized the vector (reading, clearing).
        const std::uint64_t size = arr->Size();
        for (std::uint64_t i = 0; i < size; ++i)
        {
            if (FieldType::TypeIsSimple(elementKind))
            {
                ctx.m_arr.Dispatch(elementKind, arr->ItemAt(i));
            }
            else
            {
                WalkObject(arr->ObjectAt(i), proc, ctx);
            }
        }
    }
};

// Walks the fields of *pObj in description order (a base description's fields first when
// withBase) and hands each to the processor.
template <class Processor>
void DispatchMeta(ObjectBase* pObj, Processor& proc, bool withBase)
{
    ESS_ASSERT(pObj != 0);
    boost::shared_ptr<const Info> info = pObj->MetaInfo();
    ESS_ASSERT(info);
    TypedCallContext<Processor> ctx(proc);
    MetaDispatcher::DoImpl(pObj, info.get(), proc, withBase, ctx);
}

} // namespace YrMeta
