// The system identifier: the text that the identity script prints, handed to every plugin and the
// source of the crypto key. First thread, before the privilege drop.
#pragma once

#include <string>

namespace kv::core {

// The standard output of the shell command `command`, as produced; empty when it can't be run or
// a read fails.
std::string getCommandOutput(const std::string& command);

// "sudo -n ./scripts/get_id.sh" (its complaints silenced), else "./scripts/get_id.sh" (relative to
// the working directory), else the SHA-256 of nothing in hexadecimal and a line feed. Kept exactly
// as produced.
std::string obtainSystemId();

}  // namespace kv::core
