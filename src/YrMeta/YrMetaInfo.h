#pragma once
#include <cstdint>
#include <string>
#include <type_traits>
#include <typeinfo>
#include <vector>
#include <boost/function.hpp>
#include <boost/make_shared.hpp>
#include <boost/shared_ptr.hpp>
#include "ESS/Assert.h"
#include "Platform/TypeName.h"
#include "Utils/ByteArray.h"
#include "YrMeta/SmartEnum.h"
#include "YrMeta/YrMetaObject.h"

namespace YrMeta
{

// Access to one vector member, made fresh for each walk.
class IArray
{
public:
    virtual ~IArray() = default;
    virtual std::uint64_t Size() const = 0;
    virtual void Resize(std::uint64_t size) = 0;
    // The address of an element of a simple kind.
    virtual void* ItemAt(std::uint64_t index) = 0;
    // An element that is a reflected object.
    virtual ObjectBase* ObjectAt(std::uint64_t index) = 0;
};

// What the walk needs of a smart-enumeration member type.
struct EnumMetaInfo
{
    boost::function<SmartEnum*(void*)> m_toSmartEnum;
};

// What a member is. Kinds 0 to 15 are also the type numbers on the wire.
class FieldType
{
public:
    enum Type
    {
        tBool = 0,
        tUInt8 = 1,
        tShort = 2,
        tInt = 3,
        tInt64 = 4,
        tUInt16 = 5,
        tUInt32 = 6,
        tUInt64 = 7,
        tFloat = 8,
        tDouble = 9,
        tString = 10,
        tWString = 11,
        tByteArray = 12,
        tEnum = 13,
        tSmartEnum = 14,
        tVector = 15,
        tObject = 16,
    };

    typedef boost::function<boost::shared_ptr<IArray>(void*)> ArrayAccess;
    typedef boost::function<ObjectBase*(void*)> ObjectAccess;

    static bool TypeIsSimple(Type t) { return t >= tBool && t <= tEnum; }

    // The simple kinds 0 to 12; the others carry more and have their own makers.
    explicit FieldType(Type t) : m_kind(t)
    {
        ESS_ASSERT(TypeIsSimple(t));
        ESS_ASSERT(t != tEnum);
    }

    static FieldType MakeEnum(const std::string& typeText)
    {
        FieldType ft(tEnum, typeText);
        return ft;
    }

    static FieldType MakeSmartEnum(const boost::shared_ptr<const EnumMetaInfo>& info,
                                   const std::string& typeText)
    {
        ESS_ASSERT(info);
        FieldType ft(tSmartEnum, typeText);
        ft.m_enumInfo = info;
        return ft;
    }

    static FieldType MakeVector(const boost::shared_ptr<const FieldType>& elementType,
                                const ArrayAccess& access, const std::string& typeText)
    {
        ESS_ASSERT(elementType);
        FieldType ft(tVector, typeText);
        ft.m_elementType = elementType;
        ft.m_arrayAccess = access;
        return ft;
    }

    static FieldType MakeObject(const ObjectAccess& access, const std::string& typeText)
    {
        FieldType ft(tObject, typeText);
        ft.m_objectAccess = access;
        return ft;
    }

    Type m_kind;
    boost::shared_ptr<const FieldType> m_elementType; // tVector
    ArrayAccess m_arrayAccess;                        // tVector
    ObjectAccess m_objectAccess;                      // tObject
    std::string m_typeText;                           // the member's type name, for texts only
    boost::shared_ptr<const EnumMetaInfo> m_enumInfo; // tSmartEnum

private:
    FieldType(Type t, const std::string& typeText) : m_kind(t), m_typeText(typeText) {}
};

namespace detail
{

template <class T>
struct AlwaysFalse : std::false_type
{
};

// Maps a member type to its field type; a type outside the kind table does not compile.
template <class T, class Enable = void>
struct FieldTypeOf
{
    static_assert(AlwaysFalse<T>::value, "not a member type that reflected objects can carry");
};

#define YRMETA_DETAIL_SIMPLE_FIELD(T, kind)                                                                  \
    template <>                                                                                              \
    struct FieldTypeOf<T>                                                                                    \
    {                                                                                                        \
        static FieldType Make()                                                                              \
        {                                                                                                    \
            FieldType ft(FieldType::kind);                                                                   \
            ft.m_typeText = Platform::RawTypeName(typeid(T));                                                \
            return ft;                                                                                       \
        }                                                                                                    \
    };

YRMETA_DETAIL_SIMPLE_FIELD(bool, tBool)
YRMETA_DETAIL_SIMPLE_FIELD(std::uint8_t, tUInt8)
YRMETA_DETAIL_SIMPLE_FIELD(short, tShort)
YRMETA_DETAIL_SIMPLE_FIELD(int, tInt)
YRMETA_DETAIL_SIMPLE_FIELD(std::int64_t, tInt64)
YRMETA_DETAIL_SIMPLE_FIELD(std::uint16_t, tUInt16)
YRMETA_DETAIL_SIMPLE_FIELD(std::uint32_t, tUInt32)
YRMETA_DETAIL_SIMPLE_FIELD(std::uint64_t, tUInt64)
YRMETA_DETAIL_SIMPLE_FIELD(float, tFloat)
YRMETA_DETAIL_SIMPLE_FIELD(double, tDouble)
YRMETA_DETAIL_SIMPLE_FIELD(std::string, tString)
YRMETA_DETAIL_SIMPLE_FIELD(std::wstring, tWString)
YRMETA_DETAIL_SIMPLE_FIELD(Utils::ByteArray, tByteArray)

#undef YRMETA_DETAIL_SIMPLE_FIELD

// A plain enumeration travels as its int.
template <class T>
struct FieldTypeOf<T, typename std::enable_if<std::is_enum<T>::value>::type>
{
    static_assert(sizeof(T) == sizeof(int), "a plain enumeration member must have the size of int");
    static FieldType Make() { return FieldType::MakeEnum(Platform::RawTypeName(typeid(T))); }
};

template <class T>
struct FieldTypeOf<T, typename std::enable_if<std::is_base_of<SmartEnum, T>::value>::type>
{
    static SmartEnum* ToSmartEnum(void* p) { return static_cast<T*>(p); }

    static FieldType Make()
    {
        boost::shared_ptr<EnumMetaInfo> info = boost::make_shared<EnumMetaInfo>();
        info->m_toSmartEnum = &ToSmartEnum;
        return FieldType::MakeSmartEnum(info, Platform::RawTypeName(typeid(T)));
    }
};

template <class T>
struct FieldTypeOf<T, typename std::enable_if<std::is_base_of<ObjectBase, T>::value>::type>
{
    static ObjectBase* ToObject(void* p) { return static_cast<T*>(p); }

    static FieldType Make() { return FieldType::MakeObject(&ToObject, Platform::RawTypeName(typeid(T))); }
};

template <class TVector>
class VectorAccess : public IArray
{
public:
    typedef typename TVector::value_type Element;

    explicit VectorAccess(TVector* pVector) : m_pVector(pVector) { ESS_ASSERT(pVector != 0); }

    std::uint64_t Size() const override { return m_pVector->size(); }
    void Resize(std::uint64_t size) override { m_pVector->resize(size); }

    void* ItemAt(std::uint64_t index) override
    {
        ESS_ASSERT(index < m_pVector->size());
        return &(*m_pVector)[index];
    }

    ObjectBase* ObjectAt(std::uint64_t index) override
    {
        ESS_ASSERT(index < m_pVector->size());
        return ObjectOf(&(*m_pVector)[index], std::is_base_of<ObjectBase, Element>());
    }

private:
    static ObjectBase* ObjectOf(Element* p, std::true_type) { return p; }
    static ObjectBase* ObjectOf(Element*, std::false_type)
    {
        ESS_HALT("Unimplemented!");
        return 0;
    }

    TVector* m_pVector;
};

template <class T>
struct IsVector : std::false_type
{
};

template <class E, class A>
struct IsVector<std::vector<E, A>> : std::true_type
{
};

template <class E, class A>
struct FieldTypeOf<std::vector<E, A>>
{
    // The walk takes every element that is not of a simple kind as a reflected object, so
    // these would be walked as something they are not.
    static_assert(!std::is_same<E, bool>::value, "std::vector<bool> has no element addresses");
    static_assert(!std::is_base_of<SmartEnum, E>::value, "vectors of smart enumerations are not supported");
    static_assert(!IsVector<E>::value, "vectors of vectors are not supported");

    typedef std::vector<E, A> Vector;

    static boost::shared_ptr<IArray> Access(void* p)
    {
        return boost::make_shared<VectorAccess<Vector>>(static_cast<Vector*>(p));
    }

    static FieldType Make()
    {
        boost::shared_ptr<const FieldType> element = boost::make_shared<FieldType>(FieldTypeOf<E>::Make());
        return FieldType::MakeVector(element, &Access, Platform::RawTypeName(typeid(Vector)));
    }
};

} // namespace detail

// The description of one reflected class, shared and not changed once cached.
class Info
{
public:
    struct Field
    {
        std::string m_name;
        FieldType m_type;
        std::uint64_t m_offset; // from the object's ObjectBase part
    };

    // Starts the description of the class of *pObj; field offsets are measured from it.
    template <class T>
    explicit Info(const T* pObj)
    {
        static_assert(std::is_base_of<ObjectBase, T>::value,
                      "a reflected class derives from YrMeta::ObjectBase");
        ESS_ASSERT(pObj != 0);
        m_rawTypeName = Platform::RawTypeName(typeid(*pObj));
        m_typeName = Platform::PrettyTypeName(m_rawTypeName.c_str());
        // The walk starts from the ObjectBase part, which need not be at the start of the object.
        m_pObjectBase = static_cast<const ObjectBase*>(pObj);
        m_pObjectStart = pObj;
        m_objectSize = sizeof(T);
    }

    const std::string& RawTypeName() const { return m_rawTypeName; }
    const std::string& TypeName() const { return m_typeName; }

    const boost::shared_ptr<const Info>& Base() const { return m_base; }
    // A reflected base class whose fields are walked first.
    void SetBase(const boost::shared_ptr<const Info>& base) { m_base = base; }

    const std::vector<Field>& Fields() const { return m_fields; }

    // Appends the member at pMember, which must lie inside the object the description started from.
    template <class T>
    static void AddField(Info& info, const std::string& name, const T* pMember)
    {
        ESS_ASSERT(info.MemberInsideObject(pMember, sizeof(T)));
        const std::uint64_t offset =
            reinterpret_cast<std::uintptr_t>(pMember) - reinterpret_cast<std::uintptr_t>(info.m_pObjectBase);
        info.m_fields.push_back(Field{name, detail::FieldTypeOf<T>::Make(), offset});
    }

    template <class T>
    static void AddField(const boost::shared_ptr<Info>& info, const std::string& name, const T* pMember)
    {
        ESS_ASSERT(info);
        AddField(*info, name, pMember);
    }

private:
    bool MemberInsideObject(const void* pMember, std::uint64_t size) const
    {
        const std::uintptr_t begin = reinterpret_cast<std::uintptr_t>(m_pObjectStart);
        const std::uintptr_t p = reinterpret_cast<std::uintptr_t>(pMember);
        return p >= begin && size <= m_objectSize && (p - begin) <= m_objectSize - size;
    }

    std::string m_rawTypeName;
    std::string m_typeName;
    boost::shared_ptr<const Info> m_base;
    std::vector<Field> m_fields;
    const void* m_pObjectBase;
    const void* m_pObjectStart;
    std::uint64_t m_objectSize;
};

} // namespace YrMeta
