// The stand-in's way to let a C++ exception out of a library function.
#include <stdexcept>

extern "C" void StandInThrow()
{
    throw std::runtime_error("COMBASE stand-in failure");
}
