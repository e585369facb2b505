// Formatting helpers shared by log messages: the process-wide locale and size texts.
#pragma once

#include <cstdint>
#include <locale>
#include <string>

namespace kv::core {

// The locale of "{:L}" conversions in log messages: "en_US.UTF-8" when the system can create it,
// otherwise the default locale. Created once, on first use, safely from any thread.
const std::locale& logLocale();
// The locale named `name`, or the default locale when the system can't create it.
std::locale localeOrDefault(const char* name);

// A byte count as text: below 102400 in magnitude with digit grouping ("4,096"), otherwise in
// binary units rounded up to two decimals ("100KiB", "1.47MiB", "-195.32KiB"). Any thread.
std::string formatSize(int64_t bytes);

}  // namespace kv::core
