#pragma once
#include <cstdint>
#include <string>
#include "ESS/Assert.h"
#include "Utils/ByteArray.h"
#include "YrMeta/SmartEnum.h"
#include "YrMeta/YrMetaDispatcher.h"

namespace YrMeta
{

// Gives every described field its cleared value: zero, empty, or the enumeration value 0.
class YrMetaObjectClearProcessor
{
public:
    void Process(bool* p) { *p = false; }
    void Process(std::uint8_t* p) { *p = 0; }
    void Process(short* p) { *p = 0; }
    void Process(int* p) { *p = 0; }
    void Process(std::int64_t* p) { *p = 0; }
    void Process(std::uint16_t* p) { *p = 0; }
    void Process(std::uint32_t* p) { *p = 0; }
    void Process(std::uint64_t* p) { *p = 0; }
    void Process(float* p) { *p = 0.0f; }
    void Process(double* p) { *p = 0.0; }
    void Process(std::string* p) { p->clear(); }
    void Process(std::wstring* p) { p->clear(); }

    void Process(Utils::ByteArray* p)
    {
        // Block and capacity stay; a block shared with another array is unshared first.
        if (!p->IsNull())
        {
            p->Resize(0);
        }
    }

    void Process(EnumValue* p) { p->value = 0; }

    // An enumeration without a value 0 throws its ConvertionException.
    void Process(SmartEnum* p) { p->FromInt(EnumValue(0), true); }

    void VectorBegin(DispatchedVector& v)
    {
        ESS_ASSERT(v.m_vector);
        v.m_vector->Resize(0);
    }
};

// Clears every described field of *pObj; reflected classes call it from their constructor.
inline void Clear(ObjectBase* pObj)
{
    YrMetaObjectClearProcessor proc;
    DispatchMeta(pObj, proc, true);
}

} // namespace YrMeta
