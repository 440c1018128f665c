#pragma once
// Force-included into every unit. A call of an empty boost::function must end in the
// halt path with "boost::bad_function_call": declaring this non-template overload before
// <boost/function.hpp> makes boost::function::operator() pick it instead of the template.
#ifdef __cplusplus
#include <boost/function/function_base.hpp>
namespace boost
{
[[noreturn]] void throw_exception(const bad_function_call& e);
}
#endif
