// libFuzzer target: the reflected-object msgpack reader fed any bytes.
//
// Every input is read into four reflected classes (the self-test packet, a class with every
// field kind, a self-nesting tree and a class of vectors). The reader may only fail with its
// own exceptions and must leave the input alone; what it read, whole or up to the failure, is
// written again and must read back to the same encoding.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include "../tests/YrMeta/YrMetaFuzzCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const YrMetaFuzz::Outcome res = YrMetaFuzz::Check(data, size);
    if (!res.m_violation.empty())
    {
        std::fprintf(stderr, "yrmeta_msgpack fuzz: %s\n", res.m_violation.c_str());
        std::abort();
    }
    return 0;
}
