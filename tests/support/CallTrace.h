// How the test plugins report their entry-point calls to the test that loaded them.
//
// Every call posts, through the post function the test handed to Load, a record of type
// kTraceType whose payload is the entry name, a zero byte, then copies of what the call received.
// The test's post function collects them. Behaviour is chosen by the system identifier text that
// the test passes to Load: space-separated key=value words (see TracePlugin.cpp).
#pragma once

#include <cstdint>

namespace kv::test {

// An unassigned type code: the core would name it "unknown" and deliver it to nobody.
inline constexpr uint32_t kTraceType = 0x80;

}  // namespace kv::test
