#pragma once
#include <memory>
#include <string>
#include <boost/function.hpp>
#include "Utils/IBasicInterface.h"

namespace Utils
{

// Runs fn on a new Platform::Thread named name ("ThreadRunFn" when empty) + "/" + the creator's
// name. Returns once the thread runs (its name is registered). exitFn, when given, runs on the
// new thread after fn, also when fn throws. Destroying the handle waits for the thread without
// a time limit.
std::unique_ptr<IVirtualDestroy>
ThreadRunFn(const boost::function<void()>& fn, const std::string& name = std::string(),
            const boost::function<void()>& exitFn = boost::function<void()>());

} // namespace Utils
