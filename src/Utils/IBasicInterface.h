#pragma once

namespace Utils
{

// Root of every interface: any object can be deleted through an interface pointer.
class IBasicInterface
{
public:
    virtual ~IBasicInterface() = default;
};

// An object whose whole ownership is handed over; the holder's only right is to destroy it.
class IVirtualDestroy : public IBasicInterface
{
};

} // namespace Utils
