#pragma once
#include <string>
#include "ESS/CppLocation.h"
#include "YrLogV2/Log.h"

namespace YrLogV2
{

class Tracer
{
public:
    // Writes text to log under tag when the log is active for it. With once, only the first
    // record written from this source location (file and line) in the process is written.
    //     YrLogV2::Tracer::Trace(ESS_LOCATION, true, m_log, YrLogV2::LogTraceOnce, "There is no Client
    //     side");
    static void Trace(const ESS::CppLocation& location, bool once, const Log& log, const Tag& tag,
                      const std::string& text);
    static void Trace(const ESS::CppLocation& location, bool once, const Log& log, const Tag& tag,
                      const std::wstring& text);
};

} // namespace YrLogV2
